#!/usr/bin/env bash
# tq330-flash.exe of a Windows build (32- or 64-bit) under Wine, in a prefix with 32-bit support,
# against tq330-sim (the Linux build) on COM ports mapped to the simulators' pseudo-terminals: one
# update on COM12 (a number the window does not offer; opened as \\.\COM12) that must leave the image
# in the flash and report it updated, and --list naming that port (Windows' SERIALCOMM key); two
# ports at once (CreateProcess), one of them rejecting a block, which must end with the worst code,
# 1; two ports whose children end as a crash (0xC0000409) would, 1, or by Ctrl-C (0xC000013A), 130,
# never 0; --check on an erased device, 1, its record line on a line of its own; and --serve's
# /state and /metrics read from Linux. Every run gets
# simulators of its own: under Wine a second open of a pseudo-terminal another process had open
# fails in SetCommState. Then the doctor, a pulled adapter, and a device behind Debian's ser2net by
# rfc2217:// (Winsock on loopback).
# Usage: wine_flash_test.sh WINDOWS_BUILD_DIR TQ330-SIM   (build/win32 or build/win64)
set -euo pipefail
exe=$1/app/cli/tq330-flash.exe
end_child=$1/tests/win32/win32_end_child.exe
sim=$2
work=$(mktemp -d)
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=d;mshtml=d"
# start_sim runs in a command substitution, a subshell: it leaves each pid in a file, not a variable.
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  # Those started inside $(...) are known only by the file.
  [ -f "$work/sim.pids" ] && xargs -r kill <"$work/sim.pids" 2>/dev/null || true
  for f in "$work"/*.pid; do [ -e "$f" ] && kill "$(cat "$f")" 2>/dev/null || true; done
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
  echo $! >>"$work/sim.pids"
  echo $! >"$work/$name.pid"
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

# With a record whose last line an earlier run could write only in part: the new line starts on a
# line of its own, and the half line stays as it was.
printf '{"half":"li' >"$work/record.jsonl"
set +e
wine "$exe" --port COM4 --check --json --record "Z:$work/record.jsonl" >"$work/check.json" 2>/dev/null
code=$?
set -e
[ "$code" = 1 ] || fail "--check on an erased device: exit $code, not 1"
grep -q '"result":"differs"' "$work/check.json" || fail "--check: no 'differs' result"
[ "$(sed -n 1p "$work/record.jsonl")" = '{"half":"li' ] && [ "$(wc -l <"$work/record.jsonl")" = 2 ] &&
  sed -n 2p "$work/record.jsonl" | grep -q '^{"time":.*"id_byte":"0x33",.*"result":"differs"' ||
  fail "--record: the line is not whole on a line of its own: $(cat "$work/record.jsonl")"
echo "$(basename "$1") tq330-flash.exe under Wine: COM12, --list, two ports, crashed and interrupted children, --check: passed"

# The station's page served by the Windows program (Winsock, on loopback) and read by curl on Linux:
# /state and /metrics once the device on COM11 is updated.
map COM11 "$(start_sim station --app-ms 600000)"
wineserver -k 2>/dev/null || true
serve_port=$((20000 + RANDOM % 30000))
wine "$exe" --port COM11 --loop --quiet --serve "$serve_port" >/dev/null 2>"$work/serve.err" &
echo $! >"$work/serve.pid"
for _ in $(seq 600); do
  curl -sf "http://127.0.0.1:$serve_port/state" -o "$work/state.json" 2>/dev/null &&
    grep -q '"state":"updated"' "$work/state.json" && break
  sleep 0.2
done
grep -q '"port":"COM11".*"state":"updated"' "$work/state.json" 2>/dev/null ||
  fail "--serve: /state does not say COM11 updated: $(cat "$work/state.json" 2>/dev/null) $(tail -n3 "$work/serve.err")"
curl -sf "http://127.0.0.1:$serve_port/metrics" | grep -q '^tq330_results_total{port="COM11",result="updated"} 1$' ||
  fail "--serve: /metrics does not count COM11's update"
kill "$(cat "$work/serve.pid")" 2>/dev/null || true
wait "$(cat "$work/serve.pid")" 2>/dev/null || true
echo "tq330-flash.exe --serve under Wine: /state and /metrics read by curl on Linux: passed"

# The doctor: COM1 mapped to a boot loader of its own, with an FTDI driver key for it that the test
# writes (PortName COM1, LatencyTimer 16 ms: advice with the administrator's command), and COM33,
# which no one mapped: absent, so the verdict is 1; and COM33 is past the window's COM1 to COM9.
ftdi='HKLM\SYSTEM\CurrentControlSet\Enum\FTDIBUS\VID_0403+PID_6001+A50285BIA\0000\Device Parameters'
map COM1 "$(start_sim doctor)"
wine reg add "$ftdi" /v PortName /d COM1 /f >/dev/null 2>&1
wine reg add "$ftdi" /v LatencyTimer /t REG_DWORD /d 16 /f >/dev/null 2>&1
wineserver -k 2>/dev/null || true
set +e
wine "$exe" --doctor --port COM1 --port COM33 --json >"$work/doctor.json" 2>"$work/doctor.err"
code=$?
set -e
[ "$code" = 1 ] || fail "--doctor with an absent port: exit $code, not 1: $(tail -n3 "$work/doctor.err")"
finding() { grep "\"event\":\"finding\".*\"port\":\"$1\".*\"check\":\"$2\",\"level\":\"$3\"" "$work/doctor.json"; }
finding COM1 'boot loader' ok | grep -q '"id_text1":"TQ330"' || fail "--doctor: COM1's boot loader not identified"
finding COM1 latency advice | grep -qF "reg add \\\"$(echo "$ftdi" | sed 's/\\/\\\\/g')\\\" /v LatencyTimer /t REG_DWORD /d 1 /f" ||
  fail "--doctor: COM1's latency timer of 16 ms not reported with its fix"
finding COM33 port problem | grep -q 'COM33 is absent' || fail "--doctor: COM33 not reported absent"
finding COM33 window advice >/dev/null || fail "--doctor: COM33 not named past the window's COM9"
grep -q '"event":"verdict".*"port":"COM1".*"ready":true' "$work/doctor.json" || fail "--doctor: COM1 not ready"
grep -q '"event":"verdict".*"port":"COM33".*"ready":false' "$work/doctor.json" || fail "--doctor: COM33 ready"
echo "tq330-flash.exe --doctor under Wine: a mapped port, an FTDI latency key, an absent port: passed"
# A USB adapter pulled during the programming, COM9 and COM10 mapped to the simulators' links (Wine
# opens the mapped path anew on every CreateFileA). One run ends with 1 at once; the loop, its
# adapter back 3 s later, updates the device when it answers again and counts both: exit 1, one of
# two devices not updated. Prints the CPU use while the adapter is away and the time to reconnect.
replug_cases() {
  # shellcheck source=../../scripts/wine-away.sh
  source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/wine-away.sh"
  start_sim gone --link "$work/gone-link" --unplug-after-blocks 200 --unplug-adapter >/dev/null
  start_sim back --link "$work/back-link" --unplug-after-blocks 200 --unplug-adapter --replug-ms 3000 >/dev/null
  map COM9 "$work/gone-link"
  map COM10 "$work/back-link"
  wineserver -k 2>/dev/null || true

  local start code
  start=$(date +%s)
  set +e
  wine "$exe" --port COM9 --json >"$work/gone.json" 2>"$work/gone.err"
  code=$?
  set -e
  [ "$code" = 1 ] || fail "pulled adapter, one run: exit $code, not 1: $(tail -n3 "$work/gone.err")"
  [ $(($(date +%s) - start)) -lt 30 ] || fail "pulled adapter, one run: $(($(date +%s) - start)) s"
  grep -q '"result":"not updated"' "$work/gone.json" || fail "pulled adapter, one run: not 'not updated'"

  wine "$exe" --port COM10 --loop --json >"$work/loop.json" 2>"$work/loop.err" &
  local loop_pid=$! flash_pid t0 ticks0 back connected
  for _ in $(seq 1500); do grep -q '"event":"connection_lost"' "$work/loop.json" && break; sleep 0.02; done
  flash_pid=$(wine_pid 'tq330-flash.exe')
  t0=$(date +%s.%N)
  ticks0=$(cpu_ticks "$flash_pid")
  wait_lines "$work/back.out" 2 30 || fail "the pulled adapter did not come back"
  back=$(date +%s.%N)
  local share
  share=$(away_share "$flash_pid" "$ticks0" "$t0")
  for _ in $(seq 500); do [ "$(grep -c '"event":"connected"' "$work/loop.json")" -ge 2 ] && break; sleep 0.02; done
  connected=$(date +%s.%N)
  for _ in $(seq 3000); do grep -q '"result":"updated"' "$work/loop.json" && break; sleep 0.02; done
  kill -INT "$flash_pid" # Ctrl-C: the loop ends with its tally
  set +e
  wait "$loop_pid"
  code=$?
  set -e
  grep -q 'Tally: 1 updated, 1 not updated' "$work/loop.err" || fail "pulled adapter, --loop: $(grep Tally "$work/loop.err")"
  # Wine's server sends SIGKILL to a process whose Unix side is still there about half a second after
  # its last Windows thread ended: on a loaded machine the shell then sees 137 in place of the code
  # the program returned. Only a program that had ended is killed so (a hung one keeps its threads),
  # and with --loop its code follows from the tally it printed last (1 here, a device not updated).
  if [ "$code" = 137 ] && [ "$(tail -n1 "$work/loop.err")" = "Tally: 1 updated, 1 not updated" ]; then
    echo "note: Wine ended the finished tq330-flash.exe with SIGKILL (137); the tally printed last stands for its code"
    code=1
  fi
  [ "$code" = 1 ] || fail "pulled adapter, --loop: exit $code, not 1: $(tail -n3 "$work/loop.err")"
  printf 'figure: while away tq330-flash.exe %s %% of a core; connected %s s after the return\n' "$share" \
    "$(awk -v a="$connected" -v b="$back" 'BEGIN { printf "%.3f", a - b }')"
  awk -v s="$share" 'BEGIN { exit !(s < 10) }' || fail "tq330-flash.exe spins while the adapter is away"
  echo "tq330-flash.exe under Wine: pulled adapter, one run and --loop: passed"
}
replug_cases

# A device behind Debian's ser2net, by rfc2217:// through Winsock. The simulator hears only 57600 8O1
# and ser2net's own line is 9600n81: only the program's negotiation makes the update possible.
listening() { grep -q "^ *[0-9]*: 0100007F:$(printf '%04X' "$1") 00000000:0000 0A" /proc/net/tcp; }
net_device=$(start_sim net --check-line)
for _ in 1 2 3; do
  port=$((20000 + RANDOM % 30000))
  listening "$port" && continue
  printf 'connection: &tq330\n    accepter: telnet(rfc2217),tcp,127.0.0.1,%s\n' "$port" >"$work/ser2net.yaml"
  printf '    connector: serialdev,%s,9600n81,local\n    options:\n        chardelay: false\n' \
    "$net_device" >>"$work/ser2net.yaml"
  /usr/sbin/ser2net -n -u -c "$work/ser2net.yaml" -P "$work/ser2net.run" >/dev/null 2>&1 &
  echo $! >"$work/ser2net.pid"
  for _ in $(seq 100); do listening "$port" && break; sleep 0.05; done
  listening "$port" && break
  kill "$(cat "$work/ser2net.pid")" 2>/dev/null || true
done
listening "$port" || fail "ser2net did not listen"
set +e
wine "$exe" --port "rfc2217://127.0.0.1:$port" --json >"$work/net.json" 2>"$work/net.err"
code=$?
set -e
[ "$code" = 0 ] || fail "rfc2217://: exit $code: $(tail -n3 "$work/net.err")"
grep -q '"event":"result".*"result":"updated"' "$work/net.json" || fail "rfc2217://: no 'updated' result"
grep -q '"event":"warning".*DTR on, RTS on' "$work/net.json" || fail "rfc2217://: no warning of DTR and RTS"
# Both simulators were updated with the same image: their flashes must be the same bytes.
rm -f "$work/one.flash" "$work/net.flash"
kill -USR1 "$(cat "$work/one.pid")" "$(cat "$work/net.pid")"
for _ in $(seq 100); do [ -s "$work/one.flash" ] && [ -s "$work/net.flash" ] && break; sleep 0.05; done
cmp -s "$work/one.flash" "$work/net.flash" || fail "rfc2217://: the flash is not the image"
echo "tq330-flash.exe under Wine: rfc2217:// through ser2net: passed"
