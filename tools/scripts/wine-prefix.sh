# Sourced by the scripts that run the Windows programs under Wine. Finds the
# 64-bit loader and server (Debian keeps them outside PATH) as `wine` and
# `wineserver`, and `boot_prefix` makes a fresh prefix in WINEPREFIX:
#   - a persistent server first, or the first program's background
#     processes keep its output pipe open;
#   - Wine's null graphics driver, for windows and message boxes without a
#     display, and no crash dialog to block a crashing program;
#   - `boot_prefix MS` also gives services (which see the system
#     environment only) a work cycle of MS milliseconds;
#   - then a second boot, since the desktop process of the first has no
#     driver.
# The server keeps running: `wineserver -k` ends it.
#
# Run as a program, it makes such a prefix to try the Windows programs in
# by hand (README, "Trying it under Wine"):
#   bash tools/scripts/wine-prefix.sh FOLDER [WORK_CYCLE_MS]
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
  echo "wine-prefix: none of $* found" >&2
  return 1
}
wine=$(find_wine_tool wine64 wine)
wineserver=$(find_wine_tool wineserver wineserver64)
export PATH="$(dirname "$wine"):$PATH"
export WINEDEBUG=-all
# Under the C locale Wine takes English (US) settings with code page 1252,
# the code page of the product's machines; the text tests rely on it. Its
# UTF-8 form also lets Wine keep any name Windows allows in the Unix file
# system: under the plain C locale a Greek or Japanese file name cannot be
# made at all.
export LANG=C.UTF-8 LC_ALL=C.UTF-8

boot_prefix() {
  mkdir -p "$WINEPREFIX"
  "$wineserver" -p >/dev/null 2>&1
  "$wine" wineboot -i >/dev/null 2>&1
  "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f \
    >/dev/null 2>&1
  "$wine" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog \
    /t REG_DWORD /d 0 /f >/dev/null 2>&1
  if [[ $# -gt 0 ]]; then
    "$wine" reg add \
      'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' \
      /v QUILLONSRV_TICK_MS /t REG_SZ /d "$1" /f >/dev/null 2>&1
  fi
  "$wineserver" -k >/dev/null 2>&1 || true
  "$wineserver" -w
  "$wineserver" -p >/dev/null 2>&1
  "$wine" wineboot >/dev/null 2>&1
}

if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
  set -euo pipefail
  WINEPREFIX=$(realpath -m "${1:?usage: wine-prefix.sh FOLDER [WORK_CYCLE_MS]}")
  export WINEPREFIX
  boot_prefix "${@:2}"
  echo "wine-prefix: $WINEPREFIX is booted; its server runs until" \
    "WINEPREFIX='$WINEPREFIX' $wineserver -k"
fi
