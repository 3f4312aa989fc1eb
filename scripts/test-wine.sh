#!/usr/bin/env bash
# Cross-builds the Windows DLLs and their tests, then runs them under Wine
# (ctest label "wine"). The Linux simulator is used for COM6 when it is built.
#   scripts/test-wine.sh [windows|windows64]    (the preset; windows: 32-bit)
set -euo pipefail
self=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
cd "$(dirname "$0")/.."

# Mapping COM ports restarts the prefix's wineserver, which would end a Wine
# run of this tree beside it (scripts/test-wine.sh, scripts/bench-wine.sh):
# one at a time.
mkdir -p build
if [ -z "${QD500_WINE_PORTS_LOCKED:-}" ]; then
  QD500_WINE_PORTS_LOCKED=1 exec flock -o build/wine-ports.lock bash "$self" "$@"
fi
preset=${1:-windows}
echo "== $preset: cross build, tests under Wine"
# A 32-bit build on a machine that cannot run 32-bit programs is still
# built; only its export tables are checked (objdump, no Wine).
runs=ON
if [ "$preset" = windows ]; then
  answer=$(bash scripts/wine32.sh check) || exit 1
  [ "$answer" = yes ] || runs=OFF
fi
cmake --preset "$preset" -DQD500_WINE_RUNS=$runs >/dev/null
cmake --build --preset "$preset" -j2
dir=build/$preset
if [ "$runs" = OFF ]; then
  ctest --test-dir "$dir" -L wine --output-on-failure
  echo "== $preset: the 32-bit Windows tests under Wine were skipped: this machine cannot run 32-bit programs (${answer#no: })"
  exit 0
fi

# Mapping the COM ports restarts the prefix's wineserver, which would end any
# test program running beside it: bring them up first, alone, and take them
# down after every test has run.
ctest --test-dir "$dir" -R '^wine\.ports\.up$' --output-on-failure
# A Wine program has been seen, once in thousands of runs, to end with a
# failure status after printing that all its tests passed; a test counts as
# failed when it fails twice in a row. Every failure status, retried or not,
# is listed after the run (wine-run.sh records them).
rm -f "$dir/wine-run-failures.log"
status=0
ctest --test-dir "$dir" -L wine -E '^wine\.ports\.(up|down)$' -FS wine_ports -FC wine_ports -j2 \
  --repeat until-pass:2 --output-on-failure --timeout 300 || status=$?
ctest --test-dir "$dir" -R '^wine\.ports\.down$' --output-on-failure >/dev/null || true
if [ -s "$dir/wine-run-failures.log" ]; then
  echo "== Wine programs that ended with a failure status (each test ran again once):"
  cat "$dir/wine-run-failures.log"
fi
exit "$status"
