#!/usr/bin/env bash
# Round trips of every command family at 9600 baud, on Linux and under Wine,
# beside the line time of the bytes they exchange both ways (the simulator
# paces both directions); and the CPU a call uses while it waits 2 s for a
# reader that never answers.
#   scripts/bench-wine.sh [RUNS]      (15 runs a family by default)
#
# Linux: tests/bench/qd500_roundtrip_bench with its in-process simulators.
# Wine: the DLL of the windows build, driven by qd500_wine_roundtrip_bench,
# against three qd500-sim --pty --baud 9600 (CPU card, SLE4428, AT24C16) and
# a pseudo-terminal nobody answers, mapped to COM21..COM24 of the build's
# prefix. The bytes a family exchanges are the same on both (same library
# code, same simulator): they come from the Linux run's own count.
set -euo pipefail
self=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
cd "$(dirname "$0")/.."
runs=${1:-15}

# Mapping COM ports restarts the prefix's wineserver, which would end a Wine
# run of this tree beside it (scripts/test-wine.sh, scripts/bench-wine.sh):
# one at a time.
mkdir -p build
if [ -z "${QD500_WINE_PORTS_LOCKED:-}" ]; then
  QD500_WINE_PORTS_LOCKED=1 exec flock -o build/wine-ports.lock bash "$self" "$@"
fi

# The windows build is 32-bit: say so plainly where it cannot run here.
bash scripts/wine32.sh require || exit 1

echo "== build: linux (qd500-sim, qd500_roundtrip_bench), windows (qd500dll.dll, qd500_wine_roundtrip_bench)"
cmake --preset linux >/dev/null
cmake --build --preset linux -j2 --target qd500-sim qd500_roundtrip_bench >/dev/null
cmake --preset windows >/dev/null
cmake --build --preset windows -j2 --target qd500_wine_roundtrip_bench >/dev/null

linux=build/linux
win=$(cd build/windows && pwd)
sim=$linux/tools/sim/qd500-sim
ports=tests/wine/wine-ports.sh
state=$win/bench-wine
rm -rf "$state"
mkdir -p "$state"
export WINEPREFIX="$win/wineprefix" WINEARCH=win32 WINEDEBUG=-all

pids=()
mapped=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  if [ ${#mapped[@]} -gt 0 ]; then
    "$ports" unmap "$win" "${mapped[@]}" || true
  fi
  wineserver -k >/dev/null 2>&1 || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Starts a peer in the background; its first stdout line is its slave path,
# left in $peer (not a command substitution: the pid must reach our list).
start_peer() {  # name, command...
  local name=$1
  shift
  "$@" </dev/null >"$state/$name.out" 2>"$state/$name.err" &
  pids+=($!)
  for _ in $(seq 100); do
    [ -s "$state/$name.out" ] && break
    sleep 0.05
  done
  peer=$(head -1 "$state/$name.out")
  [ -n "$peer" ] || { echo "$name did not start: $(cat "$state/$name.err")" >&2; exit 1; }
}

echo '{"card": {"type": "S4428"}}' >"$state/s4428.json"
echo '{"card": {"type": "AT24C16"}}' >"$state/at24c16.json"
start_peer cpu "$sim" --pty --baud 9600 --log "$state/cpu.log"
cpu_pty=$peer
start_peer sle "$sim" --pty --baud 9600 --scenario "$state/s4428.json" --log "$state/sle.log"
sle_pty=$peer
start_peer at24 "$sim" --pty --baud 9600 --scenario "$state/at24c16.json" --log "$state/at24.log"
at24_pty=$peer
# Nobody behind this one: the master stays open, nothing reads or answers.
start_peer silent python3 -c '
import os, signal
master, slave = os.openpty()
print(os.ttyname(slave), flush=True)
os.close(slave)
while True:
    signal.pause()
'
silent_pty=$peer

mapped=(COM21 COM22 COM23 COM24)
"$ports" map "$win" COM21="$cpu_pty" COM22="$sle_pty" COM23="$at24_pty" COM24="$silent_pty"
echo "COM21 -> $cpu_pty (CPU), COM22 -> $sle_pty (S4428), COM23 -> $at24_pty (AT24C16), COM24 -> $silent_pty (silent)"

# The prefix's wineserver (its working directory is the server directory of
# the prefix), for its CPU time over the wait.
server_dir=$(printf 'server-%x-%x' $(stat -c '%d %i' "$WINEPREFIX"))
server_stat=()
for pid in $(pgrep -x 'wineserver(32|64)?' || true); do
  case "$(readlink "/proc/$pid/cwd" 2>/dev/null)" in
    */"$server_dir") server_stat=(--server-stat "Z:/proc/$pid/schedstat") ;;
  esac
done

echo "== Linux: $runs runs a family"
"$linux/tests/bench/qd500_roundtrip_bench" "$runs" --lines >"$state/linux.txt"
echo "== Wine: $runs runs a family"
"$win/wine-run.sh" "$win/tests/wine/qd500_wine_roundtrip_bench.exe" --runs "$runs" \
  --cpu 21 --sle 22 --at24 23 --silent 24 "${server_stat[@]}" >"$state/wine.txt"

# family lines: "family KEY runs=N median_ms=X [bytes=B]"; the bytes of
# every family from the Linux run.
table() {  # title, results file
  echo
  echo "$1"
  awk -v baud=9600 -v goal=1.03 '
    function field(name,   i) { for (i = 2; i <= NF; ++i) if (index($i, name "=") == 1) return substr($i, length(name) + 2); return "" }
    $1 == "family" && $3 !~ /^runs=/ { next }  # the Linux run'"'"'s own table
    FNR == NR { if ($1 == "family") bytes[$2] = field("bytes"); next }
    $1 == "family" {
      if (!printed++) printf "%-16s %5s %9s %6s %8s %6s\n", "family", "runs", "median ms", "bytes", "line ms", "ratio"
      if (!($2 in bytes)) { printf "%-16s no byte count from the Linux run\n", $2; missed++; next }
      median = field("median_ms"); line = bytes[$2] * 10000 / baud
      printf "%-16s %5s %9.1f %6d %8.1f %6.2f\n", $2, field("runs"), median, bytes[$2], line, median / line
      if (median / line > worst) worst = median / line
      if (median / line > goal) missed++
    }
    $1 == "wait" {
      wall = field("wall_ms"); cpu = field("thread_cpu_ms")
      printf "waiting 2 s for a silent reader: result %s after %s ms; calling thread CPU %s ms (%.3f%% of a core)", field("result"), wall, cpu, 100 * cpu / wall
      if (100 * cpu / wall >= 1) missed++
      if (field("process_cpu_ms") != "") printf "; process %s ms", field("process_cpu_ms")
      if (field("server_cpu_ms") != "") printf "; wineserver %s ms (%.3f%%)", field("server_cpu_ms"), 100 * field("server_cpu_ms") / wall
      printf "\n"
    }
    $1 == "idle" {
      wall = field("wall_ms")
      if (field("server_cpu_ms") != "") printf "over a plain Sleep of %s ms instead: wineserver %s ms (%.3f%%)\n", wall, field("server_cpu_ms"), 100 * field("server_cpu_ms") / wall
    }
    END { printf "worst ratio to the line time %.2f: %s\n", worst, missed ? "goal of " goal " missed" : "within " goal }
  ' "$state/linux.txt" "$2"
}
table "Linux (in-process simulators, 9600 baud)" "$state/linux.txt"
table "Wine (qd500dll.dll on COM21..COM24, qd500-sim --baud 9600)" "$state/wine.txt"
echo
echo "(bytes: both ways; line time: all of them one after the other, 10 bits a byte)"
