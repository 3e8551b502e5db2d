#!/usr/bin/env bash
# The Debian package as an administrator meets it: built by cpack from a
# Release build, checked by lintian (errors and warnings fail), installed,
# upgraded over the administrator's settings and jobs, a service installed
# (and under systemd started), removed and purged. Needs root (dpkg).
#
#   bash tests/package/deb-test.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:?usage: deb-test.sh BUILD_DIR}" && pwd)
product="/opt/Quillon Pro"
ini="$product/bin/quillon-ini"
srv="$product/bin/QuillonSrv"
name=PkgTest
unit='Quillon\x20Pro\x20Service\x20PkgTest.service'
fail() { echo "package: $*" >&2; exit 1; }
[[ $(id -u) -eq 0 ]] || fail "dpkg needs root"

(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/package/quillon-pro_*.deb)
lintian --fail-on error,warning "$deb" || fail "lintian"
echo "package: $(basename "$deb"): lintian passed"

systemd=0
[[ -d /run/systemd/system ]] && systemd=1
cleanup() {
  if [[ -e /etc/systemd/system/$unit ]]; then
    ((systemd)) && systemctl stop "$unit" || true
    "$srv" "-uninstall,$name,,$product/bin,$product" || rm -f "/etc/systemd/system/$unit"
  fi
  dpkg -P quillon-pro >/dev/null 2>&1 || true
  rm -rf "$product/jobs"
  rmdir "$product" 2>/dev/null || true
}
dpkg -s quillon-pro >/dev/null 2>&1 && dpkg -P quillon-pro >/dev/null
[[ ! -e $product ]] || fail "$product exists and is no package's: not touched"
trap cleanup EXIT

dpkg -i "$deb" >/dev/null
# The INI files name the folder; no sample jobs.
[[ $("$ini" get "$product/Quillon.ini" Options AppPath) == "$product" ]] || fail "AppPath"
[[ $("$ini" get "$product/bin/QuillonSrv.ini" Files INI) == "$product/Quillon.ini" ]] || fail "Files/INI"
[[ -z $(ls -A "$product/jobs") && ! -e $product/data ]] || fail "sample jobs installed"

# The administrator's settings and job files survive an upgrade.
"$ini" set "$product/Quillon.ini" ErrWin ShowTime 0
printf '[Job]\r\nFrom=%s\r\nTo=%s\r\nType=0\r\n' "$product/in" "$product/out" >"$product/jobs/Mine.qlj"
dpkg -i "$deb" >/dev/null
[[ $("$ini" get "$product/Quillon.ini" ErrWin ShowTime) == 0 ]] || fail "setting replaced on upgrade"
[[ -e $product/jobs/Mine.qlj ]] || fail "job file lost on upgrade"

# The installed program runs: a debug run writes its start, and the
# logrotate snippet moves the log away (the next line makes a new one).
"$srv" "-debug,$name,,$product/bin,$product" 2>/dev/null &
pid=$!
for ((i = 0; i < 200; ++i)); do
  grep -q 'erfolgreich gestartet' "$product/logs/DefaultLog.txt" 2>/dev/null && break
  sleep 0.05
done
kill -TERM "$pid"
wait "$pid" || fail "the debug run ended with $?"
grep -q 'NT Service gestoppt' "$product/logs/DefaultLog.txt" || fail "no log"
logrotate -f -s "$(mktemp)" /etc/logrotate.d/quillon-pro
[[ -s $product/logs/DefaultLog.txt.1 && ! -e $product/logs/DefaultLog.txt ]] || fail "logrotate"

# A service: installed by the administrator, never by the package.
[[ ! -e /etc/systemd/system/$unit ]] || fail "a unit is there before -install"
"$srv" "-install,-manual,$name,$product/bin,$product"
[[ $("$ini" get "$product/Quillon.ini" NTService State) == 1 ]] || fail "install failed"
if ((systemd)); then
  since=$(date '+%Y-%m-%d %H:%M:%S')
  systemctl start "$unit"
  systemctl is-active --quiet "$unit" || fail "$unit does not run"
  # A pause goes to the journal under the service's name; the process is
  # not stopped (no terminal), and a continue takes it up again.
  systemctl kill --signal=SIGTSTP "$unit"
  for ((i = 0; i < 50; ++i)); do
    journalctl -q -o cat --since "$since" -t "Quillon Pro Service $name" | grep -q 'NT Service pausiert' && break
    sleep 0.1
  done
  journalctl -q -o cat --since "$since" -t "Quillon Pro Service $name" | grep -q 'NT Service pausiert' ||
    fail "no pause under journalctl -t 'Quillon Pro Service $name'"
  systemctl kill --signal=SIGCONT "$unit"
  systemctl is-active --quiet "$unit" || fail "$unit ended on pause and continue"
  systemctl stop "$unit"
  echo "package: $unit installed, started, paused (journal entry found) and stopped under systemd"
else
  echo "package: systemd is not running here (PID 1 is $(cat /proc/1/comm)):" \
    "$unit installed and removed, not started"
fi
# The package is not removed from under a registered service.
if dpkg -r quillon-pro >/dev/null 2>&1; then fail "removed while $unit is registered"; fi
"$srv" "-uninstall,$name,,$product/bin,$product"

# Removal keeps the INI and job files; purge takes the INI files and logs.
dpkg -r quillon-pro >/dev/null
[[ ! -e $srv && -e $product/Quillon.ini && -e $product/jobs/Mine.qlj ]] || fail "dpkg -r"
dpkg -P quillon-pro >/dev/null
[[ ! -e $product/Quillon.ini && ! -e $product/logs && -e $product/jobs/Mine.qlj ]] || fail "dpkg -P"
echo "package: installed, upgraded, removed and purged"
