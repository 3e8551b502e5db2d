#!/usr/bin/env bash
# The end-to-end scenarios: the real service program on a product folder of
# its own, driven as an installer, an administrator and the service manager
# drive it. The same scenarios, with the same expected files, run against
# the Linux build and, under Wine, the Windows build:
#
#   bash tests/e2e/run-scenarios.sh linux BUILD_DIR [SCENARIO...]
#   bash tests/e2e/run-scenarios.sh windows BUILD_DIR [SCENARIO...]
#
# The Windows run needs the booted Wine prefix of .ci/windows-tests.sh
# (WINEPREFIX, a persistent wineserver, Wine's null graphics driver, and
# QUILLONSRV_TICK_MS=200 in the prefix's system environment). KEEP_E2E=1
# keeps the run's work folder (viewer output, the service's standard error).
#
# A scenario (tests/e2e/*.scn) is a sequence, run in order, of these:
#   # ...                     a comment
#   platforms NAME...         the scenario runs on these platforms only
#   file REL ... .            a file of the product folder, written now:
#                             the lines up to a line "." alone
#   do STEP ARGS              a step (below); its arguments in shell
#                             quoting
#   expect REL ... .          REL holds exactly these lines, by now
# Every line of a file is written and expected with CR LF. In all of them
# {P} stands for the product folder and {/} for the path separator, as the
# platform writes them ("C:\e2e\NAME\Quillon Pro" and "\" on Windows).
#
# Steps:
#   run CMDLINE               the program with this command line, to its end
#   start NAME                the service manager starts the service NAME
#   start-fails NAME          ... and the service ends before it runs
#   stopped NAME CODE         NAME has stopped, its process is gone, and
#                             the manager recorded CODE as its own exit
#                             code (0: none)
#   debug CMDLINE             a debug run (-debug,...) in the background
#   pause | continue | stop NAME
#                             the request, to the service NAME or the debug
#                             run; the next step comes after its answer
#   put REL TEXT              REL appears at once, holding TEXT
#   wait REL [TEXT]           until REL exists (and holds exactly TEXT)
#   wait-line REL LINE        until REL has the line LINE
#   remove REL                REL and all below it go
#   absent GLOB               nothing of the product folder matches GLOB
#   fill REL N                files REL/1.txt to REL/N.txt, each holding its
#                             number
#   event TEXT                an event-log entry with TEXT has been written
#                             (Linux: a debug run's, with the journal off)
#   registered NAME START ACCOUNT
#                             NAME is registered with the service manager:
#                             START auto, manual or disabled, ACCOUNT
#                             LocalSystem or .\user, and TimerInterval 1000
#   unregistered NAME         nothing of NAME is left with the manager
#   secret TEXT               TEXT is in no file of the product folder nor
#                             of the service manager's registrations
#   viewer                    a trace viewer ("Ravelin ...") listens
#   viewer-has TEXT           until the viewer has printed a line with TEXT
set -euo pipefail
# The service runs no job file that others may write.
umask 022

platform=${1:?usage: run-scenarios.sh linux|windows BUILD_DIR [SCENARIO...]}
build=$(cd "${2:?BUILD_DIR missing}" && pwd)
shift 2
here=$(cd "$(dirname "$0")" && pwd)
[[ $# -gt 0 ]] || set -- "$here"/*.scn

work=$(mktemp -d "${TMPDIR:-/tmp}/qs-e2e.XXXXXX")
background=()
cleanup() {
  local pid
  for pid in "${background[@]}"; do { kill -9 "$pid" && wait "$pid"; } 2>/dev/null || true; done
  [[ -n ${KEEP_E2E:-} ]] || rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "e2e $platform $scenario: $*" >&2; exit 1; }

# Waits until `$1` (a command) succeeds, 120 s at most: under Wine on a
# busy machine the service copies a few thousand files in over a minute.
wait_until() {
  local end=$((SECONDS + 120))
  while ((SECONDS < end)); do eval "$1" && return 0; sleep 0.05; done
  return 1
}
# The program of the product folder, to its end or (launch) in the
# background as the service or a debug run, its standard error kept.
program() { (cd "$unix_product/bin" && timeout 60 "${exe[@]}" "$@"); }
launch() {
  (cd "$unix_product/bin" && exec "${exe[@]}" "$@" 2>>"$work/service.err") &
  service_pid=$!
  background+=("$service_pid")
}
# The background run ends, and well.
wait_ended() { wait "$service_pid" || fail "$1 ended with $?: $(cat "$work/service.err" 2>/dev/null)"; }

# --- Where the platforms differ ------------------------------------------
# Folders: the product folder, and how the service names it.
# Registration: systemd units in a folder of the run (Linux), Wine's service
# control manager (Windows).
# Start: the program without a command line, as the service manager starts
# it, or a debug run.
# Requests and their answers: signals, answered through the notification
# socket systemd would listen on (Linux); the service control manager
# through quillon-control.exe, or window messages sent to a debug run
# (Windows).
# The trace viewer (and its title): quillon-trace, quillon-trace.exe.
if [[ $platform == linux ]]; then
  units="$work/units"
  mkdir -p "$units"
  export QUILLONSRV_UNIT_DIR="$units" QUILLONSRV_TICK_MS=200 QUILLONSRV_NO_JOURNAL=1
  unset INVOCATION_ID
  root=$work product_root=$work sep=/ program_file=QuillonSrv exe=(./QuillonSrv)
  # What the service tells the manager, one message a line (perl is part of
  # every Debian system).
  notified() { grep -c -x -F -- "$1" "$work/notify.log" 2>/dev/null || true; }
  wait_notified() { wait_until "[[ \$(notified '$1') -gt $2 ]]" || fail "the service never said $1"; }
  start_service() {
    local sock="$work/notify.sock"
    rm -f "$sock" "$work/notify.log"
    perl -MIO::Socket::UNIX -e '$| = 1; my $s = IO::Socket::UNIX->new(Type => SOCK_DGRAM(),
      Local => $ARGV[0]) or die "notify socket: $!"; print "$m\n" while defined $s->recv($m, 4096)' \
      "$sock" >"$work/notify.log" &
    background+=("$!")
    wait_until "[[ -S '$sock' ]]" || fail "no notification socket"
    NOTIFY_SOCKET="$sock" launch "${@:2}"
    wait_notified "STATUS=Running" 0
  }
  start_debug() { start_service "" "$1"; }
  request() {
    if [[ $1 == stop ]]; then kill -TERM "$service_pid"; wait_ended "the service"; return; fi
    local status=Running signal=CONT before
    [[ $1 != pause ]] || status=Paused signal=TSTP
    before=$(notified "STATUS=$status")
    kill -$signal "$service_pid"
    wait_notified "STATUS=$status" "$before"
  }
  unit_of() { grep -l -x -F "Description=$1" "$units"/*.service 2>/dev/null | head -n 1; }
  # Started at boot (auto: the wants link), by hand (manual) or never
  # (disabled); under the manager's account (LocalSystem) or User=.
  registered() {
    local unit start=manual account=LocalSystem
    unit=$(unit_of "$1") && [[ -n $unit ]] || fail "no unit for $1"
    [[ ! -L $units/multi-user.target.wants/${unit##*/} ]] || start=auto
    ! grep -q '^RefuseManualStart=yes' "$unit" || start=disabled
    ! grep -q '^User=' "$unit" || account=".\\$(sed -n 's/^User=//p' "$unit")"
    [[ "$start $account" == "$2 $3" ]] || fail "${unit##*/} starts $start as $account, not $2 as $3"
    grep -q 'TIMERINTERVAL=1000' "$unit.d/settings.conf" || fail "no TimerInterval"
  }
  unregistered() { [[ -z $(unit_of "$1") ]] || fail "$1 is still registered"; }
  registrations_hold() { grep -r -q -F -- "$1" "$units"; }
  # With the journal off the entries go to standard error.
  event_text() { printf ': %s' "$1"; }
  viewer=("$build/quillon-trace" "Ravelin - e2e $$")
else
  source "$here/../../tools/scripts/wine-prefix.sh"
  : "${WINEPREFIX:?a booted Wine prefix is needed}"
  root="$WINEPREFIX/drive_c/e2e" product_root='C:\e2e' sep='\'
  program_file=QuillonSrv.exe exe=("$wine" QuillonSrv.exe)
  control() { "$wine" "$build/quillon-control.exe" "$@"; }
  start_service() { control start "$1" >/dev/null || fail "$1 did not start"; }
  start-fails() { ! control start "$1" >/dev/null 2>&1 || fail "$1 started"; }
  # Exit code 1066: ERROR_SERVICE_SPECIFIC_ERROR, the service's own code follows.
  stopped() {
    local got want="State=STOPPED ExitCode=$((${2:?} ? 1066 : 0)) ServiceExitCode=$2 "
    got=$(control query "$1" | tr -d '\r' | grep -e '^State=' -e 'ExitCode=' | tr '\n' ' ')
    [[ $got == "$want" ]] || fail "$1: $got"
    wait_until '! ps -eo args | grep -q -x -F -- "$product\\bin\\$program_file"' ||
      fail "a process of $1 is left"
  }
  # The event log is a stub under Wine; its debug channel shows the texts,
  # a debug run's on its standard error, a service's on the service
  # manager's, which the services inherit with its WINEDEBUG (boot_manager).
  event_text() { local s=${1//\\/\\\\} && printf 'L"%s"' "$s"; }
  boot_manager() {
    "$wineserver" -k 2>/dev/null || true
    "$wineserver" -w
    # Nothing of the server may hold the caller's output open.
    "$wineserver" -p >/dev/null 2>&1
    WINEDEBUG=-all,+eventlog "$wine" wineboot >/dev/null 2>>"$work/manager.err"
  }
  boot_manager
  start_debug() {
    WINEDEBUG=-all,+eventlog launch "$1"
    # Its display name: "Quillon Pro Service" and field 1 of the command
    # line. Titled at its connection: what is sent to it from then on is
    # handled after its start.
    IFS=, read -r _ debug_run _ <<<"$1"
    debug_run="Quillon Pro Service $debug_run"
    wait_until "control --window query '$debug_run' 2>/dev/null" || fail "no debug run"
  }
  request() {
    if [[ -n $debug_run ]]; then
      control --window "$1" "$debug_run" || fail "no debug run"
      [[ $1 != stop ]] || wait_ended "the debug run"
      return
    fi
    local answer
    answer=$(control "$1" "$2") || fail "$1 of $2 failed"
    # A request that waits for a work cycle reports progress meanwhile: the
    # checkpoint grows every second.
    if [[ $answer =~ after\ ([0-9]+)\ ms,\ checkpoint\ ([0-9]+) ]] &&
      ((BASH_REMATCH[1] > 2500 && BASH_REMATCH[2] < 2)); then
      fail "$1 of $2: $answer"
    fi
  }
  registered() {
    local want got
    want=$(printf '%s\n' "DisplayName=$1" \
      "StartType=$(case $2 in auto) echo 2 ;; manual) echo 3 ;; *) echo 4 ;; esac)" \
      "BinaryPath=\"$product\\bin\\QuillonSrv.exe\"" "Account=$3" \
      "EventMessageFile=$product\\bin\\QuillonSrv.exe" "TimerInterval=1000")
    got=$(control query "$1" | tr -d '\r' | grep -v -E '^(State|Interactive|\w*ExitCode)=') ||
      fail "$1 is not registered"
    [[ $got == "$want" ]] || fail "registration of $1:"$'\n'"$got"$'\n'"expected:"$'\n'"$want"
  }
  unregistered() {
    ! control query "$1" >/dev/null 2>&1 || fail "$1 is still registered"
    ! "$wine" reg query "HKLM\\System\\CurrentControlSet\\Services\\EventLog\\Application\\$1" \
      >/dev/null 2>&1 || fail "the event source $1 is left"
  }
  # The registry reaches its files when the server ends: end it (nothing
  # runs at this step), look, and start it again.
  registrations_hold() {
    boot_manager
    grep -l -F -- "$1" "$WINEPREFIX"/*.reg
  }
  viewer=("$wine" "$build/quillon-trace.exe" Ravelin)
fi

# --- The scenarios ---------------------------------------------------------
subst() {
  local s=${1//\{P\}/$product}
  printf '%s' "${s//\{\/\}/$sep}"
}

# Runs one step; its words are in "$@".
step() {
  local what=$1 args=() a i
  shift
  for a in "$@"; do args+=("$(subst "$a")"); done
  set -- "${args[@]}"
  local path="${unix_product:?}/${1:-}"
  case $what in
    run) program "$1" || true ;;
    start) start_service "$1" ;;
    debug) start_debug "$1" ;;
    pause | continue | stop) request "$what" "$1" ;;
    put) mkdir -p "$(dirname "$path")"
         printf '%s\r\n' "$2" >"$unix_product/../put.tmp"
         mv "$unix_product/../put.tmp" "$path" ;;
    wait) printf '%s\r\n' "${2-}" >"$work/want"
          wait_until "[[ -e '$path' ]] && { (($# < 2)) || cmp -s '$work/want' '$path'; }" ||
            fail "no $1 holding \"${2-}\"" ;;
    wait-line) wait_until "tr -d '\\r' <'$path' 2>/dev/null | grep -q -x -F -- '$2'" ||
                 fail "$1 has no line \"$2\"" ;;
    remove) rm -rf "$path" ;;
    absent) ! compgen -G "$path" >/dev/null || fail "$1 is there" ;;
    fill) mkdir -p "$path"
          for ((i = 1; i <= $2; ++i)); do printf '%s\r\n' "$i" >"$path/$i.txt"; done ;;
    event) cat "$work"/*.err | grep -q -F -- "$(event_text "$1")" || fail "no event-log entry \"$1\"" ;;
    registered | unregistered | stopped | start-fails) "$what" "$@" ;;
    secret) ! grep -r -l -F -- "$1" "$unix_product" || fail "\"$1\" in the product folder"
            ! registrations_hold "$1" || fail "\"$1\" in a registration" ;;
    viewer) "${viewer[@]}" >"$work/viewer.out" 2>"$work/viewer.err" &
            background+=("$!")
            wait_until "grep -q 'listening as' '$work/viewer.err'" || fail "no viewer" ;;
    viewer-has) wait_until "grep -q -F -- '$1' '$work/viewer.out'" || fail "the viewer never showed \"$1\"" ;;
    *) fail "unknown step $what" ;;
  esac
}

# Runs a scenario in order: a step as it comes, a block once its closing
# "." is read (its lines with CR LF, placeholders replaced). The scenario is
# read on its own descriptor, so steps keep standard input.
run_scenario() {
  local line kind="" target="" start=$SECONDS block="$work/block"
  scenario=$(basename "$1" .scn)
  unix_product="$root/$scenario/Quillon Pro" product="$product_root$sep$scenario${sep}Quillon Pro"
  debug_run=""
  rm -rf "${unix_product:?}" "$work/service.err"
  # Truncated, not removed: the service manager keeps writing to it.
  [[ ! -e $work/manager.err ]] || : >"$work/manager.err"
  mkdir -p "$unix_product"/{bin,jobs,logs,lang}
  cp "$build/$program_file" "$unix_product/bin/"
  while IFS= read -r line <&3 || [[ -n $line ]]; do
    if [[ -n $kind && $line != . ]]; then
      printf '%s\r\n' "$(subst "$line")" >>"$block"
    elif [[ $kind == file ]]; then
      install -D -m 644 "$block" "$unix_product/$target"
      kind=""
    elif [[ $kind == expect ]]; then
      cmp -s "$block" "$unix_product/$target" || {
        diff <(tr -d '\r' <"$block") <(tr -d '\r' <"$unix_product/$target" 2>&1) >&2 || true
        fail "$target differs (< expected, > found)"
      }
      kind=""
    else
      case $line in
        '' | '#'*) ;;
        file\ * | expect\ *) kind=${line%% *} target=${line#* } && : >"$block" ;;
        platforms\ *) [[ " ${line#* } " == *" $platform "* ]] ||
                        { echo "e2e $platform $scenario: not for $platform" && return; } ;;
        do\ *) eval "step ${line#do }" ;;
        *) fail "cannot read: $line" ;;
      esac
    fi
  done 3<"$1"
  [[ -z $kind ]] || fail "$target has no closing \".\""
  echo "e2e $platform $scenario: passed ($((SECONDS - start)) s)"
}

for f in "$@"; do run_scenario "$f"; done
