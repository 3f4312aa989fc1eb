#!/usr/bin/env bash
# The Windows archive as an integrator gets it: cpack -G ZIP from this build,
# the expected files in it, and its example host run from where it was
# unpacked, against COM5 (the line peer of wine-ports.sh).
#   zip-test.sh BUILD_DIR EXPECTED_LIST
set -euo pipefail
build=$(cd "$1" && pwd)
expected=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$build" && cpack -G ZIP -B "$work/out" >/dev/null)
zip=$(ls "$work"/out/qd500-*-windows-*.zip)
(cd "$work" && unzip -q "$zip")
top=$(basename "$zip" .zip)
(cd "$work/$top" && find . -type f | sed 's|^\./||' | sort) >"$work/files"
if ! diff -u <(sort "$expected") "$work/files"; then
  echo "the archive's files differ from $expected" >&2
  exit 1
fi
# Nothing beside the example host but what the archive holds.
"$build/wine-run.sh" "$work/$top/bin/qd500_example_host.exe" 5
