#!/usr/bin/env bash
# The whole service's start with 10,000 watch jobs, each on its own folder
# and its own target, with its own job file: the time from the start of the
# process to the monitor's start line in the default log, once with one line
# for all the jobs ("MonShowMsg" 1) and once with a line per job
# ("MonShowMsg" 0, to the last job's line); five runs each. The watch jobs'
# own part is BM_StartWatchJobs/10000 (target under 1 s).
# usage: bench/watch_start_figures.sh [BUILD_DIR [JOBS]]   (default build-release, 10000)
set -euo pipefail
cd "$(dirname "$0")/.."
jobs="${2:-10000}"
. bench/product_folder.sh "${1:-build-release}" start
last="$(printf 'W%05d' $((jobs - 1)))"
python3 - "$product" "$jobs" <<'EOF'
import os, sys
product, count = sys.argv[1], int(sys.argv[2])
for i in range(count):
    src, dst = "%s/data/in/%05d" % (product, i), "%s/data/out/%05d" % (product, i)
    os.makedirs(src)
    os.makedirs(dst)
    with open("%s/jobs/W%05d.qlj" % (product, i), "w") as f:
        f.write("[Job]\r\nFrom=%s\r\nTo=%s\r\nType=2\r\nActive=1\r\n" % (src, dst))
EOF

# The processor time the service has used (user and system), in ms.
cpu_ms() {
  awk -v tick="$(getconf CLK_TCK)" '{ print int(($14 + $15) * 1000 / tick) }' "/proc/$1/stat"
}

# usage: start LABEL MONSHOWMSG PATTERN: five runs, the time until PATTERN
# ends the log, and the service's processor time by then (a figure that
# other programs on the machine change less).
start() {
  local runs=5 i start at times=() cpu=()
  "$product/bin/quillon-ini" set "$product/Quillon.ini" Monitor MonShowMsg "$2"
  for i in $(seq "$runs"); do
    rm -f "$log"
    start=$(ms)
    ( cd "$product/bin" && QUILLONSRV_NO_JOURNAL=1 \
        exec ./QuillonSrv "-debug,Bench,,$product/bin,$product" ) >/dev/null 2>&1 &
    pid=$!
    until tail -c 200 "$log" 2>/dev/null | grep -q "$3"; do
      [ $(( $(ms) - start )) -lt 60000 ] || { echo "$1: no start line in 60 s" >&2; exit 1; }
      sleep 0.01
    done
    at=$(ms)
    cpu+=("$(cpu_ms "$pid")")
    kill -TERM "$pid"
    wait "$pid" || true
    pid=
    times+=("$(( at - start ))")
  done
  echo "$1: start to the start line ${times[*]} ms, processor time ${cpu[*]} ms" \
    "($jobs watch jobs)"
}

start "one start line" 1 "Echtzeitmonitor gestartet.$"
start "a start line per job" 0 "Echtzeitmonitor gestartet: $last.$"
