# Sourced by the whole-update benchmarks of tq330-flash: paced simulators in $work (killed by the
# caller's cleanup through $pids) and the time of an event in tq330-flash's JSON.
start_sim() { # start_sim NAME [OPTIONS...]: a simulator at 57600 baud logging to $work/NAME.log; prints its device
  local name=$1
  shift
  "$sim" --baud 57600 --clear-ms "$clear_ms" --app-ms 600000 --log "$work/$name.log" "$@" >"$work/$name.out" 2>/dev/null &
  pids+=($!)
  for _ in $(seq 100); do
    local device
    device=$(head -n1 "$work/$name.out" 2>/dev/null || true)
    [ -n "$device" ] && { echo "$device"; return 0; }
    sleep 0.05
  done
  echo "the simulator did not start" >&2
  exit 1
}
event_time() { # event_time FILE EVENT: the "t" of the first such event
  grep "\"event\":\"$2\"" "$1" | head -n1 | sed 's/.*"t":\([0-9.]*\).*/\1/'
}
