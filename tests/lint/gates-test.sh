#!/usr/bin/env bash
# The style gates fail on what they guard against, and pass once it is
# mended: a tree of two files, laid out as this one, run through
# scripts/lint.sh.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/python/qd500"
cp "$root/.clang-format" "$work/"
failed=0
gate() {  # name, expected exit, expected text
  local out status
  out=$(bash "$root/scripts/lint.sh" "$work" 2>&1)
  status=$?
  [ "$status" = "$2" ] && [[ "$out" == *"$3"* ]] || { echo "FAIL: $1 (exit $status): $out"; failed=1; }
}

printf 'int  f( int x ){return x;}\n' >"$work/a.cpp"
printf '"""A module."""\n' >"$work/python/qd500/__init__.py"
gate "misformatted C++" 1 "not laid out as .clang-format says"
printf 'int f(int x) { return x; }\n' >"$work/a.cpp"
printf '"""A module."""\nTEXT = "%0130d"\n' 0 >"$work/python/qd500/__init__.py"
gate "long Python line" 1 "E501 line too long (139 > 120"
printf '"""A module."""\n\n\ndef f(x):\n    return x\n' >"$work/python/qd500/__init__.py"
gate "untyped function" 1 "Function is missing a type annotation"
printf '"""A module."""\n\n\ndef f(x: int) -> int:\n    return x\n' >"$work/python/qd500/__init__.py"
gate "mended" 0 "lint: flake8 over 1 Python files, mypy over the package"
[ "$failed" = 0 ] && echo "lint gates: each fails on its fault and passes when mended"
exit "$failed"
