#!/usr/bin/env bash
# Can this machine run 32-bit Windows programs under Wine? Some kernels
# refuse every 32-bit program ("Exec format error") though wine32 installs,
# so the answer comes from running the 32-bit Wine loader, never from the
# kernel's configuration.
#   scripts/wine32.sh check     prints "yes", or "no: REASON"; exit 0
#   scripts/wine32.sh require   exit 0 where 32-bit Wine runs; else the
#                               reason on stderr and exit 1
# QD500_WINE32=auto|yes|no (auto by default) forces an answer: "no" skips
# the 32-bit runs; "yes" on a machine that cannot run them fails (exit 1)
# with the reason. QD500_WINE32_PROBE names another program to run in
# place of the loader (the tests give it one the kernel refuses).
set -uo pipefail
mode=${1:-check}
case "$mode" in
  check | require) ;;
  *) echo "usage: wine32.sh check|require" >&2; exit 2 ;;
esac

# The reason 32-bit Wine cannot run here, or nothing when it can.
probe() {
  local loader=${QD500_WINE32_PROBE:-/usr/lib/wine/wine} out
  if [ ! -e "$loader" ]; then
    echo "the 32-bit Wine loader $loader is not installed"
    return
  fi
  if ! out=$("$loader" --version 2>&1 </dev/null); then
    # The shell's own words ("...: cannot execute binary file: Exec format
    # error") without its "wine32.sh: line N:" in front.
    out=$(printf '%s' "$out" | tail -1 | sed 's/^.*: line [0-9]*: //')
    echo "running the 32-bit Wine loader $loader failed: ${out:-no output}"
  fi
}

want=${QD500_WINE32:-auto}
case "$want" in
  no)
    reason="QD500_WINE32=no"
    ;;
  auto | yes)
    reason=$(probe)
    ;;
  *)
    echo "wine32.sh: QD500_WINE32 is '$want'; it takes auto, yes or no" >&2
    exit 2
    ;;
esac

if [ -z "$reason" ]; then
  echo yes
  exit 0
fi
if [ "$want" = yes ] || [ "$mode" = require ]; then
  echo "this machine cannot run 32-bit Windows programs: $reason" >&2
  [ "$want" = yes ] && echo "(QD500_WINE32=yes asked for the 32-bit Windows tests)" >&2
  exit 1
fi
echo "no: $reason"
