#!/usr/bin/env bash
# Runs one test of a Windows test program from a directory whose full path is
# longer than the 500 characters the library fetches for the host's name.
#   long-path.sh WINE_RUN PROGRAM WORK_DIR GTEST_FILTER
set -euo pipefail
run=$1 program=$2 work=$3 filter=$4
part() { printf "$1%.0s" $(seq "$2"); }
deep="$work/$(part a 200)/$(part b 200)/$(part c 150)"
mkdir -p "$deep"
cp "$program" "$deep/"
"$run" "$deep/$(basename "$program")" --gtest_filter="$filter" | tee "$work/long-path.out"
grep -q "host path cut to 499 characters" "$work/long-path.out"
