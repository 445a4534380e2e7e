#!/usr/bin/env bash
# Makes every release package from a clean clone and checks each one:
#   build/release/tq330-flash_<version>-1_amd64.deb, tq330-updater_<version>-1_amd64.deb
#   build/arm64-release/tq330-flash_<version>-1_arm64.deb           (scripts/check-packages.sh)
#   build/win32-release/tq330-updater-<version>-setup.exe (32- and 64-bit Windows) and -win32.zip,
#   build/win64-release/tq330-updater-<version>-win64.zip             (scripts/check-windows-packages.sh)
# Usage: scripts/make-packages.sh /path/to/release.s28 [deb] [arm64] [windows]
#        scripts/make-packages.sh --placeholder [deb] [arm64] [windows]
#          --placeholder: test packages of the committed placeholder firmware, every name saying
#          "placeholder". Without a kind, all three; arm64 is checked against the amd64 one (deb),
#          made first when missing.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

case "${1:-}" in
--placeholder) firmware=(-DTQ330_ALLOW_PLACEHOLDER_PACKAGE=ON) ;;
"" | -*)
  echo "usage: $0 /path/to/release.s28 | --placeholder [deb] [arm64] [windows]" >&2
  exit 2
  ;;
*) firmware=("-DTQ330_FIRMWARE_FILE=$(realpath "$1")" -DTQ330_ALLOW_PLACEHOLDER_PACKAGE=OFF) ;;
esac
shift
kinds=("$@")
[ $# -gt 0 ] || kinds=(deb arm64 windows)
groups=(build)
for kind in "${kinds[@]}"; do
  case $kind in
  deb) groups+=(packages) ;;
  arm64) groups+=(packages arm64) ;;
  windows) groups+=(mingw32 windows32 windows64 windows-packages) ;;
  *)
    echo "$0: no package kind '$kind' (deb, arm64, windows)" >&2
    exit 2
    ;;
  esac
done
want() { [[ " ${kinds[*]} " == *" $1 "* ]]; }

bash scripts/setup.sh "${groups[@]}"
start=$(date +%s)

make_deb() {
  rm -f build/release/tq330-*.deb
  cmake --preset release "${firmware[@]}" >/dev/null
  cmake --build --preset release -j2 --target package
  bash scripts/check-packages.sh build/release
}
# Packages of an earlier run (another version or firmware) would be checked in place of the new ones.
if want deb; then make_deb; fi

if want arm64; then
  rm -f build/arm64-release/tq330-*.deb
  ls build/release/tq330-flash_*.deb >/dev/null 2>&1 || make_deb
  cmake --preset arm64-release "${firmware[@]}" >/dev/null
  cmake --build --preset arm64-release -j2 --target package
  bash scripts/check-packages.sh build/arm64-release arm64 build/release
fi

if want windows; then
  rm -f build/win64-release/tq330-updater-*-win64.zip build/win32-release/tq330-updater-*-{setup.exe,win32.zip}
  # The 64-bit programs first: the installer, made by the 32-bit build, carries both.
  cmake --preset win64-release "${firmware[@]}" >/dev/null
  cmake --preset win32-release "${firmware[@]}" >/dev/null
  cmake --build --preset win64-release -j2 --target package
  cmake --build --preset win32-release -j2 --target package
  cmake --build --preset win32-release -j2 --target installer
  bash scripts/check-windows-packages.sh build/win32-release build/win64-release
fi

printf '\npackages made and checked in %s s:\n' "$(($(date +%s) - start))"
ls -l build/release/tq330-*.deb build/arm64-release/tq330-*.deb build/win32-release/tq330-updater-*-{setup.exe,win32.zip} \
  build/win64-release/tq330-updater-*-win64.zip 2>/dev/null || true
