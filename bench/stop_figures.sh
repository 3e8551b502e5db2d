#!/usr/bin/env bash
# The time from SIGTERM to the end of the service in the middle of a work
# cycle (target under 1 s each), and that the stop leaves nothing
# half-copied behind:
#   - during a first pass over 100,000 files of one From folder;
#   - during the copy of one 4 GiB file.
# Needs about 5 GiB free in TMPDIR (default /var/tmp); removes it all again.
# usage: bench/stop_figures.sh [BUILD_DIR]   (default build-release)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build-release}"
work="$(mktemp -d "${TMPDIR:-/var/tmp}/qs-stop.XXXXXX")"
trap 'rm -rf "$work"' EXIT
product="$work/Quillon Pro"
mkdir -p "$product/bin" "$product/jobs" "$product/logs"
cp "$build/QuillonSrv" "$build/quillon-ini" "$product/bin/"
ini="$product/bin/quillon-ini"
"$ini" set "$product/Quillon.ini" Options AppPath "$product"
"$ini" set "$product/Quillon.ini" Options WriteLog 1
log="$product/logs/DefaultLog.txt"

# usage: job NAME: a job copying NAME-in to NAME-out
job() {
  mkdir -p "$product/$1-in"
  printf '[Job]\r\nFrom=%s\r\nTo=%s\r\n' "$product/$1-in" "$product/$1-out" > "$product/jobs/$1.qlj"
}

# usage: stop_when LABEL CONDITION: starts the service, waits until the
# condition holds (the copy is under way), stops it and reports.
stop_when() {
  rm -f "$log"
  ( cd "$product/bin" && QUILLONSRV_TICK_MS=200 QUILLONSRV_NO_JOURNAL=1 \
      exec ./QuillonSrv "-debug,Bench,,$product/bin,$product" ) >/dev/null 2>&1 &
  local pid=$! start end left
  until eval "$2"; do sleep 0.02; done
  start=$(date +%s%N)
  kill -TERM "$pid"
  wait "$pid" || true
  end=$(date +%s%N)
  left=$(find "$product" -name '.qltmp-*' | wc -l)
  echo "$1: SIGTERM to exit $(( (end - start) / 1000000 )) ms (target under 1000 ms)," \
    "temporary files left: $left"
}

job Many
for d in $(seq 0 99); do
  for f in $(seq 0 999); do printf 'x' > "$product/Many-in/f$d-$f"; done
done
stop_when "mid-pass of 100,000 files" 'grep -q "Datei kopiert" "$log" 2>/dev/null'
rm -rf "$product/Many-in" "$product/Many-out" "$product/jobs/Many.qlj"

job Big
fallocate -l 4G "$product/Big-in/big.bin"
big_copy_started() {
  local f
  f=$(find "$product/Big-out" -name '.qltmp-*' 2>/dev/null | head -n 1)
  [ -n "$f" ] && [ "$(stat -c %s "$f" 2>/dev/null || echo 0)" -gt $((256 << 20)) ]
}
stop_when "mid-copy of a 4 GiB file" big_copy_started
