#!/usr/bin/env bash
# Makes every release package from a clean clone and checks each one:
#   build/release/tq330-flash_<version>-1_amd64.deb, tq330-updater_<version>-1_amd64.deb
#   build/arm64-release/tq330-flash_<version>-1_arm64.deb           (scripts/check-packages.sh)
#   build/win32-release/tq330-updater-<version>-setup.exe (32- and 64-bit Windows) and -win32.zip,
#   build/win64-release/tq330-updater-<version>-win64.zip             (scripts/check-windows-packages.sh)
# Usage: scripts/make-packages.sh /path/to/release.s28
#        scripts/make-packages.sh --placeholder   test packages of the committed placeholder firmware,
#                                                 every name saying "placeholder"
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

case "${1:-}" in
--placeholder) firmware=(-DTQ330_ALLOW_PLACEHOLDER_PACKAGE=ON) ;;
"" | -*)
  echo "usage: $0 /path/to/release.s28 | --placeholder" >&2
  exit 2
  ;;
*) firmware=("-DTQ330_FIRMWARE_FILE=$(realpath "$1")" -DTQ330_ALLOW_PLACEHOLDER_PACKAGE=OFF) ;;
esac

bash scripts/setup.sh
start=$(date +%s)

# Packages of an earlier run (another version or firmware) would be checked in place of the new ones.
rm -f build/release/tq330-*.deb build/arm64-release/tq330-*.deb build/win64-release/tq330-updater-*-win64.zip \
  build/win32-release/tq330-updater-*-{setup.exe,win32.zip}

cmake --preset release "${firmware[@]}" >/dev/null
cmake --build --preset release -j2 --target package
bash scripts/check-packages.sh build/release

cmake --preset arm64-release "${firmware[@]}" >/dev/null
cmake --build --preset arm64-release -j2 --target package
bash scripts/check-packages.sh build/arm64-release arm64 build/release

# The 64-bit programs first: the installer, made by the 32-bit build, carries both.
cmake --preset win64-release "${firmware[@]}" >/dev/null
cmake --preset win32-release "${firmware[@]}" >/dev/null
if [ -f build/win64-release/CPackConfig.cmake ] && [ -f build/win32-release/CPackConfig.cmake ]; then
  cmake --build --preset win64-release -j2 --target package
  cmake --build --preset win32-release -j2 --target package
  cmake --build --preset win32-release -j2 --target installer
  bash scripts/check-windows-packages.sh build/win32-release build/win64-release
else
  echo "The Windows builds have no program yet: no installer or ZIP made."
fi

printf '\npackages made and checked in %s s:\n' "$(($(date +%s) - start))"
ls -l build/release/tq330-*.deb build/arm64-release/tq330-*.deb build/win32-release/tq330-updater-*-{setup.exe,win32.zip} \
  build/win64-release/tq330-updater-*-win64.zip 2>/dev/null
