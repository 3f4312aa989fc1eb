#!/usr/bin/env bash
# Many readers at once under Wine: qd500.dll of the windows build, driven by
# qd500_wine_scale_bench with 1 and 8 readers, each on a qd500-sim --pty
# --baud 9600 of the Linux build mapped to COM31..COM38 of the build's
# prefix. Each simulator reads its control commands from a FIFO, which the
# Windows program writes to put the CPU card or the AT24C16 in the slot.
#   scripts/scale-wine.sh [CYCLES]      (3 cycles a reader by default)
set -euo pipefail
self=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
cd "$(dirname "$0")/.."
cycles=${1:-3}
readers=8

# Mapping COM ports restarts the prefix's wineserver, which would end any
# other Wine run of this tree: one at a time, under the lock they share.
mkdir -p build
if [ -z "${QD500_WINE_PORTS_LOCKED:-}" ]; then
  QD500_WINE_PORTS_LOCKED=1 exec flock -o build/wine-ports.lock bash "$self" "$@"
fi

# The windows build is 32-bit: say so plainly where it cannot run here.
bash scripts/wine32.sh require || exit 1

echo "== build: linux (qd500-sim), windows (qd500.dll, qd500_wine_scale_bench)"
cmake --preset linux >/dev/null
cmake --build --preset linux -j2 --target qd500-sim >/dev/null
cmake --preset windows >/dev/null
cmake --build --preset windows -j2 --target qd500_wine_scale_bench >/dev/null

sim=build/linux/tools/sim/qd500-sim
win=$(cd build/windows && pwd)
ports=tests/wine/wine-ports.sh
state=$win/scale-wine
rm -rf "$state"
mkdir -p "$state"
export WINEPREFIX="$win/wineprefix" WINEARCH=win32 WINEDEBUG=-all

sims=()
mapping=()
finish() {
  local pid
  for pid in "${sims[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${sims[@]}"; do wait "$pid" 2>/dev/null || true; done
  if [ ${#mapping[@]} -gt 0 ]; then "$ports" unmap "$win" "${mapping[@]%%=*}" || true; fi
  wineserver -k >/dev/null 2>&1 || true
}
trap finish EXIT
trap 'exit 130' INT TERM

# Every reader's wait: its device status, answered 2 s late.
echo '{"faults": [{"kind": "delay", "command": "47", "delay_ms": 2000}]}' >"$state/wait.json"
com=() controls=()
for i in $(seq 1 "$readers"); do
  fifo=$state/sim$i.in
  mkfifo "$fifo"
  # Held open for writing here, so the simulator never reads an end of file.
  exec {hold}<>"$fifo"
  "$sim" --pty --baud 9600 --scenario "$state/wait.json" <"$fifo" >"$state/sim$i.out" 2>"$state/sim$i.err" &
  sims+=($!)
  until [ -s "$state/sim$i.out" ]; do
    kill -0 "${sims[-1]}" 2>/dev/null || { echo "simulator $i did not start: $(cat "$state/sim$i.err")" >&2; exit 1; }
    sleep 0.05
  done
  mapping+=("COM$((30 + i))=$(head -1 "$state/sim$i.out")")
  com+=("COM$((30 + i))")
  controls+=("Z:$fifo")
done
"$ports" map "$win" "${mapping[@]}"
echo "${mapping[*]}"

# The prefix's wineserver (its working directory is the prefix's server
# directory), for its CPU while the readers wait.
server_dir=$(printf 'server-%x-%x' $(stat -c '%d %i' "$WINEPREFIX"))
server_stat=()
for pid in $(pgrep -x 'wineserver(32|64)?' || true); do
  [[ "$(readlink "/proc/$pid/cwd" 2>/dev/null)" == */"$server_dir" ]] && server_stat=(--server-stat "Z:/proc/$pid/schedstat")
done

list() { local IFS=,; echo "$*"; }
echo "== Wine: 1 and $readers readers, $cycles cycles each"
"$win/wine-run.sh" "$win/tests/wine/qd500_wine_scale_bench.exe" --readers "1,$readers" --cycles "$cycles" \
  --ports "$(list "${com[@]}")" --controls "$(list "${controls[@]}")" "${server_stat[@]}"
