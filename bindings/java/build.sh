#!/usr/bin/env bash
# Builds qd500.jar (the binding and its simulator helper) into OUT_DIR
# (default: bindings/java/build). Needs javac and jar (OpenJDK 17) and JNA
# (JNA_JAR, default Debian's /usr/share/java/jna.jar).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
out="${1:-$here/build}"
jna="${JNA_JAR:-/usr/share/java/jna.jar}"
rm -rf "$out/classes"
mkdir -p "$out/classes"
find "$here/src/main/java" -name '*.java' >"$out/sources.txt"
javac --release 17 -Xlint:all -Werror -encoding UTF-8 -cp "$jna" -d "$out/classes" @"$out/sources.txt"
printf 'Class-Path: %s\n' "$jna" >"$out/manifest.txt"
jar --create --file "$out/qd500.jar" --manifest "$out/manifest.txt" -C "$out/classes" .
echo "$out/qd500.jar"
