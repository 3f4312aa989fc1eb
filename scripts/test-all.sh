#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test suite.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh test

echo "== lint: clang-format over the C and C++ tree, flake8 and mypy over the Python package"
bash tests/lint/gates-test.sh
bash scripts/lint.sh

jobs=2
echo "== linux: build and test (a one-minute soak of eight readers and the scale benchmark's smallest case among them)"
cmake --preset linux >/dev/null
cmake --build --preset linux -j"$jobs"
ctest --preset linux

echo "== python: the package in a venv against the Linux build"
bash python/run-tests.sh build/linux

echo "== dotnet: the C# binding under Mono against the Linux build"
bash bindings/dotnet/run-tests.sh build/linux

echo "== java: the JNA binding against the Linux build"
bash bindings/java/run-tests.sh build/linux

echo "== node: the npm package (koffi) against the Linux build"
bash bindings/node/run-tests.sh build/linux

echo "== pcsc: the driver in a private pcscd, through pyscard, pcsc_scan, opensc-tool and scriptor"
bash tests/pcsc/run.sh

echo "== net: readers across the network, through Debian's ser2net on loopback (raw TCP and RFC 2217, plain and over TLS)"
QD500_BUILD=$PWD/build/linux /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/net

echo "== asan: the same suites under AddressSanitizer and UndefinedBehaviorSanitizer (the soak without its memory check)"
cmake --preset asan >/dev/null
cmake --build --preset asan -j"$jobs"
ctest --preset asan

echo "== tsan: readers on threads, the handle API and the PC/SC driver under ThreadSanitizer"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j"$jobs" --target qd500_thread_tests qd500_api_tests qd500_ifd_tests
ctest --preset tsan

echo "== wine32: the 32-bit phase as a machine without 32-bit programs runs it, and QD500_WINE32=yes refused there"
bash tests/wine/wine32-test.sh --build
bash scripts/test-wine.sh windows
bash scripts/test-wine.sh windows64

echo "== consumer: an integrator's project against an installed release build"
cmake --preset release >/dev/null
cmake --build --preset release -j"$jobs" --target qd500dll qd500-api qd500-ifd qd500-sim qd500
bash tests/consumer/run.sh build/release

echo "== deb: the Debian package installed, used and purged"
bash tests/package/deb-test.sh
