#!/usr/bin/env bash
# Installs what is missing, builds, and runs the updater's main job: the program in its window,
# updating the bundled device simulator over a pseudo-terminal at the device's own 57600 baud.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset dev >/dev/null
cmake --build --preset dev -j2 --target tq330-updater tq330-sim

build=build/dev
sim_log=$(mktemp)
sim_out=$(mktemp)
"$build/tools/tq330-sim/tq330-sim" --baud 57600 --clear-ms 1500 --log "$sim_log" >"$sim_out" &
sim_pid=$!
trap 'kill $sim_pid 2>/dev/null; wait $sim_pid 2>/dev/null; rm -f "$sim_out"' EXIT
for _ in $(seq 50); do [ -s "$sim_out" ] && break; sleep 0.1; done
port=$(head -n 1 "$sim_out")
echo "device simulator on $port (COM1); its command log: $sim_log"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display here. The updater is a window: run this script under a virtual display,"
  echo "  xvfb-run -a bash scripts/run-demo.sh"
  echo "or on a desktop session. Meanwhile the simulator is ready at $port."
  exit 1
fi
TQ330_PORTS="$port" "$build/app/tq330-updater"
echo "updater ended; commands the device saw:"
cut -d' ' -f1 "$sim_log" | uniq -c
