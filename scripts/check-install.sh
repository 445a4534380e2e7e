#!/usr/bin/env bash
# Installs this machine's Debian packages for real with apt, as a user would, and removes them again:
#   - tq330-flash and tq330-updater on a machine without them: the programs run from /usr/bin (the
#     simulator updated by tq330-flash, the window polling it); removing the window leaves the
#     command line working;
#   - the upgrade of a desktop from the single package tq330-updater 3.11 to both packages;
#   - the upgrade of a headless station from that package to tq330-flash alone, which removes it.
# The single package is a stand-in built here with the file list of the real one
# (tests/packaging/single-3.11). Needs root; changes /usr/bin for a few seconds and leaves the
# packages removed, even when a check fails. Refuses to run where either package is installed.
# Usage: scripts/check-install.sh [build dir]   (default build/release)
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$(cd "${1:-$repo/build/release}" && pwd)"
arch="$(dpkg --print-architecture)"
packages=(tq330-flash tq330-updater)

fail() {
  echo "FAIL: $*" >&2
  exit 1
}
step() { printf '\n-- %s\n' "$*"; }
# start_sim, stop_sim, update_with, window_polls
source "$repo/scripts/package-sim.sh"

[ "$(id -u)" -eq 0 ] || fail "installing packages needs root"
installed() { dpkg-query -W -f='${Status} ${Version}' "$1" 2>/dev/null | sed -n 's/^install ok installed //p'; }
for package in "${packages[@]}"; do
  [ -z "$(installed "$package")" ] || fail "$package is installed on this machine: not touching it"
done

shopt -s nullglob
debs=()
for package in "${packages[@]}"; do
  found=("$build"/"${package}"_*_"$arch".deb)
  [ ${#found[@]} -eq 1 ] || fail "expected one ${package}_*_$arch.deb in $build, found ${#found[@]}"
  debs+=("${found[0]}")
done
flash_deb="${debs[0]}"
version="$(dpkg-deb -f "$flash_deb" Version)"

work="$(mktemp -d /tmp/tq330-install.XXXXXX)"
chmod 755 "$work"
apt_get() {
  # Other users of the machine may hold dpkg's lock for a while.
  DEBIAN_FRONTEND=noninteractive apt-get -y -q -o DPkg::Lock::Timeout=300 "$@" >"$work/apt.txt" 2>&1 ||
    { cat "$work/apt.txt"; fail "apt-get $*"; }
}
remove_all() {
  local present=()
  for package in "${packages[@]}"; do
    [ -z "$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -v '^unknown')" ] || present+=("$package")
  done
  [ ${#present[@]} -eq 0 ] || apt_get purge "${present[@]}"
}
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
  remove_all || true
  rm -rf "$work"
}
trap cleanup EXIT

# The single package of 3.11: its control file and its files (programs that only name themselves).
single_deb="$work/tq330-updater_3.11_$arch.deb"
fixture="$repo/tests/packaging/single-3.11"
mkdir -p "$work/single/DEBIAN"
sed "s/^Architecture: .*/Architecture: $arch/" "$fixture/control" >"$work/single/DEBIAN/control"
while read -r path; do
  mkdir -p "$work/single/$(dirname "$path")"
  case "$path" in
  usr/bin/*) printf '#!/bin/sh\necho "%s 3.11"\n' "$(basename "$path")" >"$work/single/$path" && chmod 755 "$work/single/$path" ;;
  */changelog.gz) gzip -9nc "$fixture/changelog" >"$work/single/$path" ;;
  *) echo "tq330-updater 3.11: $path" >"$work/single/$path" ;;
  esac
done < <(grep -v '^#' "$fixture/files")
dpkg-deb --root-owner-group --build "$work/single" "$single_deb" >/dev/null

expect_version() {
  [ "$(installed "$1")" = "$2" ] || fail "$1 is at '$(installed "$1")', not '$2'"
}
expect_gone() {
  for f in "$@"; do [ ! -e "$f" ] || fail "$f is still there"; done
}
# The installed command line updates the installed simulator.
flash_works() {
  out="$(/usr/bin/tq330-flash --version)" || fail "/usr/bin/tq330-flash --version"
  grep -q "^tq330-flash ${version%%[-~]*}" <<<"$out" || fail "/usr/bin/tq330-flash is not the new one: $out"
  start_sim /usr/bin/tq330-sim
  update_with /usr/bin/tq330-flash
}

step "install both packages"
apt_get install "${debs[@]}"
expect_version tq330-flash "$version"
expect_version tq330-updater "$version"
flash_works
window_polls /usr/bin/tq330-updater
stop_sim
step "remove the window: the command line stays and works"
apt_get remove tq330-updater
expect_gone /usr/bin/tq330-updater /usr/share/applications/tq330-updater.desktop
expect_version tq330-flash "$version"
flash_works
stop_sim
apt_get purge tq330-flash
expect_gone /usr/bin/tq330-flash /usr/bin/tq330-sim /usr/share/doc/tq330-flash

step "a desktop: the single package 3.11 upgraded to both"
apt_get install "$single_deb"
expect_version tq330-updater 3.11
apt_get install "${debs[@]}"
expect_version tq330-flash "$version"
expect_version tq330-updater "$version"
expect_gone /usr/share/doc/tq330-updater/changelog.gz
flash_works
window_polls /usr/bin/tq330-updater
stop_sim
remove_all

step "a headless station: the single package 3.11 replaced by tq330-flash alone"
apt_get install "$single_deb"
apt_get install "$flash_deb"
grep -q 'REMOVED' "$work/apt.txt" ||
  { cat "$work/apt.txt"; fail "apt did not remove the single package"; }
[ -z "$(installed tq330-updater)" ] || fail "the single package is still installed"
expect_version tq330-flash "$version"
expect_gone /usr/bin/tq330-updater /usr/share/metainfo/invalid.tq330updater.updater.metainfo.xml
flash_works
stop_sim
remove_all
expect_gone /usr/bin/tq330-flash /usr/bin/tq330-sim

printf '\ninstall checks passed: %s (fresh, desktop upgrade, headless upgrade, removal)\n' \
  "$(for deb in "${debs[@]}"; do basename "$deb"; done | xargs)"
