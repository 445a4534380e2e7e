#!/usr/bin/env bash
# Runs every libFuzzer target of build/fuzz for the given number of seconds each, starting from the
# committed seed corpus (copied, so that the run never writes into the repository).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
found=0
for target in build/fuzz/tests/fuzz/*_fuzz; do
  [ -x "$target" ] || continue
  name=$(basename "$target" _fuzz)
  work=$(mktemp -d)
  [ -d "tests/fuzz/corpus/$name" ] && cp -r "tests/fuzz/corpus/$name/." "$work/"
  echo "fuzzing $name for ${seconds}s"
  "$target" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$work/" "$work" 2>&1 | tail -n 25
  rm -rf "$work"
  found=$((found + 1))
done
[ "$found" -gt 0 ] || { echo "no fuzz targets were built"; exit 1; }
