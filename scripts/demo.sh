#!/usr/bin/env bash
# The main job: a tour of the library against the built-in reader simulator.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset linux >/dev/null
cmake --build --preset linux -j2
exec build/linux/tools/cli/qd500 demo
