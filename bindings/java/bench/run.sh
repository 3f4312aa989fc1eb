#!/usr/bin/env bash
# The APDU bench: bench/run.sh BUILD_DIR [ROUNDS [BAUD]] (BAUD 0: unpaced).
# Builds into a temporary folder; needs cc besides the Java tools.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "$1" && pwd)"
shift
jna="${JNA_JAR:-/usr/share/java/jna.jar}"
work="$(mktemp -d "${TMPDIR:-/tmp}/qd500-java-bench.XXXXXX")"
trap 'rm -rf "$work"' EXIT
include="$(cd "$here/../../../include" && pwd)"
cc -O2 -I"$include" -o "$work/apdu_rounds" "$here/apdu_rounds.c" "$build/libqd500.so.0" -Wl,-rpath,"$build"
JNA_JAR="$jna" "$here/../build.sh" "$work" >/dev/null
javac --release 17 -cp "$work/classes:$jna" -d "$work/classes" "$here/ApduOverhead.java"
java -Djna.library.path="$build" -Dqd500.sim="$build/tools/sim/qd500-sim" -cp "$work/classes:$jna" \
  qd500.ApduOverhead "$work/apdu_rounds" "$@"
