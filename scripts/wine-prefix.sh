# Sourced by the scripts that run the Windows builds under Wine: finds Wine, makes a throw-away
# prefix in a work folder and removes both at the end, with the simulator the script may start (its
# pid in sim_pid) and any other helpers (their pids in wine_pids). Sets wine, wineserver, work,
# sim_pid, wine_pids; wine_boot makes the prefix. The prefix is a 64-bit Windows with 32-bit support
# (Program Files and Program Files (x86), both registry views), as every real 64-bit Windows is;
# WINEARCH=win32 in the environment makes a 32-bit Windows instead.
# Debian's wine64 package has the loader in /usr/lib/wine; the wine package adds /usr/bin/wine.
# The 64-bit loader hands 32-bit programs to the 32-bit one (wine32:i386).
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine="$(command -v wine64 || command -v wine)"
[ "${WINEARCH:-}" = win32 ] && wine=/usr/lib/wine/wine
wineserver=/usr/lib/wine/wineserver
[ -x "$wineserver" ] || wineserver="$(command -v wineserver)"
work=$(mktemp -d)
# No Mono or Gecko installer: nothing here needs either.
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=d;mshtml=d"
sim_pid=""
wine_pids=()
wine_cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
  for pid in "${wine_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  "$wineserver" -k 2>/dev/null || true
  rm -rf "$work"
}
trap wine_cleanup EXIT
wine_boot() {
  "$wine" wineboot -i >/dev/null 2>&1
  "$wineserver" -w
}
