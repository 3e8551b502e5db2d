#!/usr/bin/env bash
# Figures of the running service: resident memory when idle, and the time
# from SIGTERM to the end of the process when idle; once with the real-time
# monitor off and once with the product folder's watch job running. Then,
# as root, the time from the start to READY=1 and to running (the start
# handled) while another user (nobody) works against it: with 100 listeners
# titled as trace viewers that take no connection, and with the main INI's
# folder locked (flock) (target under 1 s each).
# usage: bench/service_figures.sh [BUILD_DIR]   (default build-release)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build-release}"
work="$(mktemp -d)"
attackers=()
trap 'kill "${attackers[@]}" 2>/dev/null; rm -rf "$work"' EXIT
product="$work/Quillon Pro"
mkdir -p "$product/bin"
cp "$build/QuillonSrv" "$build/quillon-ini" "$product/bin/"
bash packaging/lay-out-product.sh "$product" >/dev/null

# usage: measure LABEL: five runs with the product folder as it stands.
measure() {
  local rss_sum=0 stop_sum=0 runs=5 i pid rss start end
  for i in $(seq "$runs"); do
    ( cd "$product/bin" && QUILLONSRV_NO_JOURNAL=1 exec ./QuillonSrv "-debug,Bench,,$product/bin,$product" ) \
      >/dev/null 2>&1 &
    pid=$!
    sleep 1
    rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status")
    start=$(date +%s%N)
    kill -TERM "$pid"
    wait "$pid" || true
    end=$(date +%s%N)
    rss_sum=$((rss_sum + rss))
    stop_sum=$((stop_sum + (end - start) / 1000))
  done
  echo "$1: idle resident memory $((rss_sum / runs)) KiB (target under 4096 KiB)," \
    "SIGTERM to exit $((stop_sum / runs)) us (target under 100000 us)"
}

"$product/bin/quillon-ini" set "$product/Quillon.ini" Monitor RunNTMon 0
measure "monitor off"
"$product/bin/quillon-ini" set "$product/Quillon.ini" Monitor RunNTMon 1
measure "monitor on, one watch job"

[ "$(id -u)" -eq 0 ] || { echo "READY=1 figures: skipped (need root)"; exit 0; }
chmod 755 "$work"  # the product folder is open to other users, as under /opt
attacker=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
# usage: ready LABEL: the time from the start to READY=1 and to the first
# STATUS (the start handled: the INI's "State" written, the loop answering
# signals), five runs.
ready() {
  local sum=0 sum_run=0 runs=5 i pid start now at_ready end sock="$work/notify.sock"
  for i in $(seq "$runs"); do
    rm -f "$sock" "$work/notify.log"
    perl -MIO::Socket::UNIX -e '$| = 1; my $s = IO::Socket::UNIX->new(Type => SOCK_DGRAM(),
      Local => $ARGV[0]) or die; print "$m\n" while defined $s->recv($m, 4096)' \
      "$sock" >"$work/notify.log" &
    local listener=$!
    while [ ! -S "$sock" ]; do sleep 0.01; done
    start=$(date +%s%N)
    ( cd "$product/bin" && NOTIFY_SOCKET="$sock" QUILLONSRV_NO_JOURNAL=1 \
        exec ./QuillonSrv "-debug,Bench,,$product/bin,$product" ) >/dev/null 2>&1 &
    pid=$!
    at_ready=0 end=$((start + 10000000000))
    while now=$(date +%s%N); ((now < end)); do
      if grep -q '^STATUS=' "$work/notify.log"; then  # after READY=1
        ((at_ready > 0)) || at_ready=$now
        break
      fi
      ((at_ready > 0)) || ! grep -q '^READY=1$' "$work/notify.log" || at_ready=$now
      sleep 0.005
    done
    kill -KILL "$pid" "$listener"
    wait "$pid" "$listener" 2>/dev/null || true
    if ((now >= end)); then
      echo "$1: READY=1 $( ((at_ready > 0)) && echo after $(((at_ready - start) / 1000)) us ||
        echo never), not running within 10 s"
      return
    fi
    sum=$((sum + (at_ready - start) / 1000)) sum_run=$((sum_run + (now - start) / 1000))
  done
  echo "$1: start to READY=1 $((sum / runs)) us, to running $((sum_run / runs)) us" \
    "(target under 1000000 us)"
}
ready "alone"
"${attacker[@]}" perl -MSocket -e '$| = 1; my @keep;
  for my $i (1 .. 100) {
    my $name = pack_sockaddr_un("\0Ravelin - squatter $$ $i");
    my ($l, $c);
    socket($l, AF_UNIX, SOCK_SEQPACKET, 0) and bind($l, $name) and listen($l, 0) or die "$!";
    socket($c, AF_UNIX, SOCK_SEQPACKET, 0) and connect($c, $name) or die "$!";
    push @keep, $l, $c;  # the queue of each is full now
  }
  print "ready\n"; sleep 600' >"$work/squatters.out" &
squatters=$!
attackers+=("$squatters")
until grep -q ready "$work/squatters.out"; do kill -0 "$squatters"; sleep 0.01; done
ready "100 trace viewers that take no connection"
kill "$squatters"
# As `flock -x FOLDER sleep 600` would, in one process that ends with its kill.
"${attacker[@]}" perl -MFcntl=:flock -e 'open(my $d, "<", $ARGV[0]) or die "$!";
  flock($d, LOCK_EX) or die "$!"; sleep 600' "$product" &
locker=$!
attackers+=("$locker")
until ! flock -n "$product" true; do kill -0 "$locker"; sleep 0.01; done
ready "the INI's folder locked"
kill "$locker"
