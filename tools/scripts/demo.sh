#!/usr/bin/env bash
# Sets up the machine, builds, lays out a demo product folder in
# "./demo/Quillon Pro" and runs the service in debug mode on it with a
# two-second work cycle. Drop files into demo/Quillon Pro/data/Daily-in
# (or *.txt / *.csv into Reports-in) and watch them arrive in *-out and in
# logs/DefaultLog.txt. The watch job "Incoming" of the real-time monitor
# carries a file dropped into data/Incoming-in over to data/Incoming-out
# about a second after it lands. Ctrl-C stops the service.
set -euo pipefail
cd "$(dirname "$0")/../.."

bash tools/scripts/setup-debian.sh
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQS_BUILD_TESTS=OFF \
  -DQS_BUILD_BENCH=OFF >/dev/null
cmake --build build-release -j2
mkdir -p "demo/Quillon Pro"
cmake --install build-release --prefix "$PWD/demo/Quillon Pro" >/dev/null

product="$PWD/demo/Quillon Pro"
echo "demo $(date)" > "$product/data/Daily-in/hello.txt"
echo "id;value" > "$product/data/Reports-in/report.csv"

echo "Product folder: $product"
echo "Service log:    $product/logs/DefaultLog.txt"
echo "Watch job:      drop a file into $product/data/Incoming-in;"
echo "                it appears in $product/data/Incoming-out a second later."
echo "Starting QuillonSrv -debug (work cycle every 2 s); Ctrl-C stops it."
cd "$product/bin"
export QUILLONSRV_TICK_MS="${QUILLONSRV_TICK_MS:-2000}"
exec ./QuillonSrv "-debug,Demo,,$product/bin,$product"
