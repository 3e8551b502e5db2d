#!/usr/bin/env bash
# Resident memory of the service while 20,000 job files come and go, at
# most 200 at once (100 rounds: 200 new job files, a few work cycles, all
# deleted). Target: flat within 256 KiB from round 15 (3,000 job files) on.
# usage: bench/churn_figures.sh [BUILD_DIR]   (default build-release)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build-release}"
work="$(mktemp -d)"
trap 'kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT
product="$work/Quillon Pro"
mkdir -p "$product/bin" "$product/jobs" "$product/logs" "$product/in"
cp "$build/QuillonSrv" "$build/quillon-ini" "$product/bin/"
"$product/bin/quillon-ini" set "$product/Quillon.ini" Options AppPath "$product"
( cd "$product/bin" && QUILLONSRV_TICK_MS=50 QUILLONSRV_NO_JOURNAL=1 \
    exec ./QuillonSrv "-debug,Bench,,$product/bin,$product" ) >/dev/null 2>&1 &
pid=$!
sleep 0.5
rss() { awk '/^VmRSS:/ {print $2}' "/proc/$pid/status"; }
for round in $(seq 1 100); do
  for j in $(seq 1 200); do
    printf '[Job]\r\nFrom=%s\r\nTo=%s\r\nInterval=5\r\n' "$product/in" "$product/out" \
      > "$product/jobs/r$round-j$j.qlj"
  done
  sleep 0.2
  rm -f "$product/jobs/"*.qlj
  sleep 0.1
  [ "$round" -eq 15 ] && at15=$(rss)
done
end=$(rss)
echo "resident memory after 3,000 job files ${at15} KiB, after 20,000 ${end} KiB," \
  "growth $((end - at15)) KiB (target at most 256 KiB)"
