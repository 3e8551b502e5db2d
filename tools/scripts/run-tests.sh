#!/usr/bin/env bash
# Sets up the machine and runs every test, stage by stage, each with its
# time: the Windows build and its tests under Wine, the fuzz targets for
# 60 s each, a Release build of the benchmarks and the Debian package made
# from it (lintian, dpkg -i, a service, dpkg -r and -P), and the Linux build under the
# address and undefined-behaviour sanitizers with all its tests (the
# end-to-end scenarios included).
set -euo pipefail
cd "$(dirname "$0")/../.."

jobs=2
fuzz_seconds="${QS_FUZZ_SECONDS:-60}"
run_start=$SECONDS
source tools/scripts/stages.sh

stage "set-up"
bash tools/scripts/setup-debian.sh

stage "Windows build, tests under Wine"
bash .ci/windows-tests.sh

stage "fuzz targets (${fuzz_seconds} s each)"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQS_BUILD_FUZZ=ON -DQS_BUILD_TESTS=OFF -DQS_BUILD_BENCH=OFF >/dev/null
cmake --build build-fuzz -j"$jobs"
for f in build-fuzz/fuzz/*_fuzz; do
  corpus="build-fuzz/corpus-$(basename "$f")"
  mkdir -p "$corpus"
  "$f" -max_total_time="$fuzz_seconds" -print_final_stats=1 "$corpus" 2>&1 | tail -n 3
done

stage "benchmarks build"
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQS_BUILD_TESTS=OFF >/dev/null
cmake --build build-release -j"$jobs"

stage "Debian package"
bash tests/package/deb-test.sh build-release

stage "Linux build with sanitizers, all tests"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Asan -DQS_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
ctest --test-dir build-asan -j"$jobs" --output-on-failure --timeout 120

stage ""
echo "== all stages: $((SECONDS - run_start)) s"
