#!/usr/bin/env bash
# Figures of the Windows program under Wine, against tq330-sim on COM1 (not a test: nothing fails):
#   a whole update at 57600 baud, from the click on Start to the final status, against the
#   line-time floor of every exchange the simulator logged (bench/app/update_floor.awk);
#   the CPU share of the program's process while its dialog polls a silent target (the identify
#   poll timing out over and over), and of the Wine server beside it.
# Needs a Windows build, 32- or 64-bit (build/win32 or build/win64: tq330-updater.exe,
# win32_drive.exe), and the dev build's tq330-sim; runs in a prefix with 32-bit support.
# Usage: bench/win32/run_win32_bench.sh [WINDOWS_BUILD_DIR [DEV_BUILD_DIR [IDLE_SECONDS]]]
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
win=${1:-$repo/build/win64}
dev=${2:-$repo/build/dev}
idle=${3:-20}
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$win" "$dev" "$idle"
fi
exe=$win/app/win32/tq330-updater.exe
drive=$win/tests/win32/win32_drive.exe
sim=$dev/tools/tq330-sim/tq330-sim

# shellcheck source=wine-prefix.sh
source "$repo/scripts/wine-prefix.sh"
wine_boot
mkdir "$work/not-a-port"

start_sim() {
  "$sim" "$@" >"$work/sim.out" 2>/dev/null &
  sim_pid=$!
  for _ in $(seq 100); do device=$(head -n1 "$work/sim.out" 2>/dev/null || true); [ -n "$device" ] && return 0; sleep 0.05; done
  echo "the simulator did not start" >&2
  exit 1
}
stop_sim() { kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; sim_pid=""; }
map_com1() { # COM1 to the device, COM2..COM9 to nothing; Wine draws its own frames (no window manager)
  "$wineserver" -k 2>/dev/null || true
  "$wineserver" -w
  {
    printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n"COM1"="%s"\n' "$1"
    for n in 2 3 4 5 6 7 8 9; do printf '"COM%s"="%s"\n' "$n" "$work/not-a-port"; done
    printf '\n[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\n"Managed"="N"\n'
  } >"$work/ports.reg"
  "$wine" reg import "$("$wine" winepath -w "$work/ports.reg" 2>/dev/null)" >/dev/null 2>&1
  "$wineserver" -k 2>/dev/null || true
  "$wineserver" -w
}
exe_w=$("$wine" winepath -w "$exe" 2>/dev/null)

# The whole update: the driver times Start to the final status on its own clock.
clear_ms=1500
start_sim --baud 57600 --clear-ms "$clear_ms" --log "$work/sim.log"
map_com1 "$device"
out=$("$wine" "$drive" time "$exe_w" 2>/dev/null | tr -d '\r' || true)
stop_sim
seconds=$(awk '/^final status/ {print $(NF-1)}' <<<"$out")
echo "whole update at 57600 baud under Wine: $(grep '^final status' <<<"$out")"
awk -v ts=0 -v te="$seconds" -v clear_ms="$clear_ms" -f "$repo/bench/app/update_floor.awk" "$work/sim.log"

# Idle with a silent target: the program polls, every poll times out.
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
start_sim --baud 57600 --silent
map_com1 "$device"
"$wine" "$drive" idle "$exe_w" $((idle + 6)) >"$work/idle.out" 2>/dev/null &
drive_pid=$!
for _ in $(seq 300); do grep -q 'window shown' "$work/idle.out" 2>/dev/null && break; sleep 0.1; done
sleep 3
# The program's Linux process (the Wine process whose command line starts with its path) and the
# Wine server, both of this run's prefix: other Wine sessions may run on the machine.
ours() { # ours PATTERN: the newest process matching it that runs in this prefix
  local pid
  for pid in $(pgrep -f "$1" | sort -rn); do
    tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX" && { echo "$pid"; return; }
  done
}
app_pid=$(ours '^[^ ]*tq330-updater\.exe$')
server_pid=$(ours 'wineserver')
[ -n "$app_pid" ] || { echo "the program's process was not found" >&2; exit 1; }
hz=$(getconf CLK_TCK)
a0=$(cpu_ticks "$app_pid"); s0=$(cpu_ticks "$server_pid")
sleep "$idle"
a1=$(cpu_ticks "$app_pid"); s1=$(cpu_ticks "$server_pid")
wait "$drive_pid" || true
stop_sim
awk -v a=$((a1 - a0)) -v s=$((s1 - s0)) -v hz="$hz" -v t="$idle" 'BEGIN {
  printf "idle, silent target: tq330-updater.exe %.2f%% of one core over %d s (wineserver %.2f%%)\n",
         a * 100 / (hz * t), t, s * 100 / (hz * t) }'
