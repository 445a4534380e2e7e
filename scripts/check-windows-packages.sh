#!/usr/bin/env bash
# Checks the Windows packages under Wine as users meet them, in throw-away prefixes:
#   each ZIP (win32, win64) holds the programs of its architecture and README.txt (CR LF), the
#   programs import only functions Windows 7 has, and its tq330-flash.exe runs;
#   64-bit Windows (a prefix with 32-bit support, the layout of every real 64-bit Windows): with
#   3.11's installer run first (its 64-bit programs and CPack's registry keys), the installer's
#   silent install (/S) replaces it with the 64-bit programs in "Program Files\TQ330 Updater", the
#   Start-menu entry and the uninstaller registered in the 64-bit registry view, and leaves nothing
#   of 3.11; installing again over it (an upgrade) leaves a working installation;
#   32-bit Windows (a WINEARCH=win32 prefix): the same installer puts the 32-bit programs into
#   "Program Files\TQ330 Updater", registered in the only view there is;
#   on both, the installed tq330-flash.exe runs from that folder and updates the Linux tq330-sim on a
#   pseudo-terminal mapped to COM1 (the simulator from $TQ330_SIM or build/release), and the silent
#   uninstall removes every file, the entry and the registration.
# Usage: scripts/check-windows-packages.sh [WIN32_BUILD [WIN64_BUILD]]
#        (default build/win32-release with the installer and the win32 ZIP, build/win64-release with
#        the win64 ZIP: targets package and installer)
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build32="$(cd "${1:-$repo/build/win32-release}" && pwd)"
build64="$(cd "${2:-$repo/build/win64-release}" && pwd)"

fail() {
  echo "FAIL: $*" >&2
  exit 1
}
step() { printf '\n-- %s\n' "$*"; }
t0=$(date +%s)

shopt -s nullglob
one() { # one PATTERN: the one file that matches
  local found=($1)
  [ ${#found[@]} -eq 1 ] || fail "expected one $1, found ${#found[@]}"
  echo "${found[0]}"
}
setup=$(one "$build32/tq330-updater-*-setup.exe")
zip32=$(one "$build32/tq330-updater-*-win32.zip")
zip64=$(one "$build64/tq330-updater-*-win64.zip")
# tq330-updater-3.11-setup.exe or tq330-updater-3.11-placeholder-setup.exe: the version is 3.11.
name="$(basename "$setup" -setup.exe)"
version="${name#tq330-updater-}"
version="${version%-placeholder}"
for f in "$setup" "$zip32" "$zip64"; do echo "$(basename "$f") ($(stat -c %s "$f") bytes)"; done

work="$(mktemp -d /tmp/tq330-wincheck.XXXXXX)"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=d;mshtml=d"
sim="${TQ330_SIM:-$repo/build/release/tools/tq330-sim/tq330-sim}"
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
  for prefix in "$work"/prefix*; do WINEPREFIX=$prefix wineserver -k 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# new_prefix win64|win32: a fresh prefix of that Windows, made the current one.
new_prefix() {
  export WINEPREFIX="$work/prefix-$1"
  if [ "$1" = win32 ]; then export WINEARCH=win32; else unset WINEARCH; fi
  local start=$(date +%s)
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w
  echo "(a $1 Wine prefix ready in $(($(date +%s) - start)) s)"
}
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\TQ330 Updater'
vendor='HKLM\Software\TQ330 Updater maintainers'
has_key() { # has_key KEY [VIEW]: VIEW 64, 32, or none (32-bit Windows has one view only)
  local view=${2:-none}
  [ "$view" = none ] && view=""
  wine reg query "$1" ${view:+/reg:$view} >/dev/null 2>&1
}
format() { x86_64-w64-mingw32-objdump -f "$1" | sed -n 's/.*file format //p'; }

step "ZIPs"
for zip in "$zip32" "$zip64"; do
  top="$(basename "$zip" .zip)"
  (cd "$work" && cmake -E tar xf "$zip")
  want=pei-i386
  [[ $top == *-win64 ]] && want=pei-x86-64
  [ -f "$work/$top/README.txt" ] || fail "no README.txt in $top/"
  # Notepad of older Windows shows a file with bare line feeds as one line.
  if grep -q $'[^\r]$' "$work/$top/README.txt" || grep -qx '' "$work/$top/README.txt"; then
    fail "$top/README.txt has lines that do not end in CR LF"
  fi
  grep -q "^TQ330 Updater $version for Windows" "$work/$top/README.txt" || fail "$top/README.txt is not of $version"
  for program in tq330-updater.exe tq330-flash.exe; do
    [ -f "$work/$top/$program" ] || fail "no $program in $top/"
    [ "$(format "$work/$top/$program")" = $want ] || fail "$top/$program is not $want"
  done
  echo "$top: $(cd "$work/$top" && echo *)"
  bash "$repo/tests/win32/check_imports.sh" "$work/$top"/*.exe | sed 's/^/  /'
done

# installed_run DIR: the installed tq330-flash.exe runs from DIR (a Windows path) and updates the
# simulator on COM1, where there is one.
installed_run() {
  local flash="$1\\tq330-flash.exe" out
  out="$(wine "$flash" --version 2>&1 | tr -d '\r')" || fail "$flash --version"
  grep -q "$version" <<<"$out" || fail "$flash --version says '$out'"
  echo "$flash --version: $out"
  [ -x "$sim" ] || { echo "no Linux tq330-sim at $sim: the update through COM1 is not tried"; return 0; }
  "$sim" --baud 0 --clear-ms 10 --app-ms 10 >"$work/sim.out" &
  sim_pid=$!
  for _ in $(seq 50); do
    [ -s "$work/sim.out" ] && break
    sleep 0.1
  done
  local pty
  pty="$(head -n1 "$work/sim.out")"
  [ -c "$pty" ] || fail "tq330-sim serves no pseudo-terminal"
  wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /d "$pty" /f >/dev/null 2>&1
  wineserver -k # the port mapping is read when Wine starts
  wineserver -w
  wine "$flash" --port COM1 >"$work/flash.out" 2>&1 || { cat "$work/flash.out"; fail "$flash --port COM1 ($pty)"; }
  tr -d '\r' <"$work/flash.out" | grep -q "^Target updated successfully" ||
    { cat "$work/flash.out"; fail "$flash did not update the simulator"; }
  echo "$flash --port COM1 (tq330-sim on $pty): Target updated successfully"
  kill "$sim_pid"
  sim_pid=""
}

# installed WINDIR FORMAT VIEW: the installation is in drive C's WINDIR with programs of FORMAT, and
# registered in registry VIEW (empty: the only one).
installed() {
  local dir="$WINEPREFIX/drive_c/${1//\\//}" f
  [ -d "$dir" ] || fail "nothing in C:\\$1"
  for f in tq330-updater.exe tq330-flash.exe README.txt Uninstall.exe; do
    [ -f "$dir/$f" ] || fail "$f was not installed into C:\\$1"
  done
  for f in tq330-updater.exe tq330-flash.exe; do
    [ "$(format "$dir/$f")" = "$2" ] || fail "the installed $f is $(format "$dir/$f"), not $2"
  done
  [ -f "$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/TQ330 Updater/TQ330 Updater.lnk" ] ||
    fail "no Start-menu entry for the updater"
  wine reg query "$key" ${3:+/reg:$3} 2>&1 | tr -d '\r' >"$work/reg.txt" || { cat "$work/reg.txt"; fail "no uninstall registration in view ${3:-(the only one)}"; }
  grep -q "DisplayVersion *REG_SZ *$version" "$work/reg.txt" || fail "the registered version is not $version"
  grep -qF "UninstallString    REG_SZ    \"C:\\$1\\Uninstall.exe\"" "$work/reg.txt" ||
    { cat "$work/reg.txt"; fail "the registered uninstaller is not C:\\$1\\Uninstall.exe"; }
  echo "C:\\$1: $(cd "$dir" && echo *) ($2); Start menu; registered in view ${3:-(the only one)}"
}

# uninstalled WINDIR "VIEW...": the silent uninstall leaves nothing, in any of the registry views.
uninstalled() {
  local dir="$WINEPREFIX/drive_c/${1//\\//}"
  wine "C:\\$1\\Uninstall.exe" /S || fail "the uninstaller failed"
  # The uninstaller runs a copy of itself from the temporary folder and returns at once.
  wineserver -w
  [ ! -e "$dir" ] || { ls -lR "$dir"; fail "files are left in C:\\$1"; }
  [ ! -e "$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/TQ330 Updater" ] ||
    fail "the Start-menu entry is left"
  for view in $2; do
    if has_key "$key" "$view"; then fail "the uninstall registration is left (view $view)"; fi
  done
  echo "files, Start-menu entry and registration removed"
}

step "64-bit Windows: 3.11 installed first"
new_prefix win64
# 3.11's installer, made again with CPack's template and that release's settings around the 64-bit
# programs of this release.
cmake -S "$repo/tests/win32/release-3.11" -B "$work/old" \
  -DTQ330_PROGRAMS="$work/$(basename "$zip64" .zip)/tq330-updater.exe;$work/$(basename "$zip64" .zip)/tq330-flash.exe;$work/$(basename "$zip64" .zip)/README.txt" >/dev/null
(cd "$work/old" && cpack >/dev/null) || fail "3.11's installer could not be made"
wine "$work/old/tq330-updater-3.11-setup.exe" /S || fail "3.11's installer failed"
wineserver -w
old_dirs=()
for d in "Program Files/TQ330 Updater" "Program Files (x86)/TQ330 Updater"; do
  [ -f "$WINEPREFIX/drive_c/$d/Uninstall.exe" ] && old_dirs+=("$d")
done
[ ${#old_dirs[@]} -eq 1 ] || fail "3.11's installer left no installation"
has_key "$key" 64 || has_key "$key" 32 || fail "3.11's installer registered nothing"
has_key "$vendor\\TQ330 Updater" 64 || has_key "$vendor\\TQ330 Updater" 32 || fail "3.11's installer left no folder key"
echo "3.11: C:/${old_dirs[0]}, registered, with the folder key of CPack's template"

step "64-bit Windows: silent install over 3.11"
wine "$setup" /S || fail "the installer failed"
wineserver -w
installed "Program Files\\TQ330 Updater" pei-x86-64 64
if has_key "$key" 32; then fail "also registered in the 32-bit view"; fi
[ ! -e "$WINEPREFIX/drive_c/Program Files (x86)/TQ330 Updater" ] || fail "3.11's files are left in Program Files (x86)"
for view in 64 32; do
  if has_key "$vendor" $view; then fail "3.11's key $vendor is left (view $view)"; fi
done
[ ! -e "$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/TQ330 Updater/Uninstall.lnk" ] ||
  fail "3.11's Uninstall shortcut is left"
echo "nothing is left of 3.11"
installed_run 'C:\Program Files\TQ330 Updater'

step "64-bit Windows: silent install over the installed one (an upgrade)"
wine "$setup" /S || fail "the second install failed"
wineserver -w
installed "Program Files\\TQ330 Updater" pei-x86-64 64

step "64-bit Windows: silent uninstall"
uninstalled "Program Files\\TQ330 Updater" "64 32"

step "32-bit Windows: silent install"
new_prefix win32
wine "$setup" /S || fail "the installer failed on 32-bit Windows"
wineserver -w
[ ! -e "$WINEPREFIX/drive_c/Program Files (x86)" ] || fail "the win32 prefix is not a 32-bit Windows"
installed "Program Files\\TQ330 Updater" pei-i386 ""
installed_run 'C:\Program Files\TQ330 Updater'

step "32-bit Windows: silent uninstall"
uninstalled "Program Files\\TQ330 Updater" none

printf '\nall Windows package checks passed (%s s)\n' "$(($(date +%s) - t0))"
