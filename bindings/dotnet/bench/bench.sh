#!/bin/sh
# Measures an APDU round trip (GET CHALLENGE, 8 bytes) through the binding,
# through the raw import and through the C API, against qd500-sim at 9600
# baud and unpaced: bench.sh BUILD_DIR [ROUNDS_AT_9600] (unpaced: 20 times as many)
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
rounds=${2:-100}
out=$(mktemp -d "${TMPDIR:-/tmp}/qd500-bench.XXXXXX")
sim_pid=
cleanup() {
    [ -z "$sim_pid" ] || kill "$sim_pid" 2>/dev/null || true
    rm -rf "$out"
}
trap cleanup EXIT
"$here/build.sh" "$out" >/dev/null
mcs -langversion:7.2 -sdk:4.5 -optimize+ -nologo -r:"$out/Qd500.dll" -out:"$out/Qd500.Bench.exe" "$here/bench/Bench.cs"
cc -O2 -I"$here/../../include" "$here/bench/bench.c" -L"$build" -l:libqd500.so.0 -Wl,-rpath,"$build" -o "$out/bench"
export LD_LIBRARY_PATH="$build${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"

for baud in 9600 unpaced; do
    flag="--baud $baud" n=$rounds
    [ "$baud" != unpaced ] || { flag=; n=$((rounds * 20)); }
    # shellcheck disable=SC2086
    "$build/tools/sim/qd500-sim" --pty --link "$out/port" $flag </dev/null >/dev/null 2>&1 &
    sim_pid=$!
    while [ ! -e "$out/port" ]; do sleep 0.01; done
    c_total=0 bind_total=0 raw_total=0 wrapped=0 direct=0
    for repeat in 1 2 3; do
        c=$("$out/bench" "$out/port" "$n")
        set -- $(cd "$out" && mono "$out/Qd500.Bench.exe" "$out/port" "$n" 10)
        c_total=$(echo "$c_total + $c" | bc -l)
        bind_total=$(echo "$bind_total + $1" | bc -l)
        raw_total=$(echo "$raw_total + $2" | bc -l)
        wrapped=$3 direct=$4
    done
    kill "$sim_pid"
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=
    rm -f "$out/port"
    printf '%s: per call C %.1f us, binding %.1f us, raw import %.1f us; binding/C %.4f, binding/raw %.4f, binding - C %.1f us\n' \
        "$baud" "$(echo "$c_total / 3" | bc -l)" "$(echo "$bind_total / 3" | bc -l)" "$(echo "$raw_total / 3" | bc -l)" \
        "$(echo "$bind_total / $c_total" | bc -l)" "$(echo "$bind_total / $raw_total" | bc -l)" \
        "$(echo "($bind_total - $c_total) / 3" | bc -l)"
done
printf 'without the line: a Reader call %.3f us, the raw import %.3f us, the wrapper adds %.3f us\n' \
    "$wrapped" "$direct" "$(echo "$wrapped - $direct" | bc -l)"
