#!/usr/bin/env bash
# Runs every libFuzzer target of build/fuzz for a bounded time, starting from the committed seed
# corpus (copied, so that the run never writes into the repository), and prints per target the
# executions, their rate, the coverage reached and the corpus size. The argument (default 60) is the
# base time in seconds; each target gets a fixed share of it (60 gives about 200 s of fuzzing in all, about 100 s of wall time with two targets at a time). A target that fails keeps its crashing input in build/fuzz/artifacts/ and makes
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

# Two targets at a time, one per core of the CI machine (FUZZ_JOBS to change it): each keeps its full
# share of time, and the report comes target by target in a fixed order.
jobs=${FUZZ_JOBS:-2}
run_target() { # run_target TARGET REPORT: fuzzes, writes the report, leaves a FAILED mark on failure
  local target=$1 report=$2 name seconds work log seeds=0
  name=$(basename "$target" _fuzz)
  seconds=$(((base * $(share "$name") + 99) / 100))
  work=$(mktemp -d)
  log=$(mktemp)
  if [ -d "tests/fuzz/corpus/$name" ]; then
    cp -r "tests/fuzz/corpus/$name/." "$work/"
    seeds=$(find "$work" -type f | wc -l)
  fi
  mkdir -p "$work/.artifacts"
  {
    echo "== fuzzing $name for ${seconds}s from $seeds seeds"
    # -timeout: the line is a virtual-clock fake, so any input taking seconds is a hang.
    if "$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$work/.artifacts/" "$work" >"$log" 2>&1; then
      local done_line runs rate cov corpus
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
      echo "$name" >"$report.failed"
    fi
  } >"$report"
  rm -rf "$work" "$log"
}

reports=$(mktemp -d)
trap 'rm -rf "$reports"' EXIT
targets=()
for target in build/fuzz/tests/fuzz/*_fuzz; do
  [ -x "$target" ] && targets+=("$target")
done
[ "${#targets[@]}" -gt 0 ] || { echo "no fuzz targets were built"; exit 1; }
for i in "${!targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  run_target "${targets[$i]}" "$reports/$i" &
done
wait
failed=()
for i in "${!targets[@]}"; do
  cat "$reports/$i"
  [ -e "$reports/$i.failed" ] && failed+=("$(cat "$reports/$i.failed")")
done
if [ "${#failed[@]}" -gt 0 ]; then
  echo "fuzz targets that failed: ${failed[*]}"
  exit 1
fi
