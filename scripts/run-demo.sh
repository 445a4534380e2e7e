#!/usr/bin/env bash
# Installs what is missing, builds, and runs the updater's main job: the program in its window,
# updating the bundled device simulator over a pseudo-terminal at the device's own 57600 baud.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh demo
cmake --preset dev >/dev/null
cmake --build --preset dev -j2 --target tq330-updater tq330-updater-driven tq330-sim

build=build/dev
sim_log=$(mktemp)
sim_out=$(mktemp)
"$build/tools/tq330-sim/tq330-sim" --baud 57600 --clear-ms 1500 --log "$sim_log" >"$sim_out" &
sim_pid=$!
trap 'kill $sim_pid 2>/dev/null; wait $sim_pid 2>/dev/null; rm -f "$sim_out" "$sim_log"' EXIT
for _ in $(seq 50); do [ -s "$sim_out" ] && break; sleep 0.1; done
port=$(head -n 1 "$sim_out")
echo "device simulator on $port, listed as COM1"

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  echo "Press Start in the window; close it (Ok) when it reports the result."
  TQ330_PORTS="$port" "$build/app/qt/tq330-updater"
else
  echo "No display here: the updater is a window. On a desktop session this script opens it for you;"
  echo "here it runs under a virtual display (xvfb-run), presses Start and Ok by itself, and prints"
  echo "the final state. An update at the device's 57600 baud takes about 70 s."
  # The driven build is the same program with the switches that press Start and Ok (test-only).
  TQ330_PORTS="$port" TQ330_AUTOSTART=1 TQ330_AUTOCLOSE=1 xvfb-run -a "$build/tests/drive/tq330-updater-driven"
fi
echo "commands the device saw (polls left out):"
grep -v '^cmd=0 ' "$sim_log" | awk '{split($1, c, "="); n[c[2]]++; if (!(c[2] in seen)) {seen[c[2]] = 1; order[++k] = c[2]}}
  END {split("identify clear program make-valid check-blank get-CRC - start-application", name, " ");
       for (i = 1; i <= k; i++) printf "  %-18s %d\n", name[order[i] + 1], n[order[i]]}'
