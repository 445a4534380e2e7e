# Sourced by the package scripts: a simulator on a pseudo-terminal and an update of it. Needs fail()
# and a scratch folder $work; sets pty and sim_pid.
sim_pid=""

# Starts a simulator (the command given) on a pseudo-terminal; sets pty and sim_pid.
start_sim() {
  "$@" --baud 0 --clear-ms 10 --app-ms 10 --log "$work/sim.log" >"$work/sim.out" &
  sim_pid=$!
  for _ in $(seq 100); do
    [ -s "$work/sim.out" ] && break
    sleep 0.1
  done
  pty="$(head -n1 "$work/sim.out")"
  [ -c "$pty" ] || fail "$* serves no pseudo-terminal (got '$pty')"
}
stop_sim() {
  kill "$sim_pid"
  wait "$sim_pid" 2>/dev/null || true
  sim_pid=""
}
# Updates the device on pty with a tq330-flash (the command given) and says how long it took.
update_with() {
  local start=$SECONDS
  # Bounded: an update of the simulator takes seconds, even emulated; a hang must fail, not stall CI.
  timeout -k 10 300 "$@" --port "$pty" >"$work/flash.out" 2>&1 || { cat "$work/flash.out"; fail "$* --port $pty"; }
  grep -q "Target updated successfully" "$work/flash.out" || { cat "$work/flash.out"; fail "$* did not update"; }
  echo "$*: Target updated successfully ($((SECONDS - start)) s)"
}

# The window program (the command given) on the offscreen platform: it starts, finds the simulator
# on pty as COM1 and its worker polls the device, which the simulator logs as identify commands.
window_polls() {
  local rc
  : >"$work/sim.log"
  set +e
  TQ330_PORTS="$pty" QT_QPA_PLATFORM=offscreen timeout 4 "$@" >"$work/updater.out" 2>&1
  rc=$?
  set -e
  [ $rc -eq 124 ] || { cat "$work/updater.out"; fail "$* ended by itself (status $rc)"; }
  grep -q '^cmd=0 ' "$work/sim.log" || { cat "$work/updater.out"; fail "$* never polled the simulator"; }
  echo "$*: ran 4 s offscreen and polled the simulator $(grep -c '^cmd=0 ' "$work/sim.log") times"
}
