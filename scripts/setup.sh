#!/usr/bin/env bash
# Installs the Debian 12 packages of the named groups, and nothing else. Safe to run again.
#
#   scripts/setup.sh [--status FILE] GROUP...
#
# Every script asks only for the groups it uses: the demo needs a compiler and Qt, not Wine. Each
# group is installed on its own, so a group the package registry cannot deliver today (a stale
# index of one architecture, a dependency only that index lists) is named with apt's own reason and
# does not stop the others. A package name apt does not know at all is always an error: a typo
# must never pass as a registry's bad day.
#
# Exit: 0 every group is installed; 1 some group could not be installed (each named on stderr, and
# in FILE as "GROUP<TAB>unavailable<TAB>REASON" beside "GROUP<TAB>ok"); 2 a wrong package or group
# name, or the package tools themselves failed.
set -uo pipefail

# group -> packages. An architecture qualifier (":i386") adds that foreign architecture when, and
# only when, the group is asked for.
declare -A packages=(
  # the window on the simulator: compiler, CMake, Ninja, Qt 6, the test libraries the dev preset
  # configures with, and a virtual display for a machine without one
  [demo]="build-essential cmake ninja-build pkg-config qt6-base-dev libgl-dev
          libgtest-dev libgmock-dev libbenchmark-dev xvfb xauth"
  # every program and suite of the Linux build
  [build]="build-essential cmake ninja-build pkg-config qt6-base-dev libgl-dev
           libgtest-dev libgmock-dev libbenchmark-dev libboost-dev"
  # the peers the suites start: a display and a real window manager for the window's tests,
  # srec_cat as the S-record oracle, ser2net and socat as network servers
  [suite]="xvfb xauth openbox x11-utils fonts-dejavu-core srecord ser2net socat"
  [tidy]="clang-tidy"
  # clang with libFuzzer and the sanitizers' runtimes (the gcc ones come with build-essential)
  [sanitizers]="clang libclang-rt-14-dev"
  [coverage]="gcovr"
  # the 64-bit Windows build and Wine to run it
  [windows64]="g++-mingw-w64-x86-64 wine64 xvfb xauth imagemagick"
  # the 32-bit Windows build, which needs nothing of i386
  [mingw32]="g++-mingw-w64-i686-posix"
  # 32-bit Wine: a 64-bit Windows runs 32-bit programs, and so must its stand-in; the pty shim for
  # 32-bit Wine is built with clang -m32
  [windows32]="wine64 wine32:i386 libc6-dev-i386 clang xvfb xauth"
  # the Windows installer and trying it
  [windows-packages]="nsis wine"
  # the arm64 cross build, qemu for its tests, and the arm64 runtime (qemu's loader and the arm64
  # package's dependencies)
  [arm64]="g++-aarch64-linux-gnu qemu-user-static libc6:arm64 libstdc++6:arm64"
  # the Debian packages' checks
  [packages]="lintian desktop-file-utils appstream file"
  # the station page's checks: a real browser driven by Selenium, and a real Prometheus
  [browser]="chromium chromium-driver python3-selenium"
  [prometheus]="prometheus"
)

# What a group that cannot be installed costs, said on the same line as apt's reason.
declare -A costs=(
  [demo]="the demo cannot run"
  [build]="nothing can be built"
  [suite]="the suites that start a display or a network server cannot run"
  [tidy]="the clang-tidy stage will not run"
  [sanitizers]="the fuzzing stage will not run"
  [coverage]="no coverage figures"
  [windows64]="the 64-bit Windows stages will not run"
  [mingw32]="the 32-bit Windows programs will not be built"
  [windows32]="the 32-bit Windows stages will not run"
  [windows-packages]="the Windows installer and ZIPs will not be made"
  [arm64]="the arm64 stages will not run"
  [packages]="the Debian packages will not be made or checked"
  [browser]="the station page's browser tests will not run"
  [prometheus]="the station's Prometheus test will not run"
)

status_file=""
groups=()
while [ $# -gt 0 ]; do
  case "$1" in
  --status)
    status_file="$2"
    shift 2
    ;;
  -h | --help)
    sed -n '2,15p' "$0"
    echo "groups: ${!packages[*]}"
    exit 0
    ;;
  *)
    groups+=("$1")
    shift
    ;;
  esac
done
[ ${#groups[@]} -gt 0 ] || { echo "usage: $0 [--status FILE] GROUP... (groups: ${!packages[*]})" >&2; exit 2; }
for g in "${groups[@]}"; do
  [ -n "${packages[$g]+x}" ] || { echo "setup: no group named '$g' (groups: ${!packages[*]})" >&2; exit 2; }
done
[ -z "$status_file" ] || : >"$status_file"

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
apt_opts=(-q -o DPkg::Lock::Timeout=300)
native=$(dpkg --print-architecture)
log=$(mktemp)
trap 'rm -f "$log"' EXIT

is_installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
arch_of() { case "$1" in *:*) echo "${1##*:}" ;; *) echo "$native" ;; esac; }

# What is missing, per group; the foreign architectures those packages need.
declare -A missing=()
need_arch=()
for g in "${groups[@]}"; do
  for p in ${packages[$g]}; do
    is_installed "$p" && continue
    missing[$g]+="$p "
    a=$(arch_of "$p")
    if [ "$a" != "$native" ] && ! dpkg --print-foreign-architectures | grep -qx "$a"; then
      [[ " ${need_arch[*]} " == *" $a "* ]] || need_arch+=("$a")
    fi
  done
done

failed_archs=() # architectures whose index apt could not download, so their names may be unknown
if [ ${#missing[@]} -gt 0 ]; then
  for a in "${need_arch[@]}"; do
    $SUDO dpkg --add-architecture "$a" || { echo "setup: dpkg could not add the architecture $a" >&2; exit 2; }
  done
  # A registry mid-sync serves an index of the wrong size for a while: try again after a pause,
  # then go on with the indexes that did arrive (apt keeps the older ones of the rest).
  pause=${TQ330_SETUP_PAUSE:-10}
  for try in 1 2 3; do
    $SUDO apt-get "${apt_opts[@]}" update >"$log" 2>&1 && break
    if [ "$try" -lt 3 ]; then
      echo "setup: apt-get update failed (try $try of 3), again in $((pause * try)) s: $(grep -m1 -E '^(E|W|Err):' "$log")" >&2
      sleep $((pause * try))
    fi
  done
  if grep -qE '^(E|W): (Failed to fetch|Some index files failed)' "$log"; then
    echo "setup: apt-get update could not download every index; going on with those it has: $(grep -m1 -E '^(E|W): Failed to fetch' "$log")" >&2
    mapfile -t failed_archs < <(grep -E '^(E|W): Failed to fetch' "$log" | grep -oE 'binary-[a-z0-9]+' | sed 's/^binary-//' | sort -u)
    # An index of all architectures (a mirror with no arch in the path) leaves every name in doubt.
    grep -E '^(E|W): Failed to fetch' "$log" | grep -vq 'binary-' && failed_archs+=("$native")
  fi
fi

# Installs one group; on failure says why in one line and records it.
unavailable=0
wrong_name=0
record() { [ -z "$status_file" ] || (IFS=$'\t'; echo "$*") >>"$status_file"; }
for g in "${groups[@]}"; do
  todo=${missing[$g]:-}
  # An earlier group may have brought some of them.
  list=()
  for p in $todo; do is_installed "$p" || list+=("$p"); done
  if [ ${#list[@]} -eq 0 ]; then
    record "$g" ok
    continue
  fi
  echo "setup: installing $g: ${list[*]}"
  if $SUDO apt-get "${apt_opts[@]}" install -y --no-install-recommends "${list[@]}" >"$log" 2>&1; then
    record "$g" ok
    continue
  fi
  # apt's own reason: a name it does not know, else the first unmet dependency, else its last error.
  unknown=$(sed -nE "s/^E: (Unable to locate package|Couldn't find any package by (glob|regex)) '?([^' ]+)'?.*/\3/p; s/^E: Package '([^']+)' has no installation candidate.*/\1/p" "$log" | head -n 1)
  if [ -n "$unknown" ]; then
    if [[ " ${failed_archs[*]} " == *" $(arch_of "$unknown") "* ]]; then
      reason="apt knows no $unknown: the $(arch_of "$unknown") index could not be downloaded"
    else
      echo "setup: no package named '$unknown' (group $g): a name in scripts/setup.sh is wrong" >&2
      record "$g" error "no package named $unknown"
      wrong_name=1
      continue
    fi
  else
    reason=$(sed -n '/unmet dependencies:/{n;p;q}' "$log" | sed -E 's/^ +//; s/ +/ /g')
    [ -n "$reason" ] || reason=$(grep -E '^E: ' "$log" | tail -n 1)
    [ -n "$reason" ] || reason="apt-get install failed: $(tail -n 1 "$log")"
  fi
  echo "setup: group $g could not be installed ($reason): ${costs[$g]}" >&2
  record "$g" unavailable "$reason"
  unavailable=1
done

[ "$wrong_name" = 0 ] || exit 2
[ "$unavailable" = 0 ] || exit 1
exit 0
