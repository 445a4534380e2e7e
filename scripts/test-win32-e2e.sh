#!/usr/bin/env bash
# End-to-end test of the Windows program: the shipped tq330-updater.exe under Wine, with COM1 mapped
# to the pseudo-terminal of tq330-sim, driven from outside by tests/win32/win32_drive.exe (finds the
# window by its title, checks its controls, presses its buttons, reads its status line). Cases:
#   update        a whole update ends "Target updated successfully", still shown 2 s later, and the
#                 simulator's flash is the image; Ok ends the program with exit code 0
#   reject        a block the device rejects ends "Target not updated successfully"
#   close-clear   the close box while "Clear target" shows (a 20 s erase) ends the program within 3 s
#   escape-clear  the same with the Escape key
#   close-program the close box while it programs (the worker inside sent progress messages)
#   noport        no COM port: the "Error" box with its text; closing it ends the program, exit code 0
#   replug-idle   COM1 mapped to the link of a simulated USB adapter that is pulled while the window
#                 waits and comes back 6 s later: lost, connected again by itself, responsive all
#                 the while; prints the CPU use while it is away and the time to the reconnection
#   replug-update the adapter pulled during the programming and back 2 s later: "Target not
#                 updated successfully", then the re-run ends "Target updated successfully" and
#                 the simulator's flash is the image
# Needs the win64 build (tq330-updater.exe, win32_drive.exe) and the dev build's tq330-sim and
# sim_flash_of. Each run uses a throw-away Wine prefix; without a display it runs under xvfb-run.
# Usage: scripts/test-win32-e2e.sh [WIN64_BUILD_DIR [DEV_BUILD_DIR [CASE...]]]
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
win=${1:-$repo/build/win64}
dev=${2:-$repo/build/dev}
shift $(($# > 2 ? 2 : $#))
cases=("$@")
[ ${#cases[@]} -gt 0 ] || cases=(update reject close-clear escape-clear close-program noport replug-idle replug-update)

if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$win" "$dev" "${cases[@]}"
fi

exe=$win/app/win32/tq330-updater.exe
drive=$win/tests/win32/win32_drive.exe
sim=$dev/tools/tq330-sim/tq330-sim
flash_of=$dev/tests/sim/sim_flash_of
for f in "$exe" "$drive" "$sim" "$flash_of"; do
  [ -x "$f" ] || [ -f "$f" ] || { echo "missing $f (build the win64 and dev presets first)" >&2; exit 2; }
done

# shellcheck source=wine-prefix.sh
source "$repo/scripts/wine-prefix.sh"
# shellcheck source=wine-away.sh
source "$repo/scripts/wine-away.sh"

t_all=$(date +%s)
mkdir "$work/not-a-port"
wine_boot

start_sim() { # starts the simulator with the given options; sets sim_pid and device
  "$sim" "$@" >"$work/sim.out" 2>"$work/sim.err" &
  sim_pid=$!
  for _ in $(seq 100); do
    device=$(head -n1 "$work/sim.out" 2>/dev/null || true)
    [ -n "$device" ] && return 0
    sleep 0.05
  done
  echo "the simulator did not start" >&2
  exit 1
}
stop_sim() { kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; sim_pid=""; }

# Wine reads its port table when its server starts. It maps the machine's own serial devices
# (/dev/ttyS*) to the COM names left free, and opens /dev/ttyS<n-1> for a name mapped to nothing or
# to a missing device; a folder cannot be opened as a port, so a name mapped to one is absent and the
# program sees only the simulator (or nothing).
map_ports() { # map_ports DEVICE|""
  "$wineserver" -k 2>/dev/null || true
  "$wineserver" -w
  {
    printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n'
    for n in 1 2 3 4 5 6 7 8 9; do
      value=$work/not-a-port
      [ "$n" = 1 ] && [ -n "$1" ] && value=$1
      printf '"COM%s"="%s"\n' "$n" "$value"
    done
    # Xvfb runs no window manager: Wine then draws the frames itself and does not wait for a window
    # manager to take a hidden window away (about 2 s at every end).
    printf '\n[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\n"Managed"="N"\n'
  } >"$work/ports.reg"
  "$wine" reg import "$("$wine" winepath -w "$work/ports.reg" 2>/dev/null)" >/dev/null 2>&1
  "$wineserver" -k 2>/dev/null || true
  "$wineserver" -w
}

drive() { # drive CASE: runs the driver; its output indented
  "$wine" "$drive" "$1" "$("$wine" winepath -w "$exe" 2>/dev/null)" 2>/dev/null | tr -d '\r' | sed 's/^/  /'
  return "${PIPESTATUS[0]}"
}

check_flash() { # the simulator's flash (its dump) against the image
  "$flash_of" "$work/expected"
  if cmp -s "$work/flash" "$work/expected"; then
    echo "  ok   the simulator's flash is the image"
  else
    echo "  FAIL the simulator's flash is not the image"; return 1
  fi
}

# The window against the adapter that is pulled while it waits: the driver runs in the background
# so that the CPU time of the program and of the Wine server can be read while the adapter is away.
replug_idle() {
  local raw=$work/drive.raw rc=0
  "$wine" "$drive" replug-idle "$("$wine" winepath -w "$exe" 2>/dev/null)" >"$raw" 2>/dev/null &
  local drive_pid=$!
  for _ in $(seq 1500); do grep -q '^lost at' "$raw" 2>/dev/null && break; sleep 0.02; done
  local exe_pid server_pid t0 exe0 server0 back
  exe_pid=$(wine_pid 'tq330-updater.exe')
  server_pid=$(wine_pid 'wineserver')
  t0=$(date +%s.%N)
  exe0=$(cpu_ticks "$exe_pid")
  server0=$(cpu_ticks "$server_pid")
  wait_lines "$work/sim.out" 2 30 || { echo "  FAIL the adapter did not come back"; rc=1; }
  back=$(date +%s.%N)
  local exe_share server_share
  exe_share=$(away_share "$exe_pid" "$exe0" "$t0")
  server_share=$(away_share "$server_pid" "$server0" "$t0")
  wait "$drive_pid" || rc=$?
  tr -d '\r' <"$raw" | sed 's/^/  /'
  local connected
  connected=$(tr -d '\r' <"$raw" | sed -n 's/^connected again at //p')
  printf '  figure: while away tq330-updater.exe %s %%, wineserver %s %% of a core; connected %s s after the return\n' \
    "$exe_share" "$server_share" "$(awk -v a="$connected" -v b="$back" 'BEGIN { printf "%.3f", a - b }')"
  # A spinning worker would take a whole core; the figure itself is the benchmark's.
  awk -v s="$exe_share" 'BEGIN { exit !(s < 10) }' || { echo "  FAIL the program spins while the adapter is away"; rc=1; }
  return $rc
}

failed=0
for c in "${cases[@]}"; do
  t0=$(date +%s.%N)
  echo "== $c"
  rc=0
  case $c in
    update)
      # Paced at four times the device's speed: the programming lasts long enough to be watched.
      start_sim --baud 230400 --clear-ms 500 --dump "$work/flash"
      map_ports "$device"
      drive update || rc=$?
      stop_sim
      check_flash || rc=1
      ;;
    reject)
      start_sim --baud 0 --clear-ms 500 --reject-at 0xB0000
      map_ports "$device"
      drive reject || rc=$?
      stop_sim
      ;;
    close-clear | escape-clear)
      start_sim --baud 0 --clear-ms 20000
      map_ports "$device"
      drive "$c" || rc=$?
      stop_sim
      ;;
    close-program)
      start_sim --baud 57600 --clear-ms 300
      map_ports "$device"
      drive "$c" || rc=$?
      stop_sim
      ;;
    noport)
      map_ports ""
      drive noport || rc=$?
      ;;
    replug-idle)
      start_sim --baud 0 --link "$work/usb-TQ330" --unplug-after-polls 30 --unplug-adapter --replug-ms 6000
      map_ports "$work/usb-TQ330"
      replug_idle || rc=$?
      stop_sim
      ;;
    replug-update)
      start_sim --baud 0 --clear-ms 300 --link "$work/usb-TQ330" --unplug-after-blocks 200 --unplug-adapter \
        --replug-ms 2000 --dump "$work/flash"
      map_ports "$work/usb-TQ330"
      drive replug-update || rc=$?
      stop_sim
      check_flash || rc=1
      ;;
    *) echo "unknown case $c" >&2; rc=2 ;;
  esac
  t1=$(date +%s.%N)
  printf '%s %s (%.1f s)\n' "$([ $rc = 0 ] && echo PASSED || echo FAILED)" "$c" "$(echo "$t1 - $t0" | bc)"
  [ $rc = 0 ] || failed=1
done
echo "all cases: $(( $(date +%s) - t_all )) s"
exit $failed
