#!/usr/bin/env bash
# Whole-update figures of tq330-flash against tq330-sim at 57600 baud (the real pace):
#   one device: the update (its "update" event to its "result" event) against the line-time floor
#     the simulator's log gives (bench/app/update_floor.awk);
#   four devices at once (one process each): the whole run against one device's time, with the CPU
#     time and the largest resident set of the processes;
#   the trace on against off: the same update with --trace.
# Each paced update takes about a minute. Usage: run_cli_bench.sh FLASH SIM
set -euo pipefail
flash=$1
sim=$2
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
clear_ms=1500

. "$(dirname "$0")/bench_sim.sh"
one_update() { # one_update NAME [OPTIONS...]: the update's seconds and its floor line
  local name=$1
  shift
  local device
  device=$(start_sim "$name")
  "$flash" --port "$device" --json --quiet "$@" >"$work/$name.json" 2>/dev/null
  local ts te
  ts=$(event_time "$work/$name.json" update)
  te=$(event_time "$work/$name.json" result)
  grep '"event":"result"' "$work/$name.json" | sed 's/.*"result":"\([^"]*\)".*/  result: \1/'
  awk -v ts="$ts" -v te="$te" -v clear_ms="$clear_ms" -f "$here/../app/update_floor.awk" "$work/$name.log"
}

echo "== one device, trace off"
one_update plain
echo "== one device, trace on"
one_update traced --trace "$work/trace.txt"
echo "  trace: $(wc -l <"$work/trace.txt") lines, $(du -k "$work/trace.txt" | cut -f1) KiB"

echo "== four devices at once"
args=()
for i in 1 2 3 4; do args+=(--port "$(start_sim "four$i")"); done
/usr/bin/time -f "%e %U %S %M" -o "$work/four.time" "$flash" "${args[@]}" --quiet >"$work/four.out" 2>&1 || true
read -r wall user sys rss <"$work/four.time"
cat "$work/four.out"
echo "  whole run: ${wall} s wall; CPU ${user} s user + ${sys} s system over the five processes; largest resident set ${rss} KiB"
