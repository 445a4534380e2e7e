#!/usr/bin/env bash
# The set-up scripts against stand-ins of apt-get, dpkg, dpkg-query and sudo on PATH: no network, no
# package touched. It guards what the scripts do with apt's answers, not apt itself:
#   - the demo asks for its own group only: no foreign architecture, none of the test tools;
#   - an apt-get update that fails as a registry mid-sync does stops nothing by itself;
#   - a group with an unmet dependency is named with apt's reason and what it costs, the others are
#     installed, and test-all lists that group's stages as not run, a warning and not a failure;
#   - a stage that fails makes test-all fail;
#   - a package name apt does not know is an error, unless its architecture's index failed.
# Usage: setup_groups_test.sh SOURCE_DIR
set -uo pipefail
src=$(cd "$1" && pwd)
tmp=$(mktemp -d)
trap '[ -n "${KEEP:-}" ] || rm -rf "$tmp"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# A copy of the scripts, so that test-all's stages run against an empty tree and the stand-in cmake.
mkdir -p "$tmp/repo" "$tmp/bin"
cp -r "$src/scripts" "$tmp/repo/"

cat >"$tmp/bin/apt-get" <<'EOF'
#!/bin/bash
echo "apt-get $*" >>"$FAKE/log"
case " $* " in
*" update "*)
  if [ -n "${FAKE_UPDATE_FAIL:-}" ]; then
    echo "E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-${FAKE_UPDATE_FAIL}/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 151.101.2.132 80]"
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
    exit 100
  fi
  exit 0
  ;;
esac
pkgs=()
for a in "$@"; do case "$a" in -* | install | DPkg::*) ;; *) pkgs+=("$a") ;; esac; done
for p in "${pkgs[@]}"; do
  if [[ " ${FAKE_UNKNOWN:-} " == *" $p "* ]]; then
    echo "E: Unable to locate package $p"
    exit 100
  fi
  if [[ " ${FAKE_UNMET:-} " == *" $p "* ]]; then
    echo "Some packages could not be installed. This may mean that you have"
    echo "requested an impossible situation or if you are using the unstable"
    echo "The following packages have unmet dependencies:"
    echo " $p : Depends: libwine:i386 (= 8.0~repack-4) but it is not going to be installed"
    echo "          Depends: libssl3:i386 (= 3.0.15-1~deb12u1) but 3.0.11-1~deb12u2 is to be installed"
    echo "E: Unable to correct problems, you have held broken packages."
    exit 100
  fi
done
printf '%s\n' "${pkgs[@]}" >>"$FAKE/installed"
EOF
cat >"$tmp/bin/dpkg" <<'EOF'
#!/bin/bash
echo "dpkg $*" >>"$FAKE/log"
case "$1" in
--print-architecture) echo amd64 ;;
--print-foreign-architectures) cat "$FAKE/archs" 2>/dev/null ;;
--add-architecture) echo "$2" >>"$FAKE/archs" ;;
*) exit 1 ;;
esac
EOF
cat >"$tmp/bin/dpkg-query" <<'EOF'
#!/bin/bash
p=${!#}
grep -qx -- "$p" "$FAKE/installed" 2>/dev/null && { echo "install ok installed"; exit 0; }
echo "dpkg-query: no packages found matching $p" >&2
exit 1
EOF
# sudo would take the real apt-get from its secure path.
printf '#!/bin/bash\nexec "$@"\n' >"$tmp/bin/sudo"
cat >"$tmp/bin/cmake" <<'EOF'
#!/bin/bash
echo "cmake $*" >>"$FAKE/log"
exit "${FAKE_CMAKE_RC:-0}"
EOF
chmod +x "$tmp/bin/"*

# One fresh machine per case: $FAKE holds what the stand-ins know and log.
run() { # run NAME COMMAND...: output in $tmp/NAME.out, exit code in $rc
  export FAKE=${STATE:-$tmp/$1}
  mkdir -p "$FAKE"
  : >"$FAKE/log"
  local name=$1
  shift
  (cd "$tmp/repo" && PATH="$tmp/bin:$PATH" TQ330_SETUP_PAUSE=0 "$@") >"$tmp/$name.out" 2>&1
  rc=$?
}
show() { sed 's/^/    | /' "$tmp/$1.out"; }

# The demo on a registry day like the one that stopped it: the i386 security index of the wrong size.
FAKE_UPDATE_FAIL=i386 FAKE_CMAKE_RC=1 run demo bash scripts/run-demo.sh
[ "$(grep -c 'apt-get .*update' "$tmp/demo/log")" = 3 ] || fail "demo: apt-get update not tried 3 times"
grep -q 'qt6-base-dev' "$tmp/demo/installed" 2>/dev/null || { fail "demo: Qt not installed after a failed update"; show demo; }
grep -q 'going on with those it has: E: Failed to fetch' "$tmp/demo.out" || fail "demo: the failed index is not said"
grep -q 'add-architecture' "$tmp/demo/log" && fail "demo: a foreign architecture was added"
tools=$(grep -E 'wine|mingw|qemu|aarch64|clang|lintian|nsis|chromium|prometheus|:i386|:arm64' "$tmp/demo/installed")
[ -z "$tools" ] || fail "demo: test tools installed: $tools"
grep -q '^cmake --preset dev' "$tmp/demo/log" || fail "demo: the build did not start after the set-up"

# Everything installed already: no apt-get at all (the set-up is run before every command).
STATE=$tmp/demo run demo-again bash scripts/setup.sh demo
[ "$rc" = 0 ] || fail "demo again: exit $rc"
grep -q 'apt-get' "$tmp/demo/log" && fail "demo again: apt-get run with nothing missing"

# 32-bit Wine cannot be installed: the group is named with apt's first unmet dependency and its
# cost; the other groups are installed; test-all runs the rest and passes with a warning.
FAKE_UPDATE_FAIL=i386 FAKE_UNMET=wine32:i386 run unmet bash scripts/test-all.sh ci-build win32 win32-window win32-cli
[ "$rc" = 0 ] || { fail "unmet: test-all exit $rc, not 0"; show unmet; }
line=$(grep '^setup: group windows32 could not be installed' "$tmp/unmet.out")
[[ "$line" == *"wine32:i386 : Depends: libwine:i386 (= 8.0~repack-4) but it is not going to be installed"*"the 32-bit Windows stages will not run" ]] ||
  { fail "unmet: the line naming the group: '$line'"; show unmet; }
grep -qx 'qt6-base-dev' "$tmp/unmet/installed" || fail "unmet: the build group was not installed"
for stage in win32 win32-window win32-cli; do
  grep -qE "^$stage +0 s  not run: packages of group windows32 could not be installed \(wine32:i386 : Depends" "$tmp/unmet.out" ||
    { fail "unmet: $stage not listed as not run"; show unmet; }
done
grep -qE '^ci-build +[0-9]+ s  passed' "$tmp/unmet.out" || fail "unmet: ci-build did not run"
tail -n 1 "$tmp/unmet.out" | grep -q 'WARNING: not run because the package registry could not deliver their packages: win32 win32-window win32-cli' ||
  fail "unmet: last line: $(tail -n 1 "$tmp/unmet.out")"
# shellcheck disable=SC2016
grep -q 'add-architecture i386' "$tmp/unmet/log" || fail "unmet: i386 not added for the 32-bit group"

# A stage that fails fails the run, and the stages that need it do not run.
FAKE_CMAKE_RC=1 run failing bash scripts/test-all.sh ci-build tidy
[ "$rc" = 1 ] || { fail "failing: test-all exit $rc, not 1"; show failing; }
grep -qE '^ci-build +[0-9]+ s  failed' "$tmp/failing.out" || fail "failing: ci-build not listed as failed"
grep -qE '^tidy +0 s  not run: needs ci-build' "$tmp/failing.out" || fail "failing: tidy not listed as not run"
tail -n 1 "$tmp/failing.out" | grep -q '^test-all: FAILED: ci-build' || fail "failing: last line: $(tail -n 1 "$tmp/failing.out")"

# A name apt does not know is a typo, whatever state the registry is in.
FAKE_UPDATE_FAIL=i386 FAKE_UNKNOWN=qt6-base-dev run unknown bash scripts/setup.sh demo
[ "$rc" = 2 ] || { fail "unknown: exit $rc, not 2"; show unknown; }
grep -q "no package named 'qt6-base-dev' (group demo)" "$tmp/unknown.out" || { fail "unknown: not named"; show unknown; }
FAKE_UNKNOWN=qt6-base-dev run unknown-all bash scripts/test-all.sh ci-build
[ "$rc" != 0 ] || fail "unknown: test-all passed with a wrong package name"
grep -q '^cmake' "$tmp/unknown-all/log" && fail "unknown: test-all ran a stage after a wrong package name"
# ... but an i386 name is unknown when the i386 index itself could not be downloaded.
FAKE_UPDATE_FAIL=i386 FAKE_UNKNOWN=wine32:i386 run unknown-i386 bash scripts/setup.sh windows32 windows64
[ "$rc" = 1 ] || { fail "unknown i386: exit $rc, not 1"; show unknown-i386; }
grep -q 'group windows32 could not be installed (apt knows no wine32:i386: the i386 index could not be downloaded)' "$tmp/unknown-i386.out" ||
  { fail "unknown i386: reason"; show unknown-i386; }
grep -qx 'g++-mingw-w64-x86-64' "$tmp/unknown-i386/installed" || fail "unknown i386: the 64-bit Windows group was not installed"
FAKE_UNKNOWN=wine32:i386 run unknown-i386-ok bash scripts/setup.sh windows32
[ "$rc" = 2 ] || fail "unknown i386 with its index downloaded: exit $rc, not 2"
run no-group bash scripts/setup.sh demo no-such-group
[ "$rc" = 2 ] || fail "a wrong group name: exit $rc, not 2"

[ "$failures" = 0 ] || exit 1
echo "setup by group: all cases passed"
