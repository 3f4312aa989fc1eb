#!/usr/bin/env bash
# The Java binding's tests: builds qd500.jar and runs its JUnit 5 suite
# against BUILD_DIR's libqd500.so.0 and tools/sim/qd500-sim (default:
# build/linux). Build output goes to a temporary folder; BUILD_DIR and the
# source tree are left as they were.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-$here/../../build/linux}" && pwd)"
junit="${JUNIT_JAR:-/usr/share/java/junit-platform-console-standalone.jar}"
jna="${JNA_JAR:-/usr/share/java/jna.jar}"
work="$(mktemp -d "${TMPDIR:-/tmp}/qd500-java.XXXXXX")"
trap 'rm -rf "$work"' EXIT

[ -e "$build/libqd500.so.0" ] || { echo "java: no $build/libqd500.so.0" >&2; exit 1; }
[ -x "$build/tools/sim/qd500-sim" ] || { echo "java: no $build/tools/sim/qd500-sim" >&2; exit 1; }

JNA_JAR="$jna" "$here/build.sh" "$work" >/dev/null
mkdir -p "$work/test-classes"
find "$here/src/test/java" -name '*.java' >"$work/test-sources.txt"
javac --release 17 -encoding UTF-8 -cp "$work/qd500.jar:$jna:$junit" -d "$work/test-classes" @"$work/test-sources.txt"
# The README's examples still compile.
javac --release 17 -encoding UTF-8 -cp "$work/qd500.jar" -d "$work/examples" "$here"/examples/*.java

# The library as JNA finds it, by name in jna.library.path.
status=0
java -Djna.library.path="$build" -Dqd500.sim="$build/tools/sim/qd500-sim" \
  -jar "$junit" --class-path "$work/qd500.jar:$jna:$work/test-classes" --scan-class-path "$work/test-classes" \
  --disable-banner --details=summary --fail-if-no-tests >"$work/out.txt" 2>&1 || status=$?
# Failures in full, then the runner's summary as one line.
sed -n '/Failures (/,/^$/p' "$work/out.txt" | head -200
line="$(grep -E '^\[ +[0-9]+ tests (successful|failed|skipped|aborted|found) +\]' "$work/out.txt" | tr -s ' []' ' ' | sed 's/ *$//' | paste -sd, -)"
took="$(grep -oE 'Test run finished after [0-9]+ ms' "$work/out.txt" | grep -oE '[0-9]+ ms' || true)"
echo "java:${line}${took:+ (in $took)}"
exit "$status"
