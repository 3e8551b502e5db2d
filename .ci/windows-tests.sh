#!/usr/bin/env bash
# Builds the Windows programs with MinGW-w64 and proves them under Wine, in
# a fresh prefix, stage by stage (each prints its time):
#   build      QuillonSrv.exe, quillon-ini.exe, quillon-trace.exe,
#              quillon-control.exe and the unit tests
#   prefix     a Wine prefix (tools/scripts/wine-prefix.sh)
#   unit tests the test program; its XML report must count no failure
#   scenarios  tests/e2e against QuillonSrv.exe in Wine's service control
#              manager (the same scenarios as the Linux build's)
#   package    `cmake --install` lays out the product folder (the programs
#              stripped); CPack packs it as a zip
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

source tools/scripts/wine-prefix.sh
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
cleanup() {
  "$wineserver" -k >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

stage "Wine prefix"
boot_prefix 200  # a short work cycle for the scenarios

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
programs=(QuillonSrv.exe quillon-ini.exe quillon-trace.exe quillon-control.exe)
for f in "${programs[@]/#/bin/}" bin/install-service.bat \
  bin/QuillonSrv.ini Quillon.ini lang/Deutsch.lng lang/English.lng \
  jobs/Daily.qlj logs; do
  [[ -e "$product/$f" ]] || {
    echo "windows-tests: the product folder lacks $f" >&2
    exit 1
  }
done
# Installed stripped: no symbol table is left.
for f in "${programs[@]}"; do
  if x86_64-w64-mingw32-objdump -t "$product/bin/$f" | grep -q '^\[ *[0-9]*\]'; then
    echo "windows-tests: bin/$f was installed with its symbols" >&2
    exit 1
  fi
done
# Each with its version resource and a manifest that declares long paths.
for f in "${programs[@]}"; do
  if ! grep -q longPathAware "$product/bin/$f" ||
    ! x86_64-w64-mingw32-strings -el "$product/bin/$f" | grep -x VS_VERSION_INFO >/dev/null; then
    echo "windows-tests: bin/$f lacks its manifest or version resource" >&2
    exit 1
  fi
done
(cd "$build_dir" && cpack -G ZIP >/dev/null)
zip=$(ls "$build_dir"/package/*.zip)
listing=$(cmake -E tar tf "$zip")
for f in "${programs[@]}"; do
  grep -x "Quillon Pro/bin/$f" <<<"$listing" >/dev/null || {
    echo "windows-tests: $zip lacks Quillon Pro/bin/$f" >&2
    exit 1
  }
done
echo "windows-tests: $zip, QuillonSrv.exe $(stat -c %s "$build_dir/QuillonSrv.exe") bytes"
stage ""
echo "windows-tests: passed"
