#!/usr/bin/env bash
# Runs every libFuzzer target of build/fuzz for a bounded time, starting from the committed seed
# corpus (copied, so that the run never writes into the repository), and prints per target the
# executions, their rate, the coverage reached and the corpus size. The argument (default 60) is the
# base time in seconds; each target gets a fixed share of it (60 gives about 200 s in all). A target that fails keeps its crashing input in build/fuzz/artifacts/ and makes
# the script fail after all targets have run.
set -euo pipefail
cd "$(dirname "$0")/.."
base=${1:-60}
artifacts=build/fuzz/artifacts

# Share of the base time per target, in percent; targets not listed get 34. The shares add up to
# 336 %, so that the whole run stays near 200 s for the base of 60.
share() {
  case "$1" in
    srecord_text) echo 84 ;;
    srecord_file | jobs | rfc2217) echo 50 ;;
    *) echo 34 ;;
  esac
}

found=0
failed=()
for target in build/fuzz/tests/fuzz/*_fuzz; do
  [ -x "$target" ] || continue
  name=$(basename "$target" _fuzz)
  seconds=$(((base * $(share "$name") + 99) / 100))
  work=$(mktemp -d)
  log=$(mktemp)
  seeds=0
  if [ -d "tests/fuzz/corpus/$name" ]; then
    cp -r "tests/fuzz/corpus/$name/." "$work/"
    seeds=$(find "$work" -type f | wc -l)
  fi
  mkdir -p "$work/.artifacts"
  echo "== fuzzing $name for ${seconds}s from $seeds seeds"
  # -timeout: the line is a virtual-clock fake, so any input taking seconds is a hang.
  if "$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$work/.artifacts/" "$work" >"$log" 2>&1; then
    done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 || true)
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    cov=$(sed -n 's/.* cov: \([0-9]*\) ft: \([0-9]*\).*/cov \1, ft \2/p' <<<"$done_line")
    corpus=$(sed -n 's/.* corp: \([0-9]*\/[0-9]*[a-zA-Z]*\).*/\1/p' <<<"$done_line")
    echo "   $name: ${runs:-?} executions, ${rate:-?} exec/s, ${cov:-no coverage line}, corpus $seeds seeds -> ${corpus:-?} (inputs/bytes)"
    echo "   $done_line"
  else
    echo "   $name FAILED:"
    tail -n 40 "$log"
    mkdir -p "$artifacts"
    cp "$work/.artifacts/"* "$artifacts/" 2>/dev/null || true
    echo "   crashing inputs kept in $artifacts/"
    failed+=("$name")
  fi
  rm -rf "$work" "$log"
  found=$((found + 1))
done
[ "$found" -gt 0 ] || { echo "no fuzz targets were built"; exit 1; }
if [ "${#failed[@]}" -gt 0 ]; then
  echo "fuzz targets that failed: ${failed[*]}"
  exit 1
fi
