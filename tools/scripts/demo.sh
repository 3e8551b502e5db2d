#!/usr/bin/env bash
# Sets up the machine, builds, lays out a demo product folder in ./demo and
# shows the service's INI handling on it.
set -euo pipefail
cd "$(dirname "$0")/../.."

bash tools/scripts/setup-debian.sh
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQS_BUILD_TESTS=OFF -DQS_BUILD_BENCH=OFF >/dev/null
cmake --build build-release -j2

demo="$PWD/demo/Quillon Pro"
mkdir -p "$demo/bin" "$demo/jobs" "$demo/logs" "$demo/lang"
cp build-release/QuillonSrv build-release/quillon-ini build-release/quillon-trace "$demo/bin/"
ini="$demo/bin/quillon-ini"

"$ini" set "$demo/Quillon.ini" Options AppPath "$demo"
"$ini" set "$demo/Quillon.ini" Options Language Deutsch
"$ini" set "$demo/Quillon.ini" Options WriteLog 1
"$ini" set "$demo/bin/QuillonSrv.ini" Files INI "$demo/Quillon.ini"
"$ini" set "$demo/bin/QuillonSrv.ini" Files Language "$demo/lang/Deutsch.lng"

echo "== $demo/Quillon.ini"
cat "$demo/Quillon.ini"
echo "== Options/LogSize (missing: the service's default 100)"
"$ini" get "$demo/Quillon.ini" Options LogSize 100; echo
echo "== QuillonSrv"
"$demo/bin/QuillonSrv"
