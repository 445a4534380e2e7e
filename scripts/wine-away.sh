# Sourced by the Wine scripts that pull the simulator's adapter: finds this script's own Wine
# processes (other Wine prefixes may run at the same time) and reads their CPU time, for the figure
# "CPU while the adapter is away". Needs WINEPREFIX set.
wine_pid() { # wine_pid NAME: the pid of our process of that name (as the kernel keeps it: 15 characters)
  local p
  for p in $(pgrep "^${1:0:15}"); do
    if tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX"; then
      echo "$p"
      return 0
    fi
  done
}
cpu_ticks() { # cpu_ticks PID: user + system time in clock ticks (0 when it is gone)
  # After the ")" that ends the command name: fields 3 on, so utime and stime are 12th and 13th.
  sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | awk '{ print $12 + $13; n = 1 } END { if (!n) print 0 }'
}
# away_share PID TICKS0 T0: the share of a core (in %) PID has used since TICKS0 at time T0.
away_share() {
  awk -v t="$(cpu_ticks "$1")" -v t0="$2" -v s0="$3" -v s1="$(date +%s.%N)" -v hz="$(getconf CLK_TCK)" \
    'BEGIN { printf "%.2f", (t - t0) / hz / (s1 - s0) * 100 }'
}
# wait_lines FILE N SECONDS: waits until FILE has N lines; false after SECONDS.
wait_lines() {
  local i
  for i in $(seq $(($3 * 50))); do
    [ "$(wc -l <"$1" 2>/dev/null || echo 0)" -ge "$2" ] && return 0
    sleep 0.02
  done
  return 1
}
