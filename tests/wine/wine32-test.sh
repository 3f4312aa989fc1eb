#!/usr/bin/env bash
# Both answers of scripts/wine32.sh on this machine, whatever its kernel
# allows: a probe the kernel refuses (an ELF for another processor) stands
# for a machine without 32-bit programs.
#   tests/wine/wine32-test.sh            the answers and the scripts' refusals
#   tests/wine/wine32-test.sh --build    also the 32-bit phase of
#                                        scripts/test-wine.sh on that answer
set -uo pipefail
cd "$(dirname "$0")/../.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

# An i386-sized ELF header for ARM (e_machine 40): execve answers ENOEXEC.
refused=$work/arm-loader
{ printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x28\x00\x01\x00\x00\x00'
  head -c 52 /dev/zero; } >"$refused"
chmod +x "$refused"

expect() {  # name, expected exit, expected text, command...
  local name=$1 code=$2 text=$3 out status
  shift 3
  out=$("$@" 2>&1)
  status=$?
  [ "$status" = "$code" ] || fail "$name: exit $status, expected $code: $out"
  [[ "$out" == *"$text"* ]] || fail "$name: expected '$text' in: $out"
}

p=QD500_WINE32_PROBE=$refused
expect "auto, refused" 0 "no: running the 32-bit Wine loader $refused failed: " \
  env $p QD500_WINE32=auto bash scripts/wine32.sh check
expect "auto, refused, reason" 0 "Exec format error" env $p bash scripts/wine32.sh check
expect "yes, refused" 1 "this machine cannot run 32-bit Windows programs: running the 32-bit Wine loader" \
  env $p QD500_WINE32=yes bash scripts/wine32.sh check
expect "no" 0 "no: QD500_WINE32=no" env QD500_WINE32=no bash scripts/wine32.sh check
expect "missing loader" 0 "no: the 32-bit Wine loader $work/none is not installed" \
  env QD500_WINE32_PROBE="$work/none" bash scripts/wine32.sh check
expect "bad value" 2 "it takes auto, yes or no" env QD500_WINE32=maybe bash scripts/wine32.sh check
expect "auto, runs" 0 "yes" env QD500_WINE32_PROBE=/bin/true bash scripts/wine32.sh check
# Asked for a 32-bit run that cannot be given: the reason, before any build.
expect "bench, refused" 1 "this machine cannot run 32-bit Windows programs" \
  env $p bash scripts/bench-wine.sh 1
expect "scale, refused" 1 "--no-wine leaves it out" env $p bash scripts/scale.sh
expect "test-wine yes, refused" 1 "QD500_WINE32=yes asked for the 32-bit Windows tests" \
  env $p QD500_WINE32=yes bash scripts/test-wine.sh windows

# The automatic branch end to end: cross-built, export tables read, no test
# that starts Wine (no discovery error), one line saying why, success.
if [ "${1:-}" = --build ]; then
  out=$(env $p bash scripts/test-wine.sh windows 2>&1)
  status=$?
  echo "$out" | grep -E '^(== |[0-9]+% tests|.*Test +#)'
  [ "$status" = 0 ] || fail "32-bit phase without 32-bit programs: exit $status"
  [[ "$out" == *"100% tests passed, 0 tests failed out of 2"* ]] || fail "not exactly the two export tests passed"
  [[ "$out" == *"wine.exports"*"wine.api_exports"* ]] || fail "the export tests did not run"
  [[ "$out" == *"32-bit Windows tests under Wine were skipped: this machine cannot run 32-bit programs (running the 32-bit Wine loader"* ]] ||
    fail "no line saying why the 32-bit tests were skipped"
  [[ "$out" != *"Error running test executable"* ]] || fail "a Wine test's discovery ran"
fi

if [ "$failed" = 0 ]; then
  echo "wine32: both answers checked"
fi
exit "$failed"
