#!/usr/bin/env bash
# Compiles the Win32 serial backend and the COM state machine it builds with, so that the Windows
# build keeps compiling while development happens on Linux. Compile only: nothing is linked or run.
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# The posix thread model of MinGW provides std::mutex with g++ 12; the win32 one only from g++ 13.
cxx=x86_64-w64-mingw32-g++-posix
command -v "$cxx" >/dev/null || cxx=x86_64-w64-mingw32-g++
for src in link/com_win32.cpp link/com_common.cpp; do
  "$cxx" -std=c++20 -Wall -Wextra -Werror -I"$repo" -fsyntax-only "$repo/$src"
  echo "ok  $src"
done
