#!/usr/bin/env bash
# A private pcscd with readers of this driver, each a qd500-sim on a pty.
#
#   pcsc-env.sh up DIR [--baud N] SCENARIO...   # one reader per scenario (a JSON file, "default", or
#                                               # "vpcd": an empty slot for a vpcd card, its address
#                                               # the line "vpcd listen HOST:PORT" in sim<i>.out;
#                                               # "vpcd-connect=HOST:PORT": one for a card listening there)
#   pcsc-env.sh down DIR                        # stops what up started, by process id
#
# up prints the environment for clients (eval it):
#   PCSCLITE_CSOCK_NAME  the private daemon's socket (pcsc_scan, pyscard, opensc-tool, scriptor honour it)
#   QD500_PCSC_READERS   the number of readers
#   QD500_PCSC_READER_<i> reader i's name as pcscd serves it ("qd500 sim 1 02 00")
# (the names also go to stderr). QD500_PCSCD_DEBUG=1 runs pcscd with -d.
# and leaves in DIR, for reader i (1, 2, ...): sim<i>.sock (the simulator's control socket: insert TYPE,
# remove, swipe T2 T3, dump), tty<i> (the link to its current pty), sim<i>.log (its frames), and
# pcscd.log. The readers are named "qd500 sim <i>". pcscd runs in a mount namespace of its own
# (it always serves /run/pcscd/pcscd.comm), so it runs beside a system pcscd.
# QD500_BUILD names the build directory (default: build/linux under the tree).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${QD500_BUILD:-$here/../../build/linux}
sim=$build/tools/sim/qd500-sim
driver=$build/ifd/libqd500-ifd.so

die() { echo "pcsc-env: $*" >&2; exit 1; }

# Waits up to $2 tenths of a second for the command $1 to succeed.
wait_for() {
  local i
  for ((i = 0; i < $2; i++)); do
    eval "$1" && return 0
    sleep 0.1
  done
  return 1
}

# pid signal: the signal, then SIGKILL after 5 s.
stop_pid() {
  local pid=$1 i
  kill -0 "$pid" 2>/dev/null || return 0
  kill -"$2" "$pid" 2>/dev/null || true
  for ((i = 0; i < 50; i++)); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
}

down() {
  local dir=$1 f
  # SIGINT makes pcscd close its channels; SIGTERM would not.
  [ -f "$dir/pcscd.pid" ] && stop_pid "$(cat "$dir/pcscd.pid")" INT
  for f in "$dir"/sim*.pid; do
    [ -f "$f" ] && stop_pid "$(cat "$f")" TERM
  done
  rm -f "$dir"/*.pid
}

up() {
  local dir=$1 baud=()
  shift
  if [ "${1:-}" = --baud ]; then baud=(--baud "$2"); shift 2; fi
  [ $# -gt 0 ] || die "up DIR [--baud N] SCENARIO..."
  [ -x "$sim" ] && [ -f "$driver" ] || die "build first: no $sim or $driver"
  command -v pcscd >/dev/null || die "pcscd is not installed (scripts/install-deps.sh)"
  mkdir -p "$dir/conf" "$dir/run/pcscd"
  dir=$(cd "$dir" && pwd)
  rm -f "$dir/conf/"* "$dir"/sim*.sock
  local i=0 scenario
  for scenario in "$@"; do
    i=$((i + 1))
    local args=(--pty --control "$dir/sim$i.sock" --link "$dir/tty$i" --log "$dir/sim$i.log" "${baud[@]}")
    case "$scenario" in
      default) ;;
      vpcd) args+=(--vpcd-listen 127.0.0.1:0) ;;
      vpcd-connect=*) args+=(--vpcd-connect "${scenario#vpcd-connect=}") ;;
      *) args+=(--scenario "$scenario") ;;
    esac
    "$sim" "${args[@]}" >"$dir/sim$i.out" 2>&1 </dev/null &
    echo $! >"$dir/sim$i.pid"
    # pcscd exits at once when a DEVICENAME path does not exist yet.
    wait_for "[ -e '$dir/tty$i' ] && [ -S '$dir/sim$i.sock' ]" 50 ||
      die "simulator $i did not start: $(cat "$dir/sim$i.out")"
    cat >"$dir/conf/qd500-$i" <<CONF
FRIENDLYNAME "qd500 sim $i"
DEVICENAME   $dir/tty$i
LIBPATH      $driver
CONF
  done
  local unshare=(unshare -m --propagation private)
  [ "$(id -u)" -eq 0 ] || unshare=(unshare -Urm --propagation private)
  # pcscd's debug log (thousands of lines a minute) only when asked.
  local debug=""
  [ "${QD500_PCSCD_DEBUG:-0}" = 1 ] && debug="-d"
  "${unshare[@]}" sh -c "mount --bind '$dir/run' /run && exec pcscd -f $debug -c '$dir/conf'" \
    >"$dir/pcscd.log" 2>&1 </dev/null &
  echo $! >"$dir/pcscd.pid"
  export PCSCLITE_CSOCK_NAME=$dir/run/pcscd/pcscd.comm
  # The channels open before the socket exists, and a reader whose channel
  # failed is silently absent: poll until every reader is listed.
  if ! wait_for "[ \"\$(pcsc_scan -r 2>/dev/null | grep -c 'qd500 sim')\" -ge $i ]" 100; then
    tail -20 "$dir/pcscd.log" >&2
    die "pcscd did not list $i readers"
  fi
  echo "export PCSCLITE_CSOCK_NAME=$PCSCLITE_CSOCK_NAME"
  echo "export QD500_PCSC_READERS=$i"
  # pcscd adds its own index to each name ("qd500 sim 1 02 00"), in the
  # order it loaded them: the names as it serves them, for -r and the like.
  local n name
  for n in $(seq "$i"); do
    name=$(pcsc_scan -r 2>/dev/null | sed -n "s/^[0-9]*: \(qd500 sim $n [0-9][0-9] [0-9][0-9]\)\$/\1/p" | head -1)
    echo "export QD500_PCSC_READER_$n='$name'"
    echo "# reader $n: $name" >&2
  done
}

case "${1:-}" in
  up) shift; up "$@" ;;
  down) shift; down "$@" ;;
  *) die "usage: pcsc-env.sh up DIR [--baud N] SCENARIO... | down DIR" ;;
esac
