#!/usr/bin/env bash
# Installs every Debian 12 package the project needs to build, run and test. Safe to run again.
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev libgl-dev                  # the window (Qt 6 Widgets)
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev                # libFuzzer and the sanitizers' runtimes
  clang-tidy                              # static checks (scripts/tidy.sh)
  gcovr                                   # coverage figures (scripts/coverage.sh)
  srecord                                 # srec_cat, the independent S-record oracle of the tests
  g++-mingw-w64-x86-64                    # the 64-bit Windows build (cmake --preset win64)
  g++-mingw-w64-i686-posix                # the 32-bit Windows build (cmake --preset win32)
  wine64 wine32:i386                      # run the Windows builds' tests (scripts/test-windows.sh)
  libc6-dev-i386                          # the pty shim for 32-bit Wine (clang -m32; tests/com_win32)
  xvfb xauth                              # a display for screenshots and the demo on headless machines
  openbox x11-utils                       # a real window manager for the window's frame test
  imagemagick                             # the Windows window's screenshot (scripts/screenshot-win32.sh)
  fonts-dejavu-core
  lintian desktop-file-utils appstream file  # package checks (scripts/check-packages.sh)
  nsis wine                               # the Windows installer, and trying it (check-windows-packages.sh)
  ser2net socat                           # network ports: the tests start their own servers (tests/sim/sim_net.cpp)
  g++-aarch64-linux-gnu qemu-user-static  # the arm64 build (cmake --preset arm64), its tests under qemu
  libc6:arm64 libstdc++6:arm64            # arm64 runtime: qemu's loader, the arm64 package's dependencies
)
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
# wine32 is an i386 package: 64-bit Windows runs 32-bit programs, and so must its stand-in. The
# arm64 libraries come from Debian's multiarch archive too.
foreign_added=0
for arch in i386 arm64; do
  if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    $SUDO dpkg --add-architecture "$arch"
    foreign_added=1
  fi
done
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ] || [ "$foreign_added" = 1 ]; then
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
