#!/usr/bin/env bash
# Sets up the machine and runs every test: the Linux build under the
# address and undefined-behaviour sanitizers, the fuzz targets for 60 s
# each, and the Windows build's tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/../.."

bash tools/scripts/setup-debian.sh

jobs=2
fuzz_seconds="${QS_FUZZ_SECONDS:-60}"

echo "== Windows build, tests under Wine"
bash .ci/windows-tests.sh

echo "== fuzz targets (${fuzz_seconds} s each)"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQS_BUILD_FUZZ=ON -DQS_BUILD_TESTS=OFF -DQS_BUILD_BENCH=OFF >/dev/null
cmake --build build-fuzz -j"$jobs"
for f in build-fuzz/fuzz/*_fuzz; do
  corpus="build-fuzz/corpus-$(basename "$f")"
  mkdir -p "$corpus"
  "$f" -max_total_time="$fuzz_seconds" -print_final_stats=1 "$corpus" 2>&1 | tail -n 3
done

echo "== benchmarks build"
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQS_BUILD_TESTS=OFF >/dev/null
cmake --build build-release -j"$jobs"

echo "== Linux build with sanitizers, all tests"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Asan -DQS_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
ctest --test-dir build-asan -j"$jobs" --output-on-failure --timeout 120
