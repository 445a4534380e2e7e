#!/usr/bin/env bash
# Host time per programming block, Linux against the 64- and the 32-bit Windows builds under Wine,
# side by side in one run: the whole embedded image programmed into an unpaced tq330-sim (no line
# time, so what is left is the host's own work per exchange: the frame layer, the serial module, the
# worker, the kernel or Wine).
#   Linux: bench_link_sim's BM_ProgramEmbeddedUnpaced (the worker and POSIX port of the Linux build)
#   Wine:  com_win32_tests' whole-image case (the worker and Win32 port of each Windows build on
#          COM3, which Wine maps to the simulator's pseudo-terminal), the two builds taking turns
# Usage: run_block_bench.sh [LINUX_BUILD (with benchmarks, default build/ci) [WIN64_BUILD [WIN32_BUILD [RUNS]]]]
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
linux=$(realpath "${1:-$repo/build/ci}")
win64=$(realpath "${2:-$repo/build/win64}")
win32=$(realpath "${3:-$repo/build/win32}")
runs=${4:-5}
blocks=1348 # blocks of the embedded image (240 bytes each but where a gap closes one early)

# shellcheck source=../../scripts/wine-prefix.sh
source "$repo/scripts/wine-prefix.sh"
median() { sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }

# Linux: the benchmark reports each iteration's manual time; the median of RUNS.
# (Each repetition is itself the mean of the benchmark's own five iterations.)
"$linux/bench/link/bench_link_sim" --benchmark_filter='BM_ProgramEmbeddedUnpaced' \
  --benchmark_repetitions="$runs" --benchmark_format=csv 2>/dev/null |
  awk -F, '/^"BM_ProgramEmbeddedUnpaced\/iterations:[0-9]+\/manual_time"/ {print $3}' >"$work/linux.ms"

# Wine: one prefix with 32-bit support, COM3 mapped to a fresh simulator per run.
wine_boot
for run in $(seq "$runs"); do
  for bits in 64 32; do
    win=$win64
    [ "$bits" = 32 ] && win=$win32
    "$linux/tools/tq330-sim/tq330-sim" --baud 0 --clear-ms 50 >"$work/sim.out" 2>/dev/null &
    sim_pid=$!
    for _ in $(seq 100); do [ -s "$work/sim.out" ] && break; sleep 0.05; done
    "$wine" reg add 'HKLM\Software\Wine\Ports' /v COM3 /d "$(head -n1 "$work/sim.out")" /f >/dev/null
    "$wineserver" -k
    "$wineserver" -w
    # The pty has no parity bit; the shim lets Wine's odd-parity settings stand (see test-windows.sh).
    LD_PRELOAD="$linux/tests/com_win32/pty_parity/\$LIB/libcom_win32_pty_parity.so" "$wine" \
      "$win/tests/com_win32/com_win32_tests.exe" --sim-port=2 --flash-out="Z:$work/flash.bin" \
      --gtest_filter='*EmbeddedImageIsProgrammedWhole*' --gtest_output="xml:Z:$work/run$run.xml" \
      >"$work/run$run.log" 2>&1 || { echo "the $bits-bit Wine run $run failed" >&2; exit 1; }
    sed -n 's/.*name="program_ms" value="\([0-9.]*\)".*/\1/p' "$work/run$run.xml" >>"$work/wine$bits.ms"
    kill "$sim_pid"; wait "$sim_pid" 2>/dev/null || true; sim_pid=""
  done
done

l=$(median <"$work/linux.ms")
w64=$(median <"$work/wine64.ms")
w32=$(median <"$work/wine32.ms")
echo "whole embedded image into an unpaced tq330-sim, median of $runs runs each, side by side:"
awk -v l="$l" -v w64="$w64" -v w32="$w32" -v b="$blocks" 'BEGIN {
  printf "  Linux (POSIX port):         %8.1f ms, %6.3f ms a block\n", l, l / b
  printf "  Wine, 64-bit (Win32 port):  %8.1f ms, %6.3f ms a block\n", w64, w64 / b
  printf "  Wine, 32-bit (Win32 port):  %8.1f ms, %6.3f ms a block\n", w32, w32 / b
  printf "  Wine 64-bit / Linux:        %8.2f\n", w64 / l
  printf "  Wine 32-bit / Wine 64-bit:  %8.2f\n", w32 / w64 }'
echo "  (each: Linux $(tr '\n' ' ' <"$work/linux.ms")ms; Wine 64-bit $(tr '\n' ' ' <"$work/wine64.ms")ms;" \
  "Wine 32-bit $(tr '\n' ' ' <"$work/wine32.ms")ms)"
