#!/usr/bin/env bash
# Installs what the build, the tests, the Debian package and its checks
# (file, lintian, logrotate) and the demo need on Debian 12, and the
# German locales the log-format tests use. Safe to run again.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libsystemd-dev systemd locales
  clang libclang-rt-14-dev
  g++-mingw-w64-x86-64 wine64
  file lintian logrotate
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# de_DE.UTF-8 and de_DE (ISO-8859-1): regional date, time and code page tests.
need_gen=0
for l in de_DE.utf8 de_DE.iso88591; do
  locale -a 2>/dev/null | grep -qx "$l" || need_gen=1
done
if [ "$need_gen" -eq 1 ]; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd sed -i -E 's/^# *(de_DE\.UTF-8 UTF-8)/\1/; s/^# *(de_DE ISO-8859-1)/\1/' /etc/locale.gen
  grep -q '^de_DE.UTF-8 UTF-8' /etc/locale.gen || echo 'de_DE.UTF-8 UTF-8' | $sudo_cmd tee -a /etc/locale.gen >/dev/null
  grep -q '^de_DE ISO-8859-1' /etc/locale.gen || echo 'de_DE ISO-8859-1' | $sudo_cmd tee -a /etc/locale.gen >/dev/null
  $sudo_cmd locale-gen >/dev/null
fi
