#!/usr/bin/env bash
# The driver in a private pcscd with eight simulated readers at 9600 baud:
# runs the suite of test_pcsc.py with Debian's pytest and pyscard; with
# --measure, then prints the round-trip and insertion figures. Everything it
# started is stopped by process id when it ends, whatever the outcome.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
measure=0
[ "${1:-}" = --measure ] && measure=1

dir=$(mktemp -d "${TMPDIR:-/tmp}/qd500-pcsc.XXXXXX")
status=0
finish() {
  bash "$here/pcsc-env.sh" down "$dir" || true
  if [ "$status" -ne 0 ]; then
    echo "== pcscd's last lines" >&2
    tail -30 "$dir/pcscd.log" >&2 || true
  fi
  rm -rf "$dir"
}
trap finish EXIT
trap 'exit 130' INT TERM

s=$here/scenarios
# Reader 8 connects to a vpcd card listening here (vicc -R, where it runs).
vicc_port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
env=$(bash "$here/pcsc-env.sh" up "$dir" --baud 9600 \
  "$s/cpu-swipe.json" "$s/s4442.json" "$s/at24c16.json" default "$s/hangup.json" "$s/iso-t1.json" \
  vpcd "vpcd-connect=127.0.0.1:$vicc_port") || { status=1; exit 1; }
eval "$env"
export QD500_PCSC_DIR=$dir PYTHONDONTWRITEBYTECODE=1

/usr/bin/python3 -m pytest -q -p no:cacheprovider "$here/test_pcsc.py" || status=$?
# 5: no test was collected, which is a failure too.
[ "$status" -eq 0 ] || { echo "pcsc suite failed (pytest status $status)" >&2; exit 1; }
if [ "$measure" -eq 1 ]; then
  /usr/bin/python3 "$here/measure.py" || { status=$?; exit "$status"; }
fi
