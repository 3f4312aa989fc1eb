#!/usr/bin/env bash
# Builds the release packages from a clean copy of the committed tree:
# the Debian package (cpack -G DEB, installed under /usr) and the Windows
# archives, 32-bit and 64-bit (cpack -G ZIP). They land in dist/.
#   scripts/package.sh [deb|zip|all]      (default all)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
what=${1:-all}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# What is committed, nothing of the working tree's builds or changes.
git archive HEAD | tar -x -C "$work"
mkdir -p dist

if [ "$what" = all ] || [ "$what" = deb ]; then
  echo "== Debian package"
  cmake --preset package -S "$work" >/dev/null
  cmake --build "$work/build/package" -j2 >/dev/null
  (cd "$work/build/package" && cpack -G DEB >/dev/null)
  cp "$work"/build/package/qd500_*.deb dist/
fi
if [ "$what" = all ] || [ "$what" = zip ]; then
  for preset in windows windows64; do
    echo "== Windows archive: $preset"
    cmake --preset "$preset" -S "$work" -DQD500_BUILD_TESTS=OFF >/dev/null
    cmake --build "$work/build/$preset" -j2 >/dev/null
    (cd "$work/build/$preset" && cpack -G ZIP >/dev/null)
    cp "$work"/build/"$preset"/qd500-*.zip dist/
  done
fi
ls -l dist/
