#!/usr/bin/env bash
# The main job: a tour of the library against the built-in reader simulator.
set -euo pipefail
cd "$(dirname "$0")/.."
# Only what the tour needs: the library and the tools, no test suite.
bash scripts/install-deps.sh demo
cmake --preset tools >/dev/null
cmake --build --preset tools -j2
exec build/tools/tools/cli/qd500 demo
