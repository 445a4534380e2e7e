# Sourced by the scripts that run the Windows build under Wine: finds Wine, makes a throw-away
# prefix in a work folder and removes both at the end, with the simulator the script may start
# (its pid in sim_pid). Sets wine, wineserver, work, sim_pid; wine_boot makes the prefix.
# Debian's wine64 package has the loader in /usr/lib/wine; the wine package adds /usr/bin/wine.
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine="$(command -v wine64 || command -v wine)"
wineserver=/usr/lib/wine/wineserver
[ -x "$wineserver" ] || wineserver="$(command -v wineserver)"
work=$(mktemp -d)
# No Mono or Gecko installer: nothing here needs either.
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=d;mshtml=d"
sim_pid=""
wine_cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
  "$wineserver" -k 2>/dev/null || true
  rm -rf "$work"
}
trap wine_cleanup EXIT
wine_boot() {
  "$wine" wineboot -i >/dev/null 2>&1
  "$wineserver" -w
}
