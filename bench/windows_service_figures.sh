#!/usr/bin/env bash
# Figures of QuillonSrv.exe under Wine, in a fresh prefix: its size, and the
# time from StartServiceA to RUNNING and from a stop request to STOPPED when
# idle (targets: under 1 s each), as quillon-control.exe measures them: the
# median and the slowest of ten runs, with the product folder's watch job.
# usage: bench/windows_service_figures.sh [BUILD_DIR]   (default build-win)
set -euo pipefail
cd "$(dirname "$0")/.."
build="$(cd "${1:-build-win}" && pwd)"
source tools/scripts/wine-prefix.sh
work="$(mktemp -d)"
export WINEPREFIX="$work/prefix"
trap '"$wineserver" -k >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
boot_prefix

product="$WINEPREFIX/drive_c/Quillon Pro"
cmake --install "$build" --prefix "$product" >/dev/null
stripped="$work/QuillonSrv.exe"
x86_64-w64-mingw32-strip -o "$stripped" "$build/QuillonSrv.exe"
echo "QuillonSrv.exe: $(stat -c %s "$build/QuillonSrv.exe") bytes as built," \
  "$(stat -c %s "$stripped") bytes stripped (as packed)"

(cd "$product/bin" &&
  "$wine" QuillonSrv.exe '-install,-manual,Bench,C:\Quillon Pro\bin,C:\Quillon Pro')
name="Quillon Pro Service Bench"
starts=() stops=()
for i in $(seq 10); do
  starts+=("$("$wine" "$build/quillon-control.exe" start "$name" | sed -n 's/.* after \([0-9]*\) ms.*/\1/p')")
  sleep 1  # idle: the first work cycle comes after a minute
  stops+=("$("$wine" "$build/quillon-control.exe" stop "$name" | sed -n 's/.* after \([0-9]*\) ms.*/\1/p')")
done
(cd "$product/bin" &&
  "$wine" QuillonSrv.exe '-uninstall,Bench,,C:\Quillon Pro\bin,C:\Quillon Pro')

figures() {
  sort -n | awk '{v[NR] = $1} END {printf "median %d ms, slowest %d ms", v[int((NR + 1) / 2)], v[NR]}'
}
echo "StartServiceA to RUNNING: $(printf '%s\n' "${starts[@]}" | figures) (target under 1000 ms)"
echo "stop to STOPPED, idle:    $(printf '%s\n' "${stops[@]}" | figures) (target under 1000 ms)"
