#!/usr/bin/env bash
# Checks the Debian packages of one architecture as a user and the archive would meet them:
#   tq330-flash (the command line and the simulator, no Qt) and, where built, tq330-updater (the
#   window): lintian (errors, warnings and infos fail; each kept finding is overridden with its reason
#   in packaging/debian/lintian-overrides.in), desktop-file-validate, appstreamcli, man pages for
#   every program, the relations between the two packages and to the single package of 3.11,
#   dependencies that apt can satisfy, and the programs run from an unpacked copy: the packaged
#   simulator serves a pseudo-terminal that the packaged programs then talk to, and tq330-flash, run
#   by a user who may not open it, names it along with the group to join.
# Packages of another architecture (arm64) run under qemu-user, against this machine's packages
# of the same version and the other way round: their tq330-flash updates this machine's tq330-sim,
# and this machine's tq330-flash updates their tq330-sim.
# Usage: scripts/check-packages.sh [build dir] [architecture] [this machine's build dir]
#        (defaults build/release, this machine's architecture, build/release)
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$(cd "${1:-$repo/build/release}" && pwd)"
host_arch="$(dpkg --print-architecture)"
arch="${2:-$host_arch}"

fail() {
  echo "FAIL: $*" >&2
  exit 1
}
step() { printf '\n-- %s\n' "$*"; }
# start_sim, stop_sim, update_with
source "$repo/scripts/package-sim.sh"

# The one package of a name and architecture in a folder.
find_deb() {
  local found=("$1"/"$2"_*_"$3".deb)
  [ ${#found[@]} -eq 1 ] || fail "expected one $2_*_$3.deb in $1, found ${#found[@]}"
  echo "${found[0]}"
}

shopt -s nullglob
flash_deb="$(find_deb "$build" tq330-flash "$arch")"
debs=("$flash_deb")
updater_deb=""
if [ "$arch" = "$host_arch" ] || [ -n "$(echo "$build"/tq330-updater_*_"$arch".deb)" ]; then
  updater_deb="$(find_deb "$build" tq330-updater "$arch")"
  debs+=("$updater_deb")
fi
for deb in "${debs[@]}"; do echo "package: $(basename "$deb") ($(stat -c %s "$deb") bytes)"; done

# A foreign architecture's programs run under qemu-user with the cross toolchain's libraries.
run=()
if [ "$arch" != "$host_arch" ]; then
  case "$arch" in
  # As cmake/toolchain-aarch64.cmake: the arm64 libc of the machine if installed (with -L, qemu
  # would mix the cross sysroot's loader with that libc), else the cross sysroot's.
  arm64)
    run=(qemu-aarch64-static)
    [ -e /lib/ld-linux-aarch64.so.1 ] || run+=(-L /usr/aarch64-linux-gnu)
    ;;
  *) fail "no emulator known for $arch" ;;
  esac
  command -v "${run[0]}" >/dev/null || fail "${run[0]} is not installed (scripts/setup.sh)"
  native_build="$(cd "${3:-$repo/build/release}" && pwd)"
fi

work="$(mktemp -d /tmp/tq330-pkgcheck.XXXXXX)"
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

step "lintian"
# Pedantic findings are shown, not failed on.
set +e
lintian --fail-on error,warning,info --display-info --pedantic "${debs[@]}" >"$work/lintian.txt" 2>&1
rc=$?
set -e
grep -v '^running with root privileges' "$work/lintian.txt" || true
[ $rc -eq 0 ] || fail "lintian reports findings"
echo "lintian: no errors, warnings or infos"

# Both packages unpacked into one tree, as installed together.
root="$work/root"
for deb in "${debs[@]}"; do dpkg -x "$deb" "$root"; done
version="$(dpkg-deb -f "$flash_deb" Version)"
release="${version%%[-~]*}"

if [ -n "$updater_deb" ]; then
  step "desktop file and AppStream data"
  desktop="$root/usr/share/applications/tq330-updater.desktop"
  [ -f "$desktop" ] || fail "no desktop file"
  # Errors, warnings and hints all fail.
  out="$(desktop-file-validate "$desktop" 2>&1)" || { echo "$out"; fail "desktop-file-validate"; }
  [ -z "$out" ] || { echo "$out"; fail "desktop-file-validate has remarks"; }
  echo "desktop-file-validate: no errors, warnings or hints"
  appstreamcli validate-tree --no-net "$root" || fail "appstreamcli validate-tree"
  # The program's version, which a test package marks as it marks its Debian version.
  appstream="$release"
  [[ $version != *~placeholder ]] || appstream+="~placeholder"
  grep -q "<release version=\"$appstream\"" "$root"/usr/share/metainfo/*.metainfo.xml ||
    fail "the AppStream release is not $appstream"
  exec_program="$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")"
  [ -x "$root/usr/bin/$exec_program" ] || fail "the desktop file starts $exec_program, which is not installed"
  echo "desktop Exec: /usr/bin/$exec_program is installed"
fi

step "contents"
# Each program in the package that should hold it, with its man page; the headless package links no Qt.
expect_programs() {
  local deb="$1"
  shift
  local listed
  listed="$(dpkg-deb -c "$deb" | awk '{print $6}' | sed -n 's|^\./usr/bin/||p' | sort | xargs)"
  [ "$listed" = "$*" ] || fail "$(basename "$deb") holds the programs '$listed', not '$*'"
}
expect_programs "$flash_deb" tq330-flash tq330-sim
[ -z "$updater_deb" ] || expect_programs "$updater_deb" tq330-updater
machine="$(case "$arch" in arm64) echo "ARM aarch64" ;; amd64) echo "x86-64" ;; *) echo "$arch" ;; esac)"
for program in "$root"/usr/bin/*; do
  name="$(basename "$program")"
  page="$root/usr/share/man/man1/$name.1.gz"
  [ -f "$page" ] || fail "no man page for $name"
  zcat "$page" | grep -q "\"TQ330 Updater $release\"" || fail "man page of $name is not of $release"
  info="$(file "$program")"
  grep -q "$machine" <<<"$info" || fail "$name is not an $arch program: $info"
  if grep -q "not stripped" <<<"$info"; then fail "$name is not stripped"; fi
  if [ -z "${run[*]}" ] && ldd "$program" | grep -q "not found"; then ldd "$program"; fail "$name misses libraries"; fi
  echo "$name: $(stat -c %s "$program") bytes, $machine, stripped, man page"
done
for name in tq330-flash tq330-sim; do
  if readelf -d "$root/usr/bin/$name" | grep -q 'NEEDED.*libQt'; then fail "$name links Qt"; fi
done
for deb in "${debs[@]}"; do
  package="$(dpkg-deb -f "$deb" Package)"
  for f in copyright changelog.Debian.gz README.md; do
    [ -f "$root/usr/share/doc/$package/$f" ] || fail "no /usr/share/doc/$package/$f"
  done
done
if [ -n "$updater_deb" ]; then
  for size in 16 32; do
    [ -f "$root/usr/share/icons/hicolor/${size}x${size}/apps/tq330-updater.png" ] || fail "no ${size} px icon"
  done
fi
echo "tq330-flash and tq330-sim link no Qt; doc files$([ -z "$updater_deb" ] || echo " and icons") present"

step "relations and dependencies"
field() { dpkg-deb -f "$1" "$2"; }
# The single package of 3.11 held every program: tq330-flash takes its files over (Replaces) and has
# apt upgrade or remove it (Breaks); the split packages sort above it.
single="tq330-updater (<< ${release}-1~)"
[ "$(field "$flash_deb" Replaces)" = "$single" ] || fail "tq330-flash does not replace $single"
[ "$(field "$flash_deb" Breaks)" = "$single" ] || fail "tq330-flash does not break $single"
dpkg --compare-versions "$version" gt "$release" || fail "$version does not sort above the single package $release"
if grep -q placeholder <<<"$flash_deb"; then
  dpkg --compare-versions "$version" lt "${release}-1" || fail "the test package $version sorts above the release"
fi
if grep -q 'libqt' <<<"$(field "$flash_deb" Depends)"; then fail "tq330-flash depends on Qt"; fi
echo "tq330-flash $version: Depends: $(field "$flash_deb" Depends); Breaks, Replaces: $single"
if [ -n "$updater_deb" ]; then
  [ "$(field "$updater_deb" Version)" = "$version" ] || fail "the packages' versions differ"
  grep -qF "tq330-flash (= $version)" <<<"$(field "$updater_deb" Depends)" ||
    fail "tq330-updater does not depend on tq330-flash (= $version)"
  echo "tq330-updater $version: Depends: $(field "$updater_deb" Depends)"
fi
apt-get --simulate install "${debs[@]}" >"$work/apt.txt" 2>&1 || { cat "$work/apt.txt"; fail "apt cannot install them"; }
for deb in "${debs[@]}"; do
  grep -q "^Inst $(field "$deb" Package)[: ]" "$work/apt.txt" || { cat "$work/apt.txt"; fail "apt would not install $deb"; }
done
echo "apt-get --simulate install: ok ($(grep -c '^Inst ' "$work/apt.txt") packages to install)"

bin="$root/usr/bin"
step "the packaged programs against the packaged simulator${run[*]:+ (under ${run[0]})}"
out="$("${run[@]}" "$bin/tq330-flash" --version)" || fail "tq330-flash --version failed"
echo "tq330-flash --version: $out"
grep -q "$release" <<<"$out" || fail "tq330-flash --version does not say $release"

if [ -n "${run[*]}" ]; then
  # This machine's tq330-flash and tq330-sim of the same version, from its own package.
  native_deb="$(find_deb "$native_build" tq330-flash "$host_arch")"
  [ "$(field "$native_deb" Version)" = "$version" ] || fail "$(basename "$native_deb") is not of version $version"
  dpkg -x "$native_deb" "$work/native"
  native="$work/native/usr/bin"
  start_sim "${run[@]}" "$bin/tq330-sim"
  echo "$arch tq330-sim serves $pty"
  update_with "$native/tq330-flash"
  stop_sim
  start_sim "$native/tq330-sim"
  echo "$host_arch tq330-sim serves $pty"
  update_with "${run[@]}" "$bin/tq330-flash"
else
  start_sim "$bin/tq330-sim"
  echo "tq330-sim serves $pty"
  update_with "$bin/tq330-flash"
fi
[ -z "$updater_deb" ] || window_polls "${run[@]}" "$bin/tq330-updater"

# A user outside the group that owns the port: the programs must name the device and the group.
# Root opens anything, so root plays that user as "nobody" on a port only root may open.
chmod 755 "$work"
if [ "$(id -u)" -eq 0 ]; then
  chmod 600 "$pty"
  as_user=(runuser -u nobody --)
else
  chmod 000 "$pty"
  as_user=()
fi
set +e
"${as_user[@]}" "${run[@]}" "$bin/tq330-flash" --port "$pty" --wait 2 >"$work/denied.out" 2>&1
rc=$?
set -e
expected="permission denied on $pty: add yourself to the dialout group and log in again"
grep -qxF "$expected" "$work/denied.out" || { cat "$work/denied.out"; fail "tq330-flash does not say: $expected"; }
[ $rc -eq 3 ] || fail "tq330-flash on a refused port ended with $rc, not 3"
echo "tq330-flash on a port it may not open: \"$expected\" (exit 3)"

printf '\nall package checks passed: %s\n' "$(for deb in "${debs[@]}"; do basename "$deb"; done | xargs)"
