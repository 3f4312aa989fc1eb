#!/usr/bin/env bash
# Maps COM ports of the build's Wine prefix to pseudo-terminals and serves them.
#   wine-ports.sh up BUILD_DIR     start the peers, map them, restart wineserver
#   wine-ports.sh down BUILD_DIR   stop what "up" started
#   wine-ports.sh map BUILD_DIR COMn=PATH...   map ports to devices someone
#                                  else serves, restart wineserver
#   wine-ports.sh unmap BUILD_DIR COMn...      remove those mappings
# COM5 is the line peer of tests/wine (echo and canned reader answers);
# COM6 is qd500-sim when a Linux build of it is found (QD500_SIM names it).
set -euo pipefail
action=$1
build=$(cd "$2" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
run="$build/wine-run.sh"
state="$build/wine-ports"
# The prefix's own wine-run.sh knows its architecture and loader.
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all

stop_pid() {
  local file=$1
  [ -f "$file" ] || return 0
  local pid
  pid=$(cat "$file")
  rm -f "$file"
  kill "$pid" 2>/dev/null || true
}

# Wine starts its services from the first program of a session; they must not
# inherit our output, or whoever reads it (ctest) waits for them to end.
quiet() { "$@" </dev/null >/dev/null 2>&1; }

map_port() {  # COM name, device path
  quiet "$run" reg add 'HKLM\Software\Wine\Ports' /v "$1" /d "$2" /f
}

start_peer() {  # pid file, output file, command...
  local pidfile=$1 out=$2
  shift 2
  # The peer's own redirection empties the file only once it runs: remove the
  # last run's line first, or it may be taken for this peer's.
  rm -f "$out" "$out.err"
  "$@" </dev/null >"$out" 2>"$out.err" &
  echo $! >"$pidfile"
  for _ in $(seq 100); do
    [ -s "$out" ] && break
    sleep 0.05
  done
  head -1 "$out"
}

unmap_port() {  # COM name
  quiet "$run" reg delete 'HKLM\Software\Wine\Ports' /v "$1" /f || true
}

# The port mapping is read when the Wine session starts.
restart_server() {
  quiet wineserver -k || true
  quiet wineserver -w || true
  # One server (and one set of services) for the whole run: every program
  # starts faster, and none of them starts the services.
  quiet wineserver -p
  quiet "$run" cmd /c exit 0
}

# Wine makes dosdevices/comN from the mapping when its session starts: check
# that every mapped port leads to its device, and map once more when one does
# not (a registry write that never reached the disk).
check_links() {  # COMn=PATH...
  local pair name
  for pair in "$@"; do
    name=${pair%%=*}
    [ "$(readlink "$WINEPREFIX/dosdevices/${name,,}" || true)" = "${pair#*=}" ] || return 1
  done
}

map_and_restart() {  # COMn=PATH...
  local pair try
  for try in 1 2; do
    for pair in "$@"; do
      map_port "${pair%%=*}" "${pair#*=}"
    done
    restart_server
    check_links "$@" && return 0
    echo "wine-ports.sh: the mapping $* did not take effect (try $try)" >&2
  done
  return 1
}

case "$action" in
  up)
    mkdir -p "$state"
    stop_pid "$state/peer.pid"
    stop_pid "$state/sim.pid"
    quiet "$run" --boot
    peer=$(start_peer "$state/peer.pid" "$state/peer.out" python3 "$here/line_peer.py")
    [ -n "$peer" ] || { echo "line peer did not start" >&2; exit 1; }
    ports=("COM5=$peer")
    sim=${QD500_SIM:-}
    if [ -z "$sim" ]; then
      for candidate in "$build/../linux/tools/sim/qd500-sim" "$here/../../build/linux/tools/sim/qd500-sim"; do
        [ -x "$candidate" ] && { sim=$candidate; break; }
      done
    fi
    if [ -n "$sim" ] && [ -x "$sim" ]; then
      # Also on a TCP port, for the network line's test (QD500_WINE_SIM_LISTEN).
      pty=$(start_peer "$state/sim.pid" "$state/sim.out" "$sim" --pty --listen "127.0.0.1:${QD500_WINE_SIM_LISTEN_PORT:-27346}")
      [ -n "$pty" ] && ports+=("COM6=$pty")
    else
      unmap_port COM6
    fi
    map_and_restart "${ports[@]}"
    echo "COM5 -> $peer${pty:+, COM6 -> $pty}"
    ;;
  down)
    stop_pid "$state/peer.pid"
    stop_pid "$state/sim.pid"
    quiet wineserver -k || true
    ;;
  map)
    shift 2
    quiet "$run" --boot
    map_and_restart "$@"
    ;;
  unmap)
    shift 2
    for port in "$@"; do
      unmap_port "$port"
    done
    quiet wineserver -k || true
    ;;
  *)
    echo "usage: $0 up|down BUILD_DIR | map BUILD_DIR COMn=PATH... | unmap BUILD_DIR COMn..." >&2
    exit 2
    ;;
esac
