#!/usr/bin/env bash
# The simulator scripted from a shell: started with --link, driven with
# qd500-sim ctl through that link (a card in by the name people use, then
# out), and a clear failure where nothing listens.
#   tests/sim/ctl-test.sh QD500_SIM
set -uo pipefail
sim=$1
work=$(mktemp -d)
"$sim" --pty --link "$work/reader" </dev/null >"$work/out" 2>&1 &
pid=$!
trap 'kill $pid 2>/dev/null; wait $pid 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 100); do [ -S "$work/reader.control" ] && break; sleep 0.05; done
failed=0
check() { [[ "$2" == *"$3"* ]] || { echo "FAIL: $1: expected '$3' in: $2"; failed=1; }; }
check "insert" "$("$sim" ctl "$work/reader" insert sle4442 2>&1; echo "exit $?")" "exit 0"
check "inserted" "$("$sim" ctl "$work/reader" dump)" "card S4442"
check "remove" "$("$sim" ctl "$work/reader.control" remove 2>&1; echo "exit $?")" "exit 0"
check "removed" "$("$sim" ctl "$work/reader" dump)" "card none"
check "refused" "$("$sim" ctl "$work/reader" insert NOPE 2>&1; echo "exit $?")" 'unknown card type "NOPE"'
check "nobody" "$("$sim" ctl "$work/none" remove 2>&1; echo "exit $?")" "no simulator listens on $work/none.control"
[ "$failed" = 0 ] && echo "ctl: a card in and out through the link"
exit "$failed"
