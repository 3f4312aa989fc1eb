#!/usr/bin/env bash
# The style gates: every C and C++ file as the root .clang-format lays it
# out (clang-format 14), every Python file through flake8 (120 columns)
# and the Python package through mypy --strict. Exit 1 on the first gate that finds anything.
#   scripts/lint.sh [DIR]          check the tree (or DIR, laid out as it)
#   scripts/lint.sh --fix          reformat the C and C++ files in place
set -euo pipefail
fix=0
[ "${1:-}" = --fix ] && { fix=1; shift; }
cd "${1:-$(dirname "$0")/..}"

if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t sources < <(git ls-files -co --exclude-standard -- '*.c' '*.cpp' '*.h' '*.hpp' | while read -r f; do [ -f "$f" ] && echo "$f"; done)
  mapfile -t scripts < <(git ls-files -co --exclude-standard -- '*.py' | while read -r f; do [ -f "$f" ] && echo "$f"; done)
else
  mapfile -t sources < <(find . -path ./build -prune -o -type f \( -name '*.c' -o -name '*.cpp' -o -name '*.h' -o -name '*.hpp' \) -print)
  mapfile -t scripts < <(find . \( -path ./build -o -name node_modules \) -prune -o -type f -name '*.py' -print)
fi

if [ "$fix" = 1 ]; then
  clang-format -i "${sources[@]}"
  exit 0
fi

echo "lint: clang-format over ${#sources[@]} C and C++ files"
if ! clang-format --dry-run --Werror "${sources[@]}"; then
  echo "lint: files not laid out as .clang-format says (scripts/lint.sh --fix mends them)" >&2
  exit 1
fi
# Debian's Python, whatever python3 comes first on PATH.
echo "lint: flake8 over ${#scripts[@]} Python files, mypy over the package"
if ! /usr/bin/python3 -m flake8 --max-line-length 120 "${scripts[@]}"; then
  echo "lint: flake8 found the lines above" >&2
  exit 1
fi
if ! /usr/bin/python3 -m mypy --strict --no-incremental python/qd500; then
  echo "lint: mypy found the lines above" >&2
  exit 1
fi
