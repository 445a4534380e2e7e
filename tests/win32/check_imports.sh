#!/usr/bin/env bash
# Every function a Windows program imports (objdump -p) must be on windows7_imports.txt beside this
# script: functions Windows 7 SP1 has, from Windows' own DLLs. Also checks the program's machine
# against its manifest's processorArchitecture, where it has a manifest (Windows refuses to start a
# program whose manifest names another architecture). Prints each program's DLLs and counts.
# Usage: check_imports.sh [--list] EXE...   (--list: every import, one "DLL FUNCTION" a line)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
list=0
[ "${1:-}" = --list ] && { list=1; shift; }
objdump=x86_64-w64-mingw32-objdump # reads 32- and 64-bit programs alike
allowed=$(sed 's/#.*//' "$here/windows7_imports.txt" | awk 'NF { print tolower($1), $2 }' | sort -u)

imports() { # DLL FUNCTION lines of an exe, the DLL in lower case
  "$objdump" -p "$1" | awk '
    /^\tDLL Name: / { dll = tolower($3); next }
    dll && /^\t[0-9a-f]+\t +[0-9]+ +[A-Za-z_?@]/ { print dll, $3; next }
    /^$/ { dll = "" }' | sort -u
}

failed=0
for exe in "$@"; do
  found=$(imports "$exe")
  if [ "$list" = 1 ]; then
    echo "$found"
    continue
  fi
  [ -n "$found" ] || { echo "FAIL $exe: no imports found"; failed=1; continue; }
  unknown=$(comm -23 <(echo "$found") <(echo "$allowed"))
  format=$("$objdump" -f "$exe" | sed -n 's/.*file format //p')
  summary=$(awk '{ n[$1]++ } END { for (d in n) printf "%s %d, ", d, n[d] }' <<<"$found")
  echo "$(basename "$exe") ($format): ${summary%, }"
  if [ -n "$unknown" ]; then
    echo "FAIL $exe imports functions that are not on windows7_imports.txt:"
    sed 's/^/  /' <<<"$unknown"
    failed=1
  fi
  case $format in
  pei-i386) want=x86 ;;
  pei-x86-64) want=amd64 ;;
  *) echo "FAIL $exe: not a Windows program ($format)"; failed=1; continue ;;
  esac
  manifest=$(grep -ao 'processorArchitecture="[A-Za-z0-9]*"' "$exe" | sort -u || true)
  if [ -n "$manifest" ] && [ "$manifest" != "processorArchitecture=\"$want\"" ]; then
    echo "FAIL $exe ($format): the manifest says $manifest, not $want"
    failed=1
  fi
done
exit $failed
