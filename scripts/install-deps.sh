#!/usr/bin/env bash
# Installs the Debian packages a job needs; does nothing when they are all
# present. Run as root (or through sudo).
#   scripts/install-deps.sh demo    the native build of the library and tools
#   scripts/install-deps.sh [test]  everything every test suite needs
set -euo pipefail
purpose=${1:-test}

# The library, the simulator and the command-line tool.
demo=(
  cmake make g++ pkg-config python3
  nlohmann-json3-dev libedit-dev
)
# The test suites: GoogleTest and the oracles, the Python package's venv,
# the sanitizers and fuzzers, the Windows cross builds and Wine, the
# packages' own checks, the style gates, the PC/SC driver's build and its
# daemon and clients, ser2net and openssl for the network lines, and
# vsmartcard's vicc (a card in another program, optional to the tests).
test=(
  "${demo[@]}"
  python3-venv python3-pytest python3-setuptools python3-wheel
  libgtest-dev libgmock-dev googletest libbenchmark-dev libssl-dev
  clang-14 libfuzzer-14-dev libclang-rt-14-dev
  g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  wine wine32:i386 wine64
  dpkg-dev file man-db unzip
  clang-format flake8 mypy
  libpcsclite-dev pcscd pcsc-tools python3-pyscard opensc
  ser2net openssl
  vsmartcard-vpicc python3-pycryptodome
  mono-devel nunit-console libnunit-cil-dev
  openjdk-17-jdk-headless libjna-java junit5
)
# Node.js and npm are on our machines (Debian's npm package conflicts with
# that Node): they are installed only where node is missing.
if [ "$purpose" = test ] && ! command -v node >/dev/null; then
  test+=(nodejs npm)
fi
case "$purpose" in
  demo) packages=("${demo[@]}") ;;
  test) packages=("${test[@]}") ;;
  *) echo "usage: install-deps.sh [demo|test]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
    dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386
  fi
  echo "installing: ${missing[*]}"
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi

# The Node package's dependencies, as its lockfile pins them (npm's registry).
if [ "$purpose" = test ]; then
  (cd "$(dirname "$0")/../bindings/node" && npm ci --no-audit --no-fund --loglevel=error)
fi
