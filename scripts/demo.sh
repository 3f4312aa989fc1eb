#!/usr/bin/env bash
# The main job: a tour of the library against the built-in reader simulator.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset linux >/dev/null
cmake --build --preset linux -j2
if [ -x build/linux/tools/cli/qd500 ]; then
  exec build/linux/tools/cli/qd500 demo
fi
# Until the command-line tool lands, the real-pty suite is the tour.
exec ctest --preset linux -R 'Pty|Session'
