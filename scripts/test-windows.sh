#!/usr/bin/env bash
# Builds the Windows programs and their test suites for one architecture (preset win32 or win64) and
# runs the suites under Wine in a throw-away prefix with 32-bit support (the layout of a real 64-bit
# Windows), and checks that each program imports only functions Windows 7 has. The COM suite talks
# to Linux processes through COM ports that Wine maps to pseudo-terminals: COM1 an echo peer, COM2 a
# peer that replies in pieces, COM3 tq330-sim (whose flash dump must then equal the image the suite
# programmed), COM4 a peer that goes away, COM5 the link of a simulated USB adapter that is pulled
# and plugged in again. Those Linux programs come from a Linux build of the
# project (build/ci, or the folder in TQ330_LINUX_BUILD), configured here if missing. Exits non-zero
# if any suite or check fails.
# Usage: scripts/test-windows.sh [win32|win64] [--build-only]   (default win64)
#   --build-only: the shipped programs' build and their import check, nothing run under Wine
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo"
arch=${1:-win64}
build_only=${2:-}
case $arch in
win32 | win64) ;;
*)
  echo "usage: $0 [win32|win64]" >&2
  exit 2
  ;;
esac
linux_build="$(realpath -m "${TQ330_LINUX_BUILD:-build/ci}")"
win_build=build/$arch

now() { date +%s.%N; }
since() { awk -v s="$1" -v e="$(now)" 'BEGIN { printf "%.1f", e - s }'; }
timings=()

start=$(now)
cmake --preset "$arch" >/dev/null
if [ "$build_only" = --build-only ]; then
  # The shipped programs alone: their imports are what this checks; the suites are built by the run.
  cmake --build --preset "$arch" --target tq330-updater tq330-flash
else
  cmake --build --preset "$arch"
fi
timings+=("$arch build: $(since "$start") s")

bash tests/win32/check_imports.sh "$win_build/app/win32/tq330-updater.exe" "$win_build/app/cli/tq330-flash.exe"
if [ "$build_only" = --build-only ]; then
  printf '%s\n' "${timings[@]}"
  exit 0
fi

start=$(now)
[ -f "$linux_build/CMakeCache.txt" ] || cmake --preset ci -B "$linux_build" >/dev/null
# The pty shim for the processes of the architecture's Wine (the i386 one for 32-bit programs).
shims=(com_win32_pty_parity)
[ "$arch" = win32 ] && shims+=(com_win32_pty_parity32)
cmake --build "$linux_build" --target tq330-sim com_win32_peer "${shims[@]}"
timings+=("Linux peers build: $(since "$start") s")

# shellcheck source=wine-prefix.sh
source "$repo/scripts/wine-prefix.sh"

start=$(now)
wine_boot
timings+=("wineboot -i: $(since "$start") s")

failed=()
suite_timeout=600
run_suite() { # name, exe, arguments...
  local name="$1" exe="$2"
  shift 2
  local start
  start=$(now)
  echo "=== $name"
  # A suite that hangs (a port call that never returns) fails instead of stopping CI.
  if timeout "$suite_timeout" "$wine" "$exe" "$@"; then
    timings+=("$name: $(since "$start") s")
  else
    timings+=("$name: $(since "$start") s, FAILED")
    failed+=("$name")
  fi
}

for suite in image/image_tests firmware/firmware_tests firmware/firmware_defective_tests link/link_tests \
             update/update_tests win32/cli_win32_tests; do
  run_suite "$(basename "$suite")" "$win_build/tests/$suite.exe"
done

# Starts a Linux peer; sets peer_pty to the pseudo-terminal it serves (its first line of output).
start_peer() { # output file, program, arguments...
  local out="$1"
  shift
  "$@" >"$out" &
  wine_pids+=($!)
  for _ in $(seq 100); do
    [ -s "$out" ] && break
    sleep 0.05
  done
  peer_pty=$(head -n 1 "$out")
  [ -n "$peer_pty" ] || { echo "$1 did not start" >&2; exit 1; }
}
start_peer "$work/echo.out" "$linux_build/tests/com_win32/com_win32_peer" echo
echo_pty=$peer_pty
start_peer "$work/split.out" "$linux_build/tests/com_win32/com_win32_peer" split "$work/split.count"
split_pty=$peer_pty
start_peer "$work/gone.out" "$linux_build/tests/com_win32/com_win32_peer" gone
gone_pty=$peer_pty
start_peer "$work/sim.out" "$linux_build/tools/tq330-sim/tq330-sim" --baud 0 --clear-ms 50 --dump "$work/flash.bin"
sim_pty=$peer_pty
sim_pid=${wine_pids[-1]}
"$wine" reg add 'HKLM\Software\Wine\Ports' /v COM1 /d "$echo_pty" /f >/dev/null
"$wine" reg add 'HKLM\Software\Wine\Ports' /v COM2 /d "$split_pty" /f >/dev/null
"$wine" reg add 'HKLM\Software\Wine\Ports' /v COM3 /d "$sim_pty" /f >/dev/null
"$wine" reg add 'HKLM\Software\Wine\Ports' /v COM4 /d "$gone_pty" /f >/dev/null
# COM5: a USB adapter pulled after its first answer and back 1.5 s later, mapped to its link (Wine
# opens the mapped path anew on every CreateFileA, so the link leads it to the new pty).
start_peer "$work/replug.out" "$linux_build/tools/tq330-sim/tq330-sim" --baud 0 --link "$work/replug-link" \
  --unplug-after-polls 1 --unplug-adapter --replug-ms 1500
"$wine" reg add 'HKLM\Software\Wine\Ports' /v COM5 /d "$work/replug-link" /f >/dev/null
# Wine makes its COM devices from that key when its server starts. Started here, so that its
# dump of objects at exit goes to a log instead of the suite's output.
"$wineserver" -k
"$wineserver" -w
"$wineserver" -p >"$work/wineserver.log" 2>&1

# A pseudo-terminal has no parity bit. Wine's SetCommState with odd parity works on the first open
# of a pty and fails on every later one (glibc reports the dropped parity enable once nothing else
# changes); the shim lets the pty take the program's settings every time.
LD_PRELOAD="$linux_build/tests/com_win32/pty_parity/\$LIB/libcom_win32_pty_parity.so" \
  run_suite com_win32_tests "$win_build/tests/com_win32/com_win32_tests.exe" \
  --echo-port=0 --split-port=1 --split-count="Z:$work/split.count" --sim-port=2 --gone-port=3 --flash-out="Z:$work/expected.bin" --replug-port=4

# What Wine made of the program's line settings on the echo peer's pty, which the peer left cooked
# (echo, canonical, CR to NL, XON/XOFF): 57600 baud, 8 bits, odd parity checked on input (the pty
# itself drops the parity enable), one stop bit, no flow control, raw both ways.
tokens=$(stty -a -F "$echo_pty" | tr ' ;' '\n\n')
missing=()
for flag in 57600 cs8 parodd inpck -cstopb -crtscts -ixon -ixoff -icrnl -inlcr -igncr -istrip -parmrk \
            -opost -icanon -echo -isig -iexten; do
  grep -qx -- "$flag" <<<"$tokens" || missing+=("$flag")
done
if [ ${#missing[@]} -eq 0 ]; then
  timings+=("line settings on the pty: 57600 8O1, raw, no flow control")
else
  timings+=("line settings on the pty: missing ${missing[*]}")
  failed+=("line settings")
fi

kill "$sim_pid"
wait "$sim_pid" || true
sim_pid=""
if cmp -s "$work/flash.bin" "$work/expected.bin"; then
  timings+=("simulator flash after the COM suite: equal to the image")
else
  timings+=("simulator flash after the COM suite: DIFFERS from the image")
  failed+=("simulator flash")
fi

echo
printf '%s\n' "${timings[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "All $arch suites passed under Wine."
