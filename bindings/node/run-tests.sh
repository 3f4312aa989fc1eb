#!/bin/sh
# Builds the Node package's dependencies and runs its tests against a build
# tree: run-tests.sh BUILD_DIR (its libqd500.so.0 and tools/sim/qd500-sim).
set -eu
if [ $# -ne 1 ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
for needed in "$build/libqd500.so.0" "$build/tools/sim/qd500-sim"; do
    if [ ! -e "$needed" ]; then
        echo "$0: $needed is missing: build the library and the simulator first" >&2
        exit 2
    fi
done
cd "$here"
# The lockfile's packages, as they are pinned there.
npm ci --no-audit --no-fund --loglevel=error
export QD500_LIBRARY="$build/libqd500.so.0"
export QD500_SIM="$build/tools/sim/qd500-sim"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
node --test test/ >"$log" 2>&1 || status=$?
cat "$log"
pass=$(sed -n 's/^[^a-z]*pass \([0-9]*\)$/\1/p' "$log" | tail -1)
fail=$(sed -n 's/^[^a-z]*fail \([0-9]*\)$/\1/p' "$log" | tail -1)
echo "node: ${pass:-0} passed, ${fail:-?} failed"
exit "$status"
