#!/usr/bin/env bash
# Installs what is missing, builds and runs every test: the full suite with warnings as errors,
# clang-tidy, the suite again under AddressSanitizer + UndefinedBehaviorSanitizer, the threaded
# suites under ThreadSanitizer, the fuzz targets for a bounded time, the 32- and 64-bit Windows
# builds with their suites, their window and their command line under Wine, the arm64 build with its
# suites under qemu, and the packages (amd64, arm64, Windows) with their checks, the Debian ones
# installed for real and removed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=2

bash scripts/setup.sh

stage() { printf '\n==== %s (at %d s) ====\n' "$*" "$SECONDS"; }

# Whole-image updates through ser2net take about a minute of line time each: they run once, in the
# first stage; the sanitizer and arm64 stages keep the shorter network cases and the COM suite's.
slow_net='FlashCliNet\.(FourDevices|Ser2netStopped)|EndToEnd\.UpdatesADeviceBehindSer2net'

stage "build and test (warnings as errors)"
cmake --preset ci >/dev/null
cmake --build --preset ci -j"$jobs"
ctest --test-dir build/ci --output-on-failure -j"$jobs"

stage "clang-tidy (bugprone, performance, concurrency)"
JOBS=$jobs bash scripts/tidy.sh

stage "AddressSanitizer + UndefinedBehaviorSanitizer"
cmake --preset asan >/dev/null
cmake --build --preset asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan --output-on-failure -E "$slow_net" -j"$jobs"

stage "ThreadSanitizer (threaded suites)"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j"$jobs"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build/tsan --output-on-failure -j"$jobs"

stage "fuzzing: S-record text and file forms, frame layer, identify, device commands (200 s)"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$jobs"
bash scripts/fuzz.sh 60

# Both Windows architectures, each in a Wine prefix with 32-bit support (the layout of a real 64-bit
# Windows): the 32-bit programs of the reference platform and the 64-bit ones.
for arch in win32 win64; do
  stage "Windows $arch build (mingw-w64), its imports and its suites under Wine, COM ports mapped to pseudo-terminals"
  TQ330_LINUX_BUILD=build/ci bash scripts/test-windows.sh "$arch"

  stage "Windows $arch window end to end under Wine and Xvfb (tq330-updater.exe against tq330-sim)"
  bash scripts/test-win32-e2e.sh "build/$arch" build/ci

  stage "Windows $arch command line under Wine (tq330-flash.exe against tq330-sim)"
  bash tests/cli/wine_flash_test.sh "build/$arch" build/ci/tools/tq330-sim/tq330-sim
done

stage "arm64 build (aarch64 cross) and its suites under qemu-user (benchmarks and slow matrix left out)"
cmake --preset arm64 >/dev/null
cmake --build --preset arm64 -j"$jobs"
# Two cases find processes in /proc by their command line, which under qemu-user is qemu's.
ctest --test-dir build/arm64 --output-on-failure -LE slow \
  -E "$slow_net" -j"$jobs"

stage "packages: .deb (lintian, validators, unpacked run), the Windows installer and both ZIPs (under Wine, 64- and 32-bit Windows)"
# The committed firmware is the placeholder, so these are the test packages that say so.
bash scripts/make-packages.sh --placeholder

stage "Debian packages installed with apt, run from /usr/bin, upgraded from 3.11 and removed"
bash scripts/check-install.sh build/release

stage "all passed"
echo "test-all.sh took $SECONDS s"
