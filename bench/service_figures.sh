#!/usr/bin/env bash
# Figures of the running service: resident memory when idle, and the time
# from SIGTERM to the end of the process when idle; once with the real-time
# monitor off and once with the product folder's watch job running.
# usage: bench/service_figures.sh [BUILD_DIR]   (default build-release)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build-release}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
product="$work/Quillon Pro"
mkdir -p "$product/bin"
cp "$build/QuillonSrv" "$build/quillon-ini" "$product/bin/"
bash packaging/lay-out-product.sh "$product" >/dev/null

# usage: measure LABEL: five runs with the product folder as it stands.
measure() {
  local rss_sum=0 stop_sum=0 runs=5 i pid rss start end
  for i in $(seq "$runs"); do
    ( cd "$product/bin" && QUILLONSRV_NO_JOURNAL=1 exec ./QuillonSrv "-debug,Bench,,$product/bin,$product" ) \
      >/dev/null 2>&1 &
    pid=$!
    sleep 1
    rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status")
    start=$(date +%s%N)
    kill -TERM "$pid"
    wait "$pid" || true
    end=$(date +%s%N)
    rss_sum=$((rss_sum + rss))
    stop_sum=$((stop_sum + (end - start) / 1000))
  done
  echo "$1: idle resident memory $((rss_sum / runs)) KiB (target under 4096 KiB)," \
    "SIGTERM to exit $((stop_sum / runs)) us (target under 100000 us)"
}

"$product/bin/quillon-ini" set "$product/Quillon.ini" Monitor RunNTMon 0
measure "monitor off"
"$product/bin/quillon-ini" set "$product/Quillon.ini" Monitor RunNTMon 1
measure "monitor on, one watch job"
