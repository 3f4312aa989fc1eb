#!/bin/sh
# Builds the C# binding and runs its NUnit suite against BUILD_DIR's
# libqd500.so.0 and tools/sim/qd500-sim. Exits non-zero on any failure.
set -eu
if [ $# -ne 1 ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
for f in "$build/libqd500.so.0" "$build/tools/sim/qd500-sim"; do
    [ -e "$f" ] || { echo "run-tests.sh: $f is missing" >&2; exit 2; }
done
command -v nunit-console >/dev/null || { echo "run-tests.sh: nunit-console is not installed" >&2; exit 2; }

out=$(mktemp -d "${TMPDIR:-/tmp}/qd500-dotnet.XXXXXX")
trap 'rm -rf "$out"' EXIT
"$here/build.sh" "$out"

log="$out/nunit.log"
status=0
(
    cd "$out"
    LD_LIBRARY_PATH="$build${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
    QD500_SIM="$build/tools/sim/qd500-sim" \
    QD500_HEADER="$here/../../include/qd500.h" \
        nunit-console -nologo -noshadow -xml="$out/TestResult.xml" Qd500.Tests.dll
) >"$log" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
    cat "$log" # its failures, and the summary line at their end
    exit "$status"
fi
grep -E '^Tests run:' "$log" || { cat "$log"; echo "run-tests.sh: no summary from nunit-console" >&2; exit 1; }
