#!/usr/bin/env bash
# Whole updates of tq330-flash at 57600 baud (tq330-sim paced as the device), side by side in one run:
#   the local pseudo-terminal against the same device behind Debian's ser2net on loopback
#   (rfc2217://, the line set by negotiation), alternating, RUNS of each; medians and their ratio;
#   four devices at once through four ser2net ports against one through ser2net (RUNS of each).
# The time of an update is its "update" event to its "result" event (update_seconds); for four at
# once, the slowest of the four. Each update takes about 70 s. Usage: run_net_bench.sh FLASH SIM [RUNS]
set -euo pipefail
flash=$1
sim=$2
runs=${3:-3}
work=$(mktemp -d)
cleanup() {
  for f in "$work"/*.pid; do [ -e "$f" ] && kill "$(cat "$f")" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

start_sim() { # start_sim NAME: a paced simulator that hears only 57600 8O1; prints its device
  "$sim" --baud 57600 --clear-ms 1500 --app-ms 600000 --check-line >"$work/$1.out" 2>/dev/null &
  echo $! >"$work/$1.pid"
  for _ in $(seq 100); do
    local device
    device=$(head -n1 "$work/$1.out" 2>/dev/null || true)
    [ -n "$device" ] && { echo "$device"; return 0; }
    sleep 0.05
  done
  echo "the simulator did not start" >&2
  exit 1
}
stop() { kill "$(cat "$work/$1.pid")" 2>/dev/null || true; rm -f "$work/$1.pid"; }
listening() { grep -q "^ *[0-9]*: 0100007F:$(printf '%04X' "$1") 00000000:0000 0A" /proc/net/tcp; }
start_ser2net() { # start_ser2net NAME DEVICE...: one RFC 2217 accepter per device; prints the URLs
  local name=$1
  shift
  local ports=() yaml="$work/$name.yaml"
  : >"$yaml"
  for device in "$@"; do
    local port
    while port=$((20000 + RANDOM % 30000)); listening "$port"; do :; done
    ports+=("$port")
    printf 'connection: &c%s\n    accepter: telnet(rfc2217),tcp,127.0.0.1,%s\n' "$port" "$port" >>"$yaml"
    printf '    connector: serialdev,%s,9600n81,local\n    options:\n        chardelay: false\n' "$device" >>"$yaml"
  done
  /usr/sbin/ser2net -n -u -c "$yaml" -P "$work/$name.run" >/dev/null 2>&1 &
  echo $! >"$work/$name.pid"
  for port in "${ports[@]}"; do
    for _ in $(seq 200); do listening "$port" && break; sleep 0.05; done
    listening "$port" || { echo "ser2net did not listen on $port" >&2; exit 1; }
    echo "rfc2217://127.0.0.1:$port"
  done
}
seconds() { # seconds FILE: the largest update_seconds of the updated results; fails on any other result
  if grep '"event":"result"' "$1" | grep -qv '"result":"updated"'; then
    echo "not updated: $(grep '"event":"result"' "$1" | head -n1)" >&2
    exit 1
  fi
  grep '"event":"result"' "$1" | sed 's/.*"update_seconds":\([0-9.]*\).*/\1/' | sort -g | tail -n1
}
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

local_times=() net_times=() four_times=()
for run in $(seq "$runs"); do
  device=$(start_sim "local$run")
  "$flash" --port "$device" --json --quiet >"$work/local$run.json" 2>/dev/null || true
  stop "local$run"
  local_times+=("$(seconds "$work/local$run.json")")

  device=$(start_sim "net$run")
  url=$(start_ser2net "ser2net$run" "$device")
  "$flash" --port "$url" --json --quiet >"$work/net$run.json" 2>/dev/null || true
  stop "ser2net$run"
  stop "net$run"
  net_times+=("$(seconds "$work/net$run.json")")

  devices=()
  for i in 1 2 3 4; do devices+=("$(start_sim "four$run.$i")"); done
  args=()
  while read -r url; do args+=(--port "$url"); done < <(start_ser2net "ser2net4.$run" "${devices[@]}")
  "$flash" "${args[@]}" --json --quiet >"$work/four$run.json" 2>/dev/null || true
  stop "ser2net4.$run"
  for i in 1 2 3 4; do stop "four$run.$i"; done
  four_times+=("$(seconds "$work/four$run.json")")
  echo "run $run: local ${local_times[-1]} s, ser2net ${net_times[-1]} s, four through ser2net ${four_times[-1]} s"
done

lm=$(printf '%s\n' "${local_times[@]}" | median)
nm=$(printf '%s\n' "${net_times[@]}" | median)
fm=$(printf '%s\n' "${four_times[@]}" | median)
echo
echo "| whole update at 57600 baud (median of $runs) | seconds | ratio |"
echo "| --- | --- | --- |"
awk -v l="$lm" -v n="$nm" -v f="$fm" 'BEGIN {
  printf "| local pseudo-terminal | %.2f | 1 |\n", l
  printf "| through ser2net (rfc2217://, loopback) | %.2f | %.4f (target <= 1.02) |\n", n, n / l
  printf "| four at once through ser2net, the slowest | %.2f | %.4f of one through ser2net (target <= 1.05) |\n", f, f / n
}'
