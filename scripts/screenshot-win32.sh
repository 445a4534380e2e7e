#!/usr/bin/env bash
# Takes docs/screenshot-win32.png: the real Win32 window of tq330-updater.exe under Wine and Xvfb,
# while it programs tq330-sim on COM1 (the line paced at 57600 baud, so the bar stands still long
# enough). Needs the win64 build and the dev build's tq330-sim; ImageMagick's import and convert.
# Usage: scripts/screenshot-win32.sh [WIN64_BUILD_DIR [DEV_BUILD_DIR [OUT.png]]]
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
win=${1:-$repo/build/win64}
dev=${2:-$repo/build/dev}
out=${3:-$repo/docs/screenshot-win32.png}
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 800x500x24" "$0" "$win" "$dev" "$out"
fi
# shellcheck source=wine-prefix.sh
source "$repo/scripts/wine-prefix.sh"
wine_boot
"$dev/tools/tq330-sim/tq330-sim" --baud 57600 --clear-ms 300 >"$work/sim.out" 2>/dev/null &
sim_pid=$!
for _ in $(seq 100); do device=$(head -n1 "$work/sim.out" 2>/dev/null || true); [ -n "$device" ] && break; sleep 0.05; done
# COM1 is the simulator; Wine draws the frame itself (no window manager runs on Xvfb).
mkdir "$work/not-a-port"
{
  printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n"COM1"="%s"\n' "$device"
  for n in 2 3 4 5 6 7 8 9; do printf '"COM%s"="%s"\n' "$n" "$work/not-a-port"; done
  printf '\n[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\n"Managed"="N"\n'
} >"$work/setup.reg"
"$wine" reg import "$("$wine" winepath -w "$work/setup.reg" 2>/dev/null)" >/dev/null 2>&1
"$wineserver" -k 2>/dev/null || true
"$wineserver" -w
"$wine" "$win/tests/win32/win32_drive.exe" hold "$("$wine" winepath -w "$win/app/win32/tq330-updater.exe" 2>/dev/null)" \
  "$("$wine" winepath -w "$work/taken" 2>/dev/null)" >"$work/drive.out" 2>/dev/null &
drive_pid=$!
for _ in $(seq 1200); do grep -q '^window' "$work/drive.out" 2>/dev/null && break; sleep 0.1; done
geometry=$(tr -d '\r' <"$work/drive.out" | awk '/^window/ {print $2}')
[ -n "$geometry" ] || { echo "the window did not reach programming" >&2; exit 1; }
sleep 0.5
tr -d "\r" <"$work/drive.out"
import -window root "$work/root.png"
convert "$work/root.png" -crop "$geometry" +repage "$out"
touch "$work/taken"
wait "$drive_pid" || true
echo "wrote $out ($geometry)"
