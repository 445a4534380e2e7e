#!/usr/bin/env bash
# Checks the Windows packages under Wine, in a throw-away Wine prefix, as a user would meet them:
#   the ZIP holds the programs and README.txt, and its tq330-flash.exe runs;
#   the installer's silent install (/S) puts them into "Program Files\TQ330 Updater", adds the
#   Start-menu entry and registers the uninstaller under Add/Remove programs with the version;
#   installing again over it (an upgrade) leaves a working installation;
#   the installed tq330-flash.exe --version runs, and updates the Linux tq330-sim on a pseudo-terminal
#   mapped to COM1 (where both are there: the simulator from $TQ330_SIM or build/release);
#   the silent uninstall removes the files, the entry and the registration.
# Usage: scripts/check-windows-packages.sh [build dir]   (default build/win64-release, after --target package)
#        TQ330_SIM=path/to/tq330-sim to name the simulator
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$(cd "${1:-$repo/build/win64-release}" && pwd)"

fail() {
  echo "FAIL: $*" >&2
  exit 1
}
step() { printf '\n-- %s\n' "$*"; }

shopt -s nullglob
setups=("$build"/tq330-updater-*-setup.exe)
zips=("$build"/tq330-updater-*-win64.zip)
[ ${#setups[@]} -eq 1 ] || fail "expected one tq330-updater-*-setup.exe in $build, found ${#setups[@]}"
[ ${#zips[@]} -eq 1 ] || fail "expected one tq330-updater-*-win64.zip in $build, found ${#zips[@]}"
setup="${setups[0]}"
zip="${zips[0]}"
# tq330-updater-3.11-setup.exe or tq330-updater-3.11-placeholder-setup.exe: the version is 3.11.
name="$(basename "$setup" -setup.exe)"
version="${name#tq330-updater-}"
version="${version%-placeholder}"
echo "installer: $(basename "$setup") ($(stat -c %s "$setup") bytes)"
echo "zip:       $(basename "$zip") ($(stat -c %s "$zip") bytes)"

work="$(mktemp -d /tmp/tq330-wincheck.XXXXXX)"
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=d;mshtml=d" WINEARCH=win64
sim="${TQ330_SIM:-$repo/build/release/tools/tq330-sim/tq330-sim}"
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

step "ZIP contents"
cmake -E tar tf "$zip" >"$work/zip.txt"
cat "$work/zip.txt"
top="$(basename "$zip" .zip)"
grep -qx "$top/README.txt" "$work/zip.txt" || fail "no README.txt in $top/"
mapfile -t programs < <(sed -n "s|^$top/\([^/]*\.exe\)$|\1|p" "$work/zip.txt")
[ ${#programs[@]} -gt 0 ] || fail "no program in the ZIP"
echo "programs: ${programs[*]}"
(cd "$work" && cmake -E tar xf "$zip")
# Notepad of older Windows shows a file with bare line feeds as one line.
if grep -q $'[^\r]$' "$work/$top/README.txt" || grep -qx '' "$work/$top/README.txt"; then
  fail "README.txt has lines that do not end in CR LF"
fi
grep -q "^TQ330 Updater $version for Windows" "$work/$top/README.txt" || fail "README.txt is not of $version"

# One Wine prefix for the whole check; its first start takes most of the time.
start=$(date +%s)
wineboot -i >/dev/null 2>&1 || true
wineserver -w
echo "(Wine prefix ready in $(($(date +%s) - start)) s)"

if [ -f "$work/$top/tq330-flash.exe" ]; then
  out="$(wine "$work/$top/tq330-flash.exe" --version 2>&1 | tr -d '\r')" || fail "tq330-flash.exe --version from the ZIP"
  grep -q "$version" <<<"$out" || fail "tq330-flash.exe --version says '$out', not $version"
  echo "unpacked tq330-flash.exe --version: $out"
fi

step "silent install"
wine "$setup" /S || fail "the installer failed"
wineserver -w
dir="$WINEPREFIX/drive_c/Program Files/TQ330 Updater"
menu="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/TQ330 Updater"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\TQ330 Updater'
[ -d "$dir" ] || fail "nothing in Program Files\\TQ330 Updater"
ls -l "$dir"
for f in "${programs[@]}" README.txt Uninstall.exe; do
  [ -f "$dir/$f" ] || fail "$f was not installed"
done
if [ -f "$dir/tq330-updater.exe" ]; then
  [ -f "$menu/TQ330 Updater.lnk" ] || fail "no Start-menu entry for the updater"
  echo "Start menu: TQ330 Updater.lnk"
fi
wine reg query "$key" >"$work/reg.txt" 2>&1 || { cat "$work/reg.txt"; fail "no uninstall registration"; }
tr -d '\r' <"$work/reg.txt" | grep -E "DisplayName|DisplayVersion|UninstallString"
tr -d '\r' <"$work/reg.txt" | grep -q "DisplayVersion *REG_SZ *$version" || fail "registered version is not $version"

if [ -f "$dir/tq330-flash.exe" ]; then
  out="$(wine 'C:\Program Files\TQ330 Updater\tq330-flash.exe' --version 2>&1 | tr -d '\r')" ||
    fail "installed tq330-flash.exe --version"
  grep -q "$version" <<<"$out" || fail "installed tq330-flash.exe --version says '$out'"
  echo "installed tq330-flash.exe --version: $out"
  if [ -x "$sim" ]; then
    "$sim" --baud 0 --clear-ms 10 --app-ms 10 >"$work/sim.out" &
    sim_pid=$!
    for _ in $(seq 50); do
      [ -s "$work/sim.out" ] && break
      sleep 0.1
    done
    pty="$(head -n1 "$work/sim.out")"
    [ -c "$pty" ] || fail "tq330-sim serves no pseudo-terminal"
    wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /d "$pty" /f >/dev/null 2>&1
    wineserver -k # the port mapping is read when Wine starts
    wineserver -w
    wine 'C:\Program Files\TQ330 Updater\tq330-flash.exe' --port COM1 >"$work/flash.out" 2>&1 ||
      { cat "$work/flash.out"; fail "installed tq330-flash.exe --port COM1 ($pty)"; }
    tr -d '\r' <"$work/flash.out" | grep -q "^Target updated successfully" ||
      { cat "$work/flash.out"; fail "installed tq330-flash.exe did not update the simulator"; }
    echo "installed tq330-flash.exe --port COM1 (tq330-sim on $pty): Target updated successfully"
    kill "$sim_pid"
    sim_pid=""
  else
    echo "no Linux tq330-sim at $sim: the update through COM1 is not tried"
  fi
else
  echo "no tq330-flash.exe in this build: checked the updater's presence only"
fi

step "silent install over the installed one (an upgrade uninstalls the old one first)"
wine "$setup" /S || fail "the second install failed"
wineserver -w
for f in "${programs[@]}" README.txt Uninstall.exe; do
  [ -f "$dir/$f" ] || fail "$f is missing after installing again"
done
echo "installed again: files in place"

step "silent uninstall"
wine 'C:\Program Files\TQ330 Updater\Uninstall.exe' /S || fail "the uninstaller failed"
# The uninstaller runs a copy of itself from the temporary folder and returns at once.
wineserver -w
[ ! -e "$dir" ] || { ls -lR "$dir"; fail "files are left in Program Files\\TQ330 Updater"; }
[ ! -e "$menu" ] || fail "the Start-menu entry is left"
if wine reg query "$key" >/dev/null 2>&1; then fail "the uninstall registration is left"; fi
echo "files, Start-menu entry and registration removed"

printf '\nall Windows package checks passed (%s s)\n' "$(($(date +%s) - start))"
