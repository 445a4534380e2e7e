#!/usr/bin/env bash
# What the doctor's latency advice is worth: whole updates of tq330-flash against tq330-sim at
# 57600 baud with an adapter latency timer of 16 ms (FTDI's default) and of 1 ms (the doctor's
# fix), the two run side by side in each round so that both see the same machine. Prints every
# round, then the medians, their difference on the whole image and per programming block, and the
# ratio. About a minute and a half a round. Usage: run_latency_bench.sh FLASH SIM [ROUNDS]
set -euo pipefail
flash=$1
sim=$2
rounds=${3:-5}
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
clear_ms=1500

. "$(dirname "$0")/bench_sim.sh"
seconds() { # seconds NAME: from the update's event to its result, or "failed"
  grep -q '"result":"updated"' "$work/$1.json" || { echo failed; return; }
  awk -v a="$(event_time "$work/$1.json" update)" -v b="$(event_time "$work/$1.json" result)" 'BEGIN { printf "%.3f", b - a }'
}
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

: >"$work/16.txt"
: >"$work/1.txt"
for round in $(seq "$rounds"); do
  slow=$(start_sim "slow$round" --latency-ms 16)
  fast=$(start_sim "fast$round" --latency-ms 1)
  "$flash" --port "$slow" --json --quiet >"$work/slow$round.json" 2>/dev/null &
  a=$!
  "$flash" --port "$fast" --json --quiet >"$work/fast$round.json" 2>/dev/null &
  b=$!
  wait "$a" "$b" || true
  s=$(seconds "slow$round")
  f=$(seconds "fast$round")
  echo "round $round: latency 16 ms ${s} s, latency 1 ms ${f} s"
  [ "$s" != failed ] && echo "$s" >>"$work/16.txt"
  [ "$f" != failed ] && echo "$f" >>"$work/1.txt"
done
blocks=$(grep -c '^cmd=2 ' "$work/fast1.log" || true)
m16=$(median <"$work/16.txt")
m1=$(median <"$work/1.txt")
awk -v s="$m16" -v f="$m1" -v n="$blocks" -v r="$rounds" 'BEGIN {
  printf "medians of %d rounds: latency 16 ms %.3f s, latency 1 ms %.3f s\n", r, s, f
  printf "the fix is worth %.3f s an update (%.1f%% of the slow one; ratio %.3f), %.2f ms for each of the %d blocks\n",
         s - f, (s - f) * 100 / s, s / f, (s - f) * 1000 / n, n
}'
