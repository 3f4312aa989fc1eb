#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need; does nothing when
# they are all present. Run as root (or through sudo).
set -euo pipefail

packages=(
  cmake make g++ pkg-config python3
  python3-venv python3-pytest python3-setuptools python3-wheel
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libssl-dev nlohmann-json3-dev libreadline-dev
  clang-14 libfuzzer-14-dev libclang-rt-14-dev
  g++-mingw-w64-i686 binutils-mingw-w64-i686
  wine wine32:i386
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
  dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386
fi
echo "installing: ${missing[*]}"
$SUDO apt-get update -q
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
