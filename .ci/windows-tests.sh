#!/usr/bin/env bash
# Builds the Windows programs with MinGW-w64 and proves them under Wine, in
# a fresh prefix, stage by stage (each prints its time):
#   build      QuillonSrv.exe, quillon-ini.exe, quillon-trace.exe,
#              quillon-control.exe and the unit tests
#   prefix     a Wine prefix with a persistent server, the null graphics
#              driver and a 200 ms work cycle for services
#   unit tests the test program; its XML report must count no failure
#   scenarios  tests/e2e against QuillonSrv.exe in Wine's service control
#              manager (the same scenarios as the Linux build's)
#   package    `cmake --install` lays out the product folder; CPack packs it
#              as a zip
# Run from the repository root:
#
#   bash .ci/windows-tests.sh
#
# Exits non-zero when any stage fails.
set -euo pipefail

build_dir=${QS_WIN_BUILD_DIR:-build-win}
jobs=${QS_JOBS:-2}
test_timeout=${QS_WIN_TEST_TIMEOUT:-900}

if [[ ! -f CMakeLists.txt || ! -f cmake/mingw-w64.cmake ]]; then
  echo "windows-tests: run me from the repository root" >&2
  exit 2
fi

# Debian keeps the 64-bit Wine loader and server outside PATH.
find_wine_tool() {
  local name
  for name in "$@"; do
    if command -v "$name" >/dev/null 2>&1; then
      command -v "$name"
      return 0
    fi
    if [[ -x "/usr/lib/wine/$name" ]]; then
      echo "/usr/lib/wine/$name"
      return 0
    fi
  done
  return 1
}
wine=$(find_wine_tool wine64 wine) || {
  echo "windows-tests: wine64 not found" >&2
  exit 2
}
wineserver=$(find_wine_tool wineserver wineserver64) || {
  echo "windows-tests: wineserver not found" >&2
  exit 2
}
export PATH="$(dirname "$wine"):$PATH"

source tools/scripts/stages.sh

stage "Windows build ($build_dir)"
cmake -S . -B "$build_dir" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DQS_BUILD_BENCH=OFF >/dev/null
cmake --build "$build_dir" -j "$jobs"
test_exe="$build_dir/tests/quillon_tests.exe"
[[ -f "$test_exe" ]] || {
  echo "windows-tests: $test_exe was not built" >&2
  exit 1
}

# One prefix per run, thrown away at the end together with its server.
work=$(mktemp -d "${TMPDIR:-/tmp}/qs-wine.XXXXXX")
export WINEPREFIX="$work/prefix"
export WINEDEBUG=-all
# Under the C locale Wine takes English (US) settings with code page 1252,
# the code page of the product's machines; the text tests rely on it.
export LANG=C LC_ALL=C
cleanup() {
  "$wineserver" -k >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

stage "Wine prefix"
# A persistent server first: otherwise the first program's background
# processes keep its output pipe open.
mkdir -p "$WINEPREFIX"
"$wineserver" -p
"$wine" wineboot -i >/dev/null 2>&1
# No display here: Wine's null graphics driver gives windows and message
# boxes without one. No crash dialog to block a crashing test. Services see
# only the system environment: a short work cycle for the scenarios.
"$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f \
  >/dev/null 2>&1
"$wine" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog \
  /t REG_DWORD /d 0 /f >/dev/null 2>&1
"$wine" reg add \
  'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' \
  /v QUILLONSRV_TICK_MS /t REG_SZ /d 200 /f >/dev/null 2>&1
# The desktop process started by the first boot still has no driver: end
# this session and boot again with the settings above.
"$wineserver" -k >/dev/null 2>&1 || true
"$wineserver" -w
"$wineserver" -p
"$wine" wineboot >/dev/null 2>&1

stage "Windows unit tests"
results="$build_dir/test-results"
mkdir -p "$results"
xml="$results/windows-tests.xml"
rm -f "$xml"
rc=0
timeout "$test_timeout" "$wine" "$test_exe" --gtest_brief=1 \
  "--gtest_output=xml:$xml" || rc=$?

# A crash under Wine may end the process with 0, so the report must exist
# and count no failure as well.
status=0
if [[ $rc -ne 0 ]]; then
  echo "windows-tests: the test program exited with $rc" >&2
  status=1
fi
if [[ ! -s "$xml" ]]; then
  echo "windows-tests: no test report at $xml" >&2
  exit 1
fi
head_tag=$(tr '\n' ' ' <"$xml" | grep -o '<testsuites [^>]*>' | head -n 1 || true)
attr() {
  sed -n "s/.* $1=\"\([0-9]*\)\".*/\1/p" <<<"$head_tag"
}
tests=$(attr tests)
failures=$(attr failures)
errors=$(attr errors)
skipped=$(grep -c 'result="skipped"' "$xml" || true)
if [[ -z "$tests" || -z "$failures" || -z "$errors" ]]; then
  echo "windows-tests: unreadable test report $xml" >&2
  exit 1
fi
echo "== report: $tests tests, $failures failures, $errors errors," \
  "$skipped skipped"
if [[ "$tests" -eq 0 || "$failures" -ne 0 || "$errors" -ne 0 ]]; then
  status=1
fi
[[ $status -eq 0 ]] || {
  echo "windows-tests: FAILED" >&2
  exit 1
}

stage "Windows end-to-end scenarios"
bash tests/e2e/run-scenarios.sh windows "$build_dir"

stage "Windows product folder and zip"
product="$work/Quillon Pro"
cmake --install "$build_dir" --prefix "$product" >/dev/null
for f in bin/QuillonSrv.exe bin/quillon-ini.exe bin/quillon-trace.exe \
  bin/QuillonSrv.ini Quillon.ini lang/Deutsch.lng lang/English.lng \
  jobs/Daily.qlj logs; do
  [[ -e "$product/$f" ]] || {
    echo "windows-tests: the product folder lacks $f" >&2
    exit 1
  }
done
(cd "$build_dir" && cpack -G ZIP >/dev/null)
zip=$(ls "$build_dir"/package/*.zip)
cmake -E tar tf "$zip" | grep -q -x 'Quillon Pro/bin/QuillonSrv.exe' || {
  echo "windows-tests: $zip lacks Quillon Pro/bin/QuillonSrv.exe" >&2
  exit 1
}
echo "windows-tests: $zip, QuillonSrv.exe $(stat -c %s "$build_dir/QuillonSrv.exe") bytes"
stage ""
echo "windows-tests: passed"
