#!/usr/bin/env bash
# Many readers and long runs, by hand (CI runs the smallest case and a
# one-minute soak through ctest):
#   scripts/scale.sh [--cycles N] [--soak-minutes N] [--no-wine]
# 1. qd500_scale_bench of the release build: 1, 4, 16 and 32 readers, each
#    on its own simulator at 9600 baud (3 cycles a reader by default);
# 2. scripts/scale-wine.sh: 1 and 8 readers through qd500.dll under Wine;
# 3. qd500_soak of the release build: 8 readers against simulators that
#    inject every fault, 30 minutes by default.
set -euo pipefail
cd "$(dirname "$0")/.."
cycles=3
minutes=30
wine=1
while [ $# -gt 0 ]; do
  case "$1" in
    --cycles) cycles=$2; shift 2 ;;
    --soak-minutes) minutes=$2; shift 2 ;;
    --no-wine) wine=0; shift ;;
    *) echo "usage: $0 [--cycles N] [--soak-minutes N] [--no-wine]" >&2; exit 2 ;;
  esac
done

if [ "$wine" = 1 ] && ! bash scripts/wine32.sh require; then
  echo "scale.sh: its Wine step runs the 32-bit DLL; --no-wine leaves it out" >&2
  exit 1
fi

echo "== build: release (qd500_scale_bench, qd500_soak, qd500-sim)"
cmake --preset release >/dev/null
cmake --build --preset release -j2 --target qd500_scale_bench qd500_soak qd500-sim >/dev/null
bin=build/release

echo "== Linux: 1, 4, 16 and 32 readers, $cycles cycles each"
"$bin/tests/bench/qd500_scale_bench" --readers 1,4,16,32 --cycles "$cycles"
if [ "$wine" = 1 ]; then
  bash scripts/scale-wine.sh "$cycles"
fi
echo "== soak: 8 readers, every fault, $minutes minutes"
"$bin/tests/soak/qd500_soak" --sim "$bin/tools/sim/qd500-sim" --minutes "$minutes"
