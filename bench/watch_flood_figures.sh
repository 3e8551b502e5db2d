#!/usr/bin/env bash
# A file flood in one watch job's source, as a user who may write there can
# make it, while a second watch job waits for one file:
#   - 20,000 files;
#   - 1,500 folders made one inside the other, one by one, then 20,000 files.
# For each: how long the second job's file takes to reach its target
# (written right after the flood), and the time from SIGTERM to the end of
# the service one second later, with most of the flood still to be copied
# (target under 1 s). Then a flood made while the service was down: 20,000
# folders in the source at the start, and the time from the start to the
# monitor's start line and from a SIGTERM sent 0.15 s into the start to the
# end of the service (target under 1 s).
# usage: bench/watch_flood_figures.sh [BUILD_DIR]   (default build-release)
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/product_folder.sh "${1:-build-release}" flood

# usage: flood LABEL NESTED: NESTED folders one inside the other, then the files
flood() {
  rm -rf "$product/flood-"* "$product/quiet-"* "$log"
  mkdir -p "$product/flood-in" "$product/quiet-in"
  printf '[Job]\r\nFrom=%s\r\nTo=%s\r\nType=2\r\nRecursive=1\r\n' \
    "$product/flood-in" "$product/flood-out" > "$product/jobs/Flood.qlj"
  printf '[Job]\r\nFrom=%s\r\nTo=%s\r\nType=2\r\nDelay=0\r\n' \
    "$product/quiet-in" "$product/quiet-out" > "$product/jobs/Quiet.qlj"
  ( cd "$product/bin" && QUILLONSRV_NO_JOURNAL=1 \
      exec ./QuillonSrv "-debug,Bench,,$product/bin,$product" ) >/dev/null 2>&1 &
  pid=$!
  until grep -q "Echtzeitmonitor gestartet" "$log" 2>/dev/null; do sleep 0.02; done
  python3 - "$product/flood-in" "$2" <<'EOF'
import os, sys, time
folder, nested = sys.argv[1], int(sys.argv[2])
for _ in range(nested):
    folder = os.path.join(folder, "d")
    os.mkdir(folder)
    time.sleep(0.0005)
for i in range(20000):
    with open(os.path.join(sys.argv[1], "f%05d" % i), "w") as f:
        f.write("x")
EOF
  local start arrived=no copied_at copied term ended
  start=$(ms)
  echo quiet > "$product/quiet-in/q.txt"
  while [ $(( $(ms) - start )) -lt 15000 ]; do
    [ -f "$product/quiet-out/q.txt" ] && { arrived=yes; break; }
    sleep 0.01
  done
  copied_at=$(ms)
  sleep 1
  copied=$( (find "$product/flood-out" -type f 2>/dev/null || true) | wc -l)
  term=$(ms)
  kill -TERM "$pid"
  wait "$pid" || true
  ended=$(ms)
  pid=
  echo "$1: the second job's file copied after $(( copied_at - start )) ms" \
    "(arrived: $arrived); SIGTERM to exit $(( ended - term )) ms with $copied of 20,000" \
    "copied (target under 1000 ms)"
}

# usage: at_start: the service started on 20,000 folders, stopped early
at_start() {
  rm -rf "$product/flood-"* "$log"
  mkdir -p "$product/flood-in"
  python3 -c 'import os, sys
for i in range(20000): os.mkdir(os.path.join(sys.argv[1], "w%05d" % i))' "$product/flood-in"
  local start started term ended
  for stop in no yes; do
    start=$(ms)
    ( cd "$product/bin" && QUILLONSRV_NO_JOURNAL=1 \
        exec ./QuillonSrv "-debug,Bench,,$product/bin,$product" ) >/dev/null 2>&1 &
    pid=$!
    if [ $stop = yes ]; then
      sleep 0.15
      term=$(ms)
      kill -TERM "$pid"
      wait "$pid" || true
      ended=$(ms)
    else
      until grep -q "Echtzeitmonitor gestartet" "$log" 2>/dev/null; do sleep 0.01; done
      started=$(( $(ms) - start ))
      kill -TERM "$pid"
      wait "$pid" || true
    fi
    pid=
  done
  echo "20,000 folders at the start: the start line after $started ms;" \
    "SIGTERM 0.15 s into the start to exit $(( ended - term )) ms (target under 1000 ms)"
}

flood "20,000 files" 0
flood "1,500 nested folders, then 20,000 files" 1500
at_start
