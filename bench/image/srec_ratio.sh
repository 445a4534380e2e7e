#!/usr/bin/env bash
# Our load of the embedded firmware against srec_cat's parse of the same text, timed in one run.
#
#   bench/image/srec_ratio.sh [BUILD_DIR]      (default build/dev; RUNS=N sets the runs, default 15)
#
# srec_cat's parse work is the median time of `srec_cat FILE -o /dev/null -binary` minus the median of
# the same on a one-record file (which leaves out process start-up and the write). Our load is the
# median of bench_image's BM_LoadImage (APP_LoadImage on the embedded text). Targets: our load at most
# 2 ms, and at least 10 times less than srec_cat's parse work.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="${1:-$root/build/dev}"
runs="${RUNS:-15}"
file="$root/image/firmware/tq330.s28"
bench="$build/bench/image/bench_image"

command -v srec_cat >/dev/null || { echo "srec_cat not found (Debian package srecord)" >&2; exit 1; }
[ -x "$bench" ] || { echo "$bench not built (cmake --build $build --target bench_image)" >&2; exit 1; }

one="$(mktemp)"
trap 'rm -f "$one"' EXIT
sed -n 2p "$file" >"$one" # the first data record alone

# Nanoseconds of one srec_cat run on $1.
time_srec_cat() {
    local start end
    start=$(date +%s%N)
    srec_cat "$1" -o /dev/null -binary 2>/dev/null
    end=$(date +%s%N)
    echo $((end - start))
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

full_ns=()
one_ns=()
for ((i = 0; i < runs; i++)); do # alternate, so both see the same machine load
    full_ns+=("$(time_srec_cat "$file")")
    one_ns+=("$(time_srec_cat "$one")")
done
full_med=$(printf '%s\n' "${full_ns[@]}" | median)
one_med=$(printf '%s\n' "${one_ns[@]}" | median)

# The median aggregate of BM_LoadImage; its times are in microseconds.
json="$("$bench" --benchmark_filter='^BM_LoadImage$' --benchmark_repetitions="$runs" \
    --benchmark_report_aggregates_only=true --benchmark_format=json 2>/dev/null)"
read -r load_us load_cpu_us heap < <(echo "$json" | awk '
    /"aggregate_name": "median"/ { median = 1 }
    median && /"real_time"/ { gsub(/[,]/, "", $2); real = $2 }
    median && /"cpu_time"/ { gsub(/[,]/, "", $2); cpu = $2 }
    median && /"heap_bytes"/ { gsub(/[,]/, "", $2); heap = $2; median = 0 }
    END { print real, cpu, heap }')

awk -v full="$full_med" -v one="$one_med" -v load="$load_us" -v cpu="$load_cpu_us" -v heap="$heap" \
    -v runs="$runs" 'BEGIN {
    parse = (full - one) / 1000
    printf "runs each:                    %d\n", runs
    printf "srec_cat, whole file:         %9.1f us (median)\n", full / 1000
    printf "srec_cat, one record:         %9.1f us (median)\n", one / 1000
    printf "srec_cat parse work:          %9.1f us\n", parse
    printf "our load (APP_LoadImage):     %9.1f us (median wall), %.1f us CPU\n", load, cpu
    printf "heap of the loaded store:     %9d bytes\n", heap
    printf "ratio srec_cat / ours:        %9.1f\n", parse / load
    printf "load <= 2 ms:                 %s\n", (load <= 2000) ? "yes" : "NO"
    printf "at least 10x less:            %s\n", (parse / load >= 10) ? "yes" : "NO"
}'
