#!/usr/bin/env bash
# The Python package's tests: the package installed offline into a venv of
# Debian's Python, run against a build's library and simulator (default:
# build/linux). The source tree is left as it was.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-$here/../build/linux}" && pwd)"
# Not $build/python: the build's configure step keeps the package's
# install metadata there.
work="$build/python-tests"

export PIP_DISABLE_PIP_VERSION_CHECK=1
rm -rf "$work"
mkdir -p "$work"
/usr/bin/python3 -m venv --system-site-packages "$work/venv"
# pip builds in the directory it is given: a copy keeps build output out of the tree.
cp -r "$here" "$work/src"
"$work/venv/bin/pip" install --quiet --no-index --no-build-isolation "$work/src"

export QD500_LIBRARY="$build/libqd500.so" QD500_SIM="$build/tools/sim/qd500-sim" PYTHONDONTWRITEBYTECODE=1
status=0
(cd "$work" && "$work/venv/bin/python" -m pytest -p no:cacheprovider "$here/tests") || status=$?
if [ "$status" -eq 5 ]; then
  echo "python: no tests were collected" >&2
  exit 1
fi
exit "$status"
