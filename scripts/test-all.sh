#!/usr/bin/env bash
# Installs what is missing, builds and runs every test: the full suite with warnings as errors,
# clang-tidy, the suite again under AddressSanitizer + UndefinedBehaviorSanitizer, the threaded
# suites under ThreadSanitizer, the fuzz targets for a bounded time, the 32- and 64-bit Windows
# builds with their suites, their window and their command line under Wine, the arm64 build with its
# suites under qemu, and the packages (amd64, arm64, Windows) with their checks, the Debian ones
# installed for real and removed.
#
#   scripts/test-all.sh            every stage
#   scripts/test-all.sh STAGE...   only these (scripts/test-all.sh --list names them)
#
# Each stage names the package groups it needs (scripts/setup.sh). A group the registry cannot
# deliver today keeps its stages from running; every other stage still runs. The run ends with a
# table of the stages (passed, failed, not run and why, seconds) and fails when any stage failed; a
# stage not run for want of packages is a warning, not a failure.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=2
# Most of the suite's time is waiting on a line: the fault matrix takes 82 s of which 1.3 s is CPU,
# and the updates through ser2net are a minute of line time each. So the suites run more cases at
# once than there are cores: four where the build is plain, three under the sanitizers and qemu,
# where a case's own CPU is several times larger.
test_jobs=4
heavy_test_jobs=3
# No case takes minutes; one that waits on a box nobody closes must fail, not hold CI until its end.
test_timeout=900

# Whole-image updates through ser2net take about a minute of line time each, and the slow group of
# the fault matrix a minute and a half: they run once, in the first stage; the sanitizer and arm64
# stages keep the shorter network cases, the COM suite's and the fast fault matrix, which go through
# the same code.
slow_net='FlashCliNet\.(FourDevices|Ser2netStopped)|EndToEnd\.UpdatesADeviceBehindSer2net'

stage_ci_build() {
  cmake --preset ci >/dev/null
  cmake --build --preset ci -j"$jobs"
}
# The station's cases with a real browser and a real Prometheus have stages of their own (their
# packages are groups of their own): the registry may deliver the suite and not them.
station_labels='browser|prometheus'
stage_ci_test() {
  ctest --test-dir build/ci --output-on-failure --timeout "$test_timeout" -LE "$station_labels" -j"$test_jobs"
}
# --no-tests=error: a stage whose cases were lost must not pass with nothing run.
stage_station() {
  ctest --test-dir build/ci --output-on-failure --timeout "$test_timeout" -L "$1" --no-tests=error -j"$test_jobs"
}
stage_tidy() { JOBS=$jobs bash scripts/tidy.sh; }
stage_asan() {
  cmake --preset asan >/dev/null
  cmake --build --preset asan -j"$jobs"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build/asan --output-on-failure --timeout "$test_timeout" -E "$slow_net" \
    -LE "slow|$station_labels" -j"$heavy_test_jobs"
}
stage_tsan() {
  cmake --preset tsan >/dev/null
  cmake --build --preset tsan -j"$jobs"
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --test-dir build/tsan --output-on-failure \
    --timeout "$test_timeout" -E "$slow_net" -LE "slow|$station_labels" -j"$heavy_test_jobs"
}
stage_fuzz() {
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz -j"$jobs"
  bash scripts/fuzz.sh 60
}
# Both Windows architectures, each in a Wine prefix with 32-bit support (the layout of a real 64-bit
# Windows) where 32-bit Wine is installed: the 32-bit programs of the reference platform and the
# 64-bit ones.
stage_windows() { TQ330_LINUX_BUILD=build/ci bash scripts/test-windows.sh "$@"; }
stage_windows_window() { bash scripts/test-win32-e2e.sh "build/$1" build/ci; }
stage_windows_cli() { bash tests/cli/wine_flash_test.sh "build/$1" build/ci/tools/tq330-sim/tq330-sim; }
stage_arm64() {
  cmake --preset arm64 >/dev/null
  cmake --build --preset arm64 -j"$jobs"
  ctest --test-dir build/arm64 --output-on-failure --timeout "$test_timeout" -LE "slow|$station_labels" -E "$slow_net" \
    -j"$heavy_test_jobs"
}
# The committed firmware is the placeholder, so these are the test packages that say so.
stage_packages() { bash scripts/make-packages.sh --placeholder "$1"; }
stage_install() { bash scripts/check-install.sh build/release; }

# name | groups | stages it needs | what it runs | function and arguments
stages=(
  "ci-build|build|-|build, warnings as errors|stage_ci_build"
  "ci-test|build suite|ci-build|the whole suite|stage_ci_test"
  "station-browser|build suite browser|ci-build|the station's page in headless chromium|stage_station browser"
  "station-prometheus|build suite prometheus|ci-build|the station's metrics scraped by Prometheus|stage_station prometheus"
  "tidy|build tidy|ci-build|clang-tidy (bugprone, performance, concurrency)|stage_tidy"
  "asan|build suite|-|AddressSanitizer + UndefinedBehaviorSanitizer|stage_asan"
  "tsan|build suite|-|ThreadSanitizer (threaded suites)|stage_tsan"
  "fuzz|build sanitizers|-|fuzzing: S-record text and file forms, frame layer, identify, device commands|stage_fuzz"
  "win32-build|build mingw32|-|Windows 32-bit programs built, their imports checked (Windows 7)|stage_windows win32 --build-only"
  "win32|build mingw32 windows32|ci-build win32-build|Windows 32-bit suites under Wine, COM ports mapped to pseudo-terminals|stage_windows win32"
  "win32-window|build windows32|win32|Windows 32-bit window end to end under Wine and Xvfb|stage_windows_window win32"
  "win32-cli|build windows32|win32|Windows 32-bit command line under Wine|stage_windows_cli win32"
  "win64|build windows64|ci-build|Windows 64-bit build, its imports and its suites under Wine|stage_windows win64"
  "win64-window|build windows64|win64|Windows 64-bit window end to end under Wine and Xvfb|stage_windows_window win64"
  "win64-cli|build windows64|win64|Windows 64-bit command line under Wine|stage_windows_cli win64"
  "arm64|build arm64|-|arm64 build (aarch64 cross) and its suites under qemu-user|stage_arm64"
  "deb|build packages|-|Debian packages for amd64: lintian, validators, an unpacked run|stage_packages deb"
  "deb-arm64|build arm64 packages|deb|Debian package for arm64, run under qemu both ways|stage_packages arm64"
  "windows-packages|build mingw32 windows32 windows64 windows-packages|-|the Windows installer and both ZIPs, under Wine on 64- and 32-bit Windows|stage_packages windows"
  "deb-install|packages|deb|Debian packages installed with apt, run from /usr/bin, upgraded from 3.11 and removed|stage_install"
)
field() { cut -d'|' -f"$2" <<<"$1"; }

if [ "${1:-}" = --list ]; then
  for s in "${stages[@]}"; do printf '%-19s %-42s %s\n' "$(field "$s" 1)" "($(field "$s" 2))" "$(field "$s" 4)"; done
  exit 0
fi
selected=()
for s in "${stages[@]}"; do
  if [ $# -eq 0 ] || [[ " $* " == *" $(field "$s" 1) "* ]]; then selected+=("$s"); fi
done
for want in "$@"; do
  printf '%s\n' "${stages[@]}" | cut -d'|' -f1 | grep -qx -- "$want" ||
    { echo "test-all: no stage named '$want' (scripts/test-all.sh --list)" >&2; exit 2; }
done

# One set-up for every group the chosen stages need; a group it could not install is in $status.
groups=$(printf '%s\n' "${selected[@]}" | cut -d'|' -f2 | tr ' ' '\n' | awk '!seen[$0]++' | xargs)
status=$(mktemp)
trap 'rm -f "$status"' EXIT
setup_rc=0
# shellcheck disable=SC2086
bash scripts/setup.sh --status "$status" $groups || setup_rc=$?
if [ "$setup_rc" -ge 2 ]; then
  echo "test-all: the set-up failed (above); nothing was run" >&2
  exit 1
fi
group_problem() { awk -F'\t' -v g="$1" '$1 == g && $2 != "ok" { print $3; exit }' "$status"; }

declare -A result=() seconds=()
order=()
for s in "${selected[@]}"; do
  name=$(field "$s" 1)
  order+=("$name")
  seconds[$name]=0
  why=""
  for g in $(field "$s" 2); do
    problem=$(group_problem "$g")
    if [ -n "$problem" ]; then
      why="not run: packages of group $g could not be installed ($problem)"
      break
    fi
  done
  if [ -z "$why" ]; then
    needs=$(field "$s" 3)
    [ "$needs" != - ] || needs=""
    for need in $needs; do
      case "${result[$need]:-}" in
      "" | passed) ;;
      "not run: packages"*)
        why="${result[$need]} (for $need)"
        break
        ;;
      *)
        why="not run: needs $need, which did not pass"
        break
        ;;
      esac
    done
  fi
  if [ -n "$why" ]; then
    result[$name]=$why
    printf '\n==== %s: %s ====\n%s\n' "$name" "$(field "$s" 4)" "$why"
    continue
  fi
  printf '\n==== %s: %s (at %d s) ====\n' "$name" "$(field "$s" 4)" "$SECONDS"
  start=$SECONDS
  set +e
  (
    set -e
    # shellcheck disable=SC2046
    $(field "$s" 5)
  )
  rc=$?
  set -e
  seconds[$name]=$((SECONDS - start))
  if [ "$rc" -eq 0 ]; then result[$name]=passed; else result[$name]="failed (exit $rc)"; fi
done

printf '\n==== summary ====\n'
failed=() registry=() skipped=()
for name in "${order[@]}"; do
  printf '%-19s %6d s  %s\n' "$name" "${seconds[$name]}" "${result[$name]}"
  case "${result[$name]}" in
  passed) ;;
  failed*) failed+=("$name") ;;
  "not run: packages"*) registry+=("$name") ;;
  *) skipped+=("$name") ;;
  esac
done
printf '%-19s %6d s\n' total "$SECONDS"
if [ ${#failed[@]} -gt 0 ]; then
  echo "test-all: FAILED: ${failed[*]}${skipped:+; not run after a failure: ${skipped[*]}}${registry:+; not run for want of packages: ${registry[*]}}"
  exit 1
fi
if [ ${#registry[@]} -gt 0 ]; then
  echo "test-all: passed, WARNING: not run because the package registry could not deliver their packages: ${registry[*]}"
  exit 0
fi
echo "test-all: all ${#order[@]} stages passed in $SECONDS s"
