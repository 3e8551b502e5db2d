#!/usr/bin/env bash
# Builds the Windows programs with MinGW-w64 and runs the test program under
# Wine in a fresh prefix. Run from the repository root:
#
#   bash .ci/windows-tests.sh
#
# Needs the MinGW-w64 cross compiler, Wine (64-bit) and the googletest
# sources. Exits non-zero when the build fails, when the test program fails
# or crashes, or when its XML report is missing or counts a failure.
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

echo "== build ($build_dir)"
cmake -S . -B "$build_dir" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DQS_BUILD_BENCH=OFF
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

echo "== Wine prefix"
# A persistent server first: otherwise the first program's background
# processes keep its output pipe open.
mkdir -p "$WINEPREFIX"
"$wineserver" -p
"$wine" wineboot -i >/dev/null 2>&1
# No display here: Wine's null graphics driver gives windows and message
# boxes without one. No crash dialog to block a crashing test.
"$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f \
  >/dev/null 2>&1
"$wine" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog \
  /t REG_DWORD /d 0 /f >/dev/null 2>&1
# The desktop process started by the first boot still has no driver: end
# this session and boot again with the settings above.
"$wineserver" -k >/dev/null 2>&1 || true
"$wineserver" -w
"$wineserver" -p
"$wine" wineboot >/dev/null 2>&1

echo "== tests"
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
if [[ $status -ne 0 ]]; then
  echo "windows-tests: FAILED" >&2
else
  echo "windows-tests: passed"
fi
exit $status
