#!/usr/bin/env bash
# The Debian package as an integrator meets it, on this machine (as root):
# built by scripts/package.sh, its files listed and free of build paths,
# installed with apt, its tools run from /usr/bin, then purged, leaving
# nothing behind. It always purges at the end, also when a check fails.
#   tests/package/deb-test.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
[ "$(id -u)" -eq 0 ] || { echo "deb-test.sh installs a package: run it as root" >&2; exit 1; }
if dpkg-query -W -f='${Status}' qd500 2>/dev/null | grep -q 'install ok'; then
  echo "a qd500 package is installed already: remove it first" >&2
  exit 1
fi

bash scripts/package.sh deb
deb=$(ls -t dist/qd500_*.deb | head -1)
work=$(mktemp -d)
installed=0
cleanup() {
  if [ "$installed" = 1 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get purge -y qd500 >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "== $deb: the files"
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$work/list"
missing=0
while read -r want; do
  [ -z "$want" ] && continue
  grep -qxF "$want" "$work/list" || { echo "missing from the package: $want" >&2; missing=1; }
done <tests/package/deb-files.txt
[ "$missing" = 0 ]
dpkg-deb -x "$deb" "$work/root"
# TLS lines load OpenSSL when they open: recommended, never linked.
dpkg-deb -f "$deb" Recommends | grep -qw libssl3 || { echo "the package does not recommend libssl3" >&2; exit 1; }
lib=$work/root/usr/lib/x86_64-linux-gnu
objdump -p "$lib/libqd500.so.0.2.0" "$lib/libqd500dll.so.0.2.0" "$work/root/usr/lib/pcsc/drivers/serial/libqd500-ifd.so" \
  >"$work/needed"
if grep -E 'NEEDED.*lib(ssl|crypto)' "$work/needed"; then
  echo "a library of the package links OpenSSL" >&2
  exit 1
fi
# No path of a build: the package is built in a temporary copy, whose path
# starts like every temporary directory's.
if grep -rlE "$(dirname "$work")/tmp\.[A-Za-z0-9]+/build" "$work/root"; then
  echo "files of the package name a build directory" >&2
  exit 1
fi

echo "== installed with apt"
ls -A /usr/bin >"$work/bin-before"
installed=1
DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "./$deb" >/dev/null
dpkg -L qd500 >"$work/owned"
qd500 --version | tee "$work/version"
grep -qx "qd500 0.2.0" "$work/version"
qd500-sim --version
man -w qd500 qd500-sim
# With its bytecode written, as Python does where nobody stops it.
env -u PYTHONDONTWRITEBYTECODE /usr/bin/python3 -c 'import qd500; print("python package: qd500", qd500.library_version())'
(cd "$work" && qd500 demo >"$work/demo.out") || { cat "$work/demo.out"; exit 1; }
tail -1 "$work/demo.out"
# Nothing written into /usr/bin beyond the package's own files.
ls -A /usr/bin >"$work/bin-after"
added=$(comm -13 "$work/bin-before" "$work/bin-after" | while read -r f; do grep -qxF "/usr/bin/$f" "$work/owned" || echo "$f"; done)
[ -z "$added" ] || { echo "written into /usr/bin: $added" >&2; exit 1; }

echo "== purged"
DEBIAN_FRONTEND=noninteractive apt-get purge -y qd500 >/dev/null
installed=0
left=$(while read -r f; do if [ -f "$f" ] || [ -L "$f" ]; then echo "$f"; fi; done <"$work/owned")
# Directories of the package's own, bytecode included, go too.
for d in /usr/lib/python3/dist-packages/qd500 /usr/lib/x86_64-linux-gnu/cmake/qd500 /usr/include/qd500 /usr/share/doc/qd500; do
  [ -e "$d" ] && left="$left $d"
done
[ -z "$left" ] || { echo "left behind by purge: $left" >&2; exit 1; }
echo "deb-test: $deb installed, used and purged cleanly"
