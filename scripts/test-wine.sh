#!/usr/bin/env bash
# Cross-builds the Windows DLL and its tests, then runs them under Wine
# (ctest label "wine"). The Linux simulator is used for COM6 when it is built.
set -euo pipefail
cd "$(dirname "$0")/.."
echo "== windows: cross build, tests under Wine"
cmake --preset windows >/dev/null
cmake --build --preset windows -j2
ctest --test-dir build/windows -L wine -j2 --output-on-failure --timeout 300
