#!/usr/bin/env bash
# Runs clang-tidy (checks in .clang-tidy) over the program's own sources: app/, update/, link/, image/
# and tools/. The tests and benchmarks are left out: they are mostly GoogleTest macro expansions.
# Uses build/ci/compile_commands.json (configured and built first when missing, so that Qt's
# generated headers exist). Any finding fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=${JOBS:-2}
tidy=$(command -v clang-tidy-14 || command -v clang-tidy)
db=build/ci/compile_commands.json

if [ ! -f "$db" ]; then
  cmake --preset ci >/dev/null
  cmake --build --preset ci -j"$jobs"
fi

mapfile -t files < <(grep -o '"file": "[^"]*"' "$db" | sed 's/^"file": "//; s/"$//' |
  grep -E "^$root/(app|update|link|image|tools)/" | sort -u)
[ ${#files[@]} -gt 0 ] || { echo "no sources found in $db"; exit 1; }
echo "clang-tidy over ${#files[@]} files"

if printf '%s\n' "${files[@]}" |
  xargs -P"$jobs" -n4 "$tidy" -p build/ci --quiet --warnings-as-errors='*' 2> >(grep -vE '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$' >&2); then
  echo "clang-tidy: no findings"
else
  echo "clang-tidy: findings above"
  exit 1
fi
