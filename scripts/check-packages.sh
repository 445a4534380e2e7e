#!/usr/bin/env bash
# Checks the Debian package as a user and the archive would meet it:
#   lintian (errors, warnings and infos fail; each kept finding is overridden with its reason in
#   packaging/debian/lintian-overrides), desktop-file-validate, appstreamcli, man pages for every
#   program, dependencies that apt can satisfy, and the programs run from an unpacked copy: the
#   installed simulator serves a pseudo-terminal that the installed updater (and tq330-flash, where
#   packaged) then talks to, and that tq330-flash, run by a user who may not open it, names along
#   with the group to join.
# Usage: scripts/check-packages.sh [build dir]   (default build/release, after --target package)
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$(cd "${1:-$repo/build/release}" && pwd)"

shopt -s nullglob
debs=("$build"/tq330-updater_*.deb)
if [ ${#debs[@]} -ne 1 ]; then
  echo "expected one tq330-updater_*.deb in $build, found ${#debs[@]}" >&2
  exit 1
fi
deb="${debs[0]}"
echo "package: $(basename "$deb") ($(stat -c %s "$deb") bytes)"

work="$(mktemp -d /tmp/tq330-pkgcheck.XXXXXX)"
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}
step() { printf '\n-- %s\n' "$*"; }

step "lintian"
# Pedantic findings are shown, not failed on.
set +e
lintian --fail-on error,warning,info --display-info --pedantic "$deb" >"$work/lintian.txt" 2>&1
rc=$?
set -e
grep -v '^running with root privileges' "$work/lintian.txt" || true
[ $rc -eq 0 ] || fail "lintian reports findings"
echo "lintian: no errors, warnings or infos"

root="$work/root"
dpkg -x "$deb" "$root"
version="$(dpkg-deb -f "$deb" Version)"

step "desktop file and AppStream data"
desktop="$root/usr/share/applications/tq330-updater.desktop"
[ -f "$desktop" ] || fail "no desktop file"
# Errors, warnings and hints all fail.
out="$(desktop-file-validate "$desktop" 2>&1)" || { echo "$out"; fail "desktop-file-validate"; }
[ -z "$out" ] || { echo "$out"; fail "desktop-file-validate has remarks"; }
echo "desktop-file-validate: no errors, warnings or hints"
appstreamcli validate-tree --no-net "$root" || fail "appstreamcli validate-tree"
grep -q "<release version=\"$version\"" "$root"/usr/share/metainfo/*.metainfo.xml ||
  fail "the AppStream release is not $version"
exec_program="$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")"
[ -x "$root/usr/bin/$exec_program" ] || fail "the desktop file starts $exec_program, which is not installed"
echo "desktop Exec: /usr/bin/$exec_program is installed"

step "contents"
for program in "$root"/usr/bin/*; do
  name="$(basename "$program")"
  page="$root/usr/share/man/man1/$name.1.gz"
  [ -f "$page" ] || fail "no man page for $name"
  zcat "$page" | grep -q "\"TQ330 Updater ${version%%~*}\"" || fail "man page of $name is not of ${version%%~*}"
  if file "$program" | grep -q "not stripped"; then fail "$name is not stripped"; fi
  if ldd "$program" | grep -q "not found"; then ldd "$program"; fail "$name misses libraries"; fi
  echo "$name: $(stat -c %s "$program") bytes, stripped, man page, libraries resolve"
done
for f in copyright changelog.gz README.md; do
  [ -f "$root/usr/share/doc/tq330-updater/$f" ] || fail "no /usr/share/doc/tq330-updater/$f"
done
for size in 16 32; do
  [ -f "$root/usr/share/icons/hicolor/${size}x${size}/apps/tq330-updater.png" ] || fail "no ${size} px icon"
done
echo "doc files and icons present"

step "dependencies"
depends="$(dpkg-deb -f "$deb" Depends)"
echo "Depends: $depends"
[ -n "$depends" ] || fail "no Depends field"
apt-get --simulate install "$deb" >"$work/apt.txt" 2>&1 || { cat "$work/apt.txt"; fail "apt cannot install it"; }
grep -q '^Inst tq330-updater ' "$work/apt.txt" || { cat "$work/apt.txt"; fail "apt would not install it"; }
echo "apt-get --simulate install: ok ($(grep -c '^Inst ' "$work/apt.txt") packages to install)"

step "the installed programs against the installed simulator"
bin="$root/usr/bin"
"$bin/tq330-sim" --baud 0 --clear-ms 10 --app-ms 10 --log "$work/sim.log" >"$work/sim.out" &
sim_pid=$!
for _ in $(seq 50); do
  [ -s "$work/sim.out" ] && break
  sleep 0.1
done
pty="$(head -n1 "$work/sim.out")"
[ -c "$pty" ] || fail "tq330-sim serves no pseudo-terminal (got '$pty')"
echo "tq330-sim serves $pty"

if [ -x "$bin/tq330-flash" ]; then
  out="$("$bin/tq330-flash" --version)" || fail "tq330-flash --version failed"
  echo "tq330-flash --version: $out"
  grep -q "${version%%~*}" <<<"$out" || fail "tq330-flash --version does not say ${version%%~*}"
  start=$(date +%s)
  "$bin/tq330-flash" --port "$pty" >"$work/flash.out" 2>&1 || { cat "$work/flash.out"; fail "tq330-flash --port $pty"; }
  grep -q "Target updated successfully" "$work/flash.out" || { cat "$work/flash.out"; fail "tq330-flash did not update"; }
  echo "tq330-flash --port $pty: Target updated successfully ($(($(date +%s) - start)) s)"
  : >"$work/sim.log"
fi

# The window program on the offscreen platform: it starts, finds the simulator as COM1 and its
# worker polls the device, which the simulator logs as identify commands (cmd=0).
set +e
TQ330_PORTS="$pty" QT_QPA_PLATFORM=offscreen timeout 4 "$bin/tq330-updater" >"$work/updater.out" 2>&1
rc=$?
set -e
[ $rc -eq 124 ] || { cat "$work/updater.out"; fail "tq330-updater ended by itself (status $rc)"; }
grep -q '^cmd=0 ' "$work/sim.log" || { cat "$work/updater.out"; fail "tq330-updater never polled the simulator"; }
echo "tq330-updater: ran 4 s offscreen and polled the simulator $(grep -c '^cmd=0 ' "$work/sim.log") times"

# A user outside the group that owns the port: the programs must name the device and the group.
# Root opens anything, so root plays that user as "nobody" on a port only root may open.
if [ -x "$bin/tq330-flash" ]; then
  chmod 755 "$work"
  if [ "$(id -u)" -eq 0 ]; then
    chmod 600 "$pty"
    as_user=(runuser -u nobody --)
  else
    chmod 000 "$pty"
    as_user=()
  fi
  set +e
  "${as_user[@]}" "$bin/tq330-flash" --port "$pty" --wait 2 >"$work/denied.out" 2>&1
  rc=$?
  set -e
  expected="permission denied on $pty: add yourself to the dialout group and log in again"
  grep -qxF "$expected" "$work/denied.out" || { cat "$work/denied.out"; fail "tq330-flash does not say: $expected"; }
  [ $rc -eq 3 ] || fail "tq330-flash on a refused port ended with $rc, not 3"
  echo "tq330-flash on a port it may not open: \"$expected\" (exit 3)"
fi

printf '\nall package checks passed: %s\n' "$(basename "$deb")"
