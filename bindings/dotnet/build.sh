#!/bin/sh
# Builds the C# binding with Mono's mcs into OUT_DIR (default: ./bin beside
# this script): Qd500.dll with its XML documentation and Qd500.dll.config,
# Qd500.Testing.dll (the simulator fixture), and, where NUnit 2.6 is
# installed, Qd500.Tests.dll with nunit.framework.dll beside it.
#   build.sh [OUT_DIR] [--library-only]   (--library-only: Qd500.dll and its XML alone)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
out=${1:-$here/bin}
mkdir -p "$out"
mcs="mcs -langversion:7.2 -sdk:4.5 -debug -nologo -warnaserror+ -nowarn:1591"

$mcs -target:library -doc:"$out/Qd500.xml" -out:"$out/Qd500.dll" "$here"/src/*.cs
cp "$here/src/Qd500.dll.config" "$out/"
[ "${2:-}" != --library-only ] || exit 0
$mcs -target:library -r:Mono.Posix.dll -doc:"$out/Qd500.Testing.xml" -out:"$out/Qd500.Testing.dll" \
    "$here"/testing/*.cs

nunit=$(pkg-config --libs nunit 2>/dev/null | tr ' ' '\n' | sed -n 's/^-r://p' | grep '/nunit\.framework\.dll$' || true)
[ -n "$nunit" ] || nunit=$(ls /usr/lib/cli/nunit.framework-2.6*/nunit.framework.dll 2>/dev/null | head -1 || true)
if [ -n "$nunit" ]; then
    cp "$nunit" "$out/"
    $mcs -target:library -r:"$out/Qd500.dll" -r:"$out/Qd500.Testing.dll" -r:"$out/nunit.framework.dll" \
        -out:"$out/Qd500.Tests.dll" "$here"/tests/*.cs
else
    echo "build.sh: NUnit 2.6 not found (nunit-console, libnunit-cil-dev): tests not built" >&2
fi
