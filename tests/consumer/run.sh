#!/usr/bin/env bash
# Installs a build into a fresh prefix and builds and runs an integrator's
# three programs against it: the C++ API through find_package(qd500), the
# flat API through pkg-config qd500dll, the handle API in C through
# pkg-config qd500; each drives the installed qd500-sim. Also checks that the
# installed files hold no path of the build, and the libraries' SONAMEs.
#   tests/consumer/run.sh [BUILD_DIR]     (default build/release, already built)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../../build/release}" && pwd)
work=$(mktemp -d)
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name 'libqd500.so' | head -1)")

echo "== no path of the build in the installed files"
if grep -rlF "$build" "$prefix"; then
  echo "installed files name the build directory $build" >&2
  exit 1
fi
echo "== SONAMEs"
for lib in qd500 qd500dll; do
  soname=$(readelf -d "$libdir/lib$lib.so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
  echo "lib$lib.so: $soname -> $(readlink "$libdir/$soname")"
  [ "$soname" = "lib$lib.so.0" ] || { echo "lib$lib.so has SONAME '$soname'" >&2; exit 1; }
  [ -e "$libdir/lib$lib.so.0.2.0" ] || { echo "no lib$lib.so.0.2.0" >&2; exit 1; }
done

echo "== build: find_package(qd500) and pkg-config"
cmake -S "$here" -B "$work/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/build" >/dev/null
export PKG_CONFIG_PATH=$libdir/pkgconfig
# shellcheck disable=SC2046
cc -o "$work/flat_api" "$here/flat_api.c" $(pkg-config --cflags --libs qd500dll)
# shellcheck disable=SC2046
cc -o "$work/c_api" "$here/c_api.c" $(pkg-config --cflags --libs qd500)

echo "== run on the installed simulator"
"$prefix/bin/qd500-sim" --version
"$prefix/bin/qd500-sim" --pty >"$work/sim.out" </dev/null &
sim_pid=$!
for _ in $(seq 100); do [ -s "$work/sim.out" ] && break; sleep 0.05; done
port=$(head -1 "$work/sim.out")
[ -n "$port" ] || { echo "the simulator did not start" >&2; exit 1; }
# No LD_LIBRARY_PATH: the programs find the prefix's libraries themselves
# (pkg-config's run path outside /usr, CMake's for an imported target), and
# so does the installed Python package.
unset LD_LIBRARY_PATH
export QD500_TRACE_FILE=$work/trace.log
"$work/build/cpp_api" "$port"
QD500_COM7=$port "$work/flat_api"
"$work/c_api" "$port"
found=$(env -u QD500_LIBRARY PYTHONPATH="$prefix/lib/python3/dist-packages" /usr/bin/python3 -c \
  'import qd500, qd500._native as n; print(qd500.library_version(), n.lib()._name)')
echo "python: $found"
[[ "$found" == "0.2.0 $prefix/"* ]] || { echo "the installed Python package did not load $prefix's library" >&2; exit 1; }
echo "consumer: all three programs and the Python package ran against $prefix"
