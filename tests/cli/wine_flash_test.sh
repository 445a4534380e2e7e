#!/usr/bin/env bash
# tq330-flash.exe of a Windows build (32- or 64-bit) under Wine, in a prefix with 32-bit support,
# against tq330-sim (the Linux build) on COM ports mapped to the simulators' pseudo-terminals: one
# update on COM12 (a number the window does not offer; opened as \\.\COM12) that must leave the image
# in the flash and report it updated, and --list naming that port (Windows' SERIALCOMM key); two
# ports at once (CreateProcess), one of them rejecting a block, which must end with the worst code,
# 1; two ports whose children end as a crash (0xC0000409) would, 1, or by Ctrl-C (0xC000013A), 130,
# never 0; and --check on an erased device, 1. Every run gets simulators of its own: under Wine a
# second open of a pseudo-terminal another process had open fails in SetCommState.
# Usage: wine_flash_test.sh WINDOWS_BUILD_DIR TQ330-SIM   (build/win32 or build/win64)
set -euo pipefail
exe=$1/app/cli/tq330-flash.exe
end_child=$1/tests/win32/win32_end_child.exe
sim=$2
work=$(mktemp -d)
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=d;mshtml=d"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

start_sim() { # start_sim NAME [OPTIONS...]: prints the device
  local name=$1
  shift
  "$sim" --baud 0 --clear-ms 100 --app-ms 200 --dump "$work/$name.flash" "$@" >"$work/$name.out" 2>/dev/null &
  pids+=($!)
  for _ in $(seq 100); do
    local device
    device=$(head -n1 "$work/$name.out" 2>/dev/null || true)
    [ -n "$device" ] && { echo "$device"; return 0; }
    sleep 0.05
  done
  fail "the simulator did not start"
}
map() { wine reg add 'HKLM\Software\Wine\Ports' /v "$1" /d "$2" /f >/dev/null 2>&1; }

wineboot -i >/dev/null 2>&1 || true
map COM12 "$(start_sim one)"
map COM2 "$(start_sim good)"
map COM3 "$(start_sim bad --reject-at 0xC0000)"
map COM4 "$(start_sim erased)"
# Still clearing (a minute) when their children are ended from outside.
for n in 5 6 7 8; do map COM$n "$(start_sim slow$n --clear-ms 60000)"; done
wineserver -k 2>/dev/null || true # the port mapping takes effect on the next start

set +e
wine "$exe" --port COM12 --json >"$work/one.json" 2>"$work/one.err"
code=$?
set -e
[ "$code" = 0 ] || fail "COM12: exit $code: $(tail -n3 "$work/one.err")"
grep -q '"event":"result".*"result":"updated"' "$work/one.json" || fail "COM12: no 'updated' result"

wine "$exe" --list --json >"$work/list.json" 2>/dev/null || fail "--list: exit $?"
grep -q '"event":"port","t":[0-9.]*,"port":"COM12"' "$work/list.json" || fail "--list does not name COM12"

set +e
wine "$exe" --port COM2 --port COM3 --json >"$work/two.json" 2>"$work/two.err"
code=$?
set -e
[ "$code" = 1 ] || fail "two ports: exit $code, not 1"
grep -q '"event":"summary","t":[0-9.]*,"port":"COM2","result":"updated"' "$work/two.json" || fail "two ports: COM2 not updated"
grep -q '"event":"summary","t":[0-9.]*,"port":"COM3","result":"not updated"' "$work/two.json" ||
  fail "two ports: COM3 not 'not updated'"

# ended PORT PORT STATUS: the exit code of a two-port run whose children end with STATUS.
ended() {
  wine "$exe" --port "$1" --port "$2" --json >"$work/ended.json" 2>/dev/null &
  local parent=$!
  wine "$end_child" tq330-flash.exe 2 "$3" >/dev/null || fail "the children on $1 and $2 were not ended"
  local code=0
  wait "$parent" || code=$?
  echo "$code"
}
code=$(ended COM5 COM6 0xC0000409)
[ "$code" = 1 ] || fail "children that crashed: exit $code, not 1"
code=$(ended COM7 COM8 0xC000013A)
[ "$code" = 130 ] || fail "children ended by Ctrl-C: exit $code, not 130"

set +e
wine "$exe" --port COM4 --check --json >"$work/check.json" 2>/dev/null
code=$?
set -e
[ "$code" = 1 ] || fail "--check on an erased device: exit $code, not 1"
grep -q '"result":"differs"' "$work/check.json" || fail "--check: no 'differs' result"
echo "$(basename "$1") tq330-flash.exe under Wine: COM12, --list, two ports, crashed and interrupted children, --check: passed"
