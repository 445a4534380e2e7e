#!/usr/bin/env bash
# Whole-program figures of tq330-updater on the offscreen platform, against tq330-sim:
#   start-up: process start to the dialog shown (median of RUNS) and the peak resident set size;
#   idle CPU: the program's share of one core while its dialog waits with a target that answers
#   the identify poll (57600 baud, the real pace) and with one that answers nothing;
#   a whole update through the program at 57600 baud (about a minute; FULL_UPDATE=0 skips it).
# Usage: run_app_bench.sh UPDATER SIM DRIVEN [RUNS] [IDLE_SECONDS]
# (DRIVEN: the test-only build of the program with the switches that press Start and report.)
set -euo pipefail
updater=$1
sim=$2
driven=$3
runs=${4:-7}
idle=${5:-10}
work=$(mktemp -d)
sim_pid=""
app_pid=""
cleanup() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export QT_QPA_PLATFORM=offscreen

start_sim() { # starts the simulator with the given options; sets sim_pid and device
  "$sim" "$@" >"$work/sim.out" 2>/dev/null &
  sim_pid=$!
  for _ in $(seq 100); do
    device=$(head -n1 "$work/sim.out" 2>/dev/null || true)
    [ -n "$device" ] && return 0
    sleep 0.05
  done
  echo "the simulator did not start" >&2
  exit 1
}
stop_sim() { kill "$sim_pid"; wait "$sim_pid" 2>/dev/null || true; sim_pid=""; }

median() { sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }

start_sim --baud 57600
: >"$work/startup" && : >"$work/rss"
for _ in $(seq "$runs"); do
  t0=$(date +%s.%N)
  shown=$(TQ330_PORTS=$device TQ330_BENCH_STARTUP=1 /usr/bin/time -f %M -o "$work/rss.one" "$driven" 2>/dev/null |
          awk '/^shown/ {print $2}')
  awk -v a="$t0" -v b="$shown" 'BEGIN {printf "%.1f\n", (b - a) * 1000}' >>"$work/startup"
  cat "$work/rss.one" >>"$work/rss"
done
stop_sim
echo "start-up to dialog shown: median $(median <"$work/startup") ms over $runs runs (each: $(tr '\n' ' ' <"$work/startup"))"
echo "peak resident set: median $(median <"$work/rss") KiB"

cpu_share() { # share of one core the running program used over $idle seconds, in percent
  local hz before after
  hz=$(getconf CLK_TCK)
  sleep 2 # past start-up and the first connection
  before=$(awk '{print $14 + $15}' "/proc/$app_pid/stat")
  sleep "$idle"
  after=$(awk '{print $14 + $15}' "/proc/$app_pid/stat")
  awk -v d=$((after - before)) -v hz="$hz" -v s="$idle" 'BEGIN {printf "%.2f", d * 100 / (hz * s)}'
}

for mode in answering silent; do
  if [ "$mode" = answering ]; then start_sim --baud 57600; else start_sim --baud 57600 --silent; fi
  TQ330_PORTS=$device "$updater" >/dev/null 2>&1 &
  app_pid=$!
  share=$(cpu_share)
  kill "$app_pid"; wait "$app_pid" 2>/dev/null || true; app_pid=""
  stop_sim
  echo "idle window, target $mode: ${share}% of one core over ${idle} s"
done

if [ "${FULL_UPDATE:-1}" != 0 ]; then
  # From the press of Start to the final status, against the line-time floor of every exchange the
  # simulator logged: each character at 11 bits (8O1) at 57600 baud, plus the clear's own delay.
  clear_ms=1500
  start_sim --baud 57600 --clear-ms "$clear_ms" --log "$work/sim.log"
  out=$(TQ330_PORTS=$device TQ330_AUTOSTART=1 TQ330_AUTOCLOSE=1 TQ330_TIMESTAMPS=1 "$driven" 2>/dev/null)
  stop_sim
  t_start=$(awk '$1 == "start" {print $2}' <<<"$out")
  t_end=$(awk '$1 == "end" {print $2}' <<<"$out")
  echo "whole update at 57600 baud: $(grep '^final' <<<"$out")"
  awk -v ts="$t_start" -v te="$t_end" -v clear_ms="$clear_ms" -f "$(dirname "$0")/update_floor.awk" "$work/sim.log"
fi
