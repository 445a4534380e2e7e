#!/usr/bin/env bash
# Runs the link-over-simulator benchmarks and sets each figure beside its target:
#   unpaced programming of the embedded image under 0.5 s;
#   at 57600 baud within 1 % of the line-time floor;
#   the worker's CPU use while polling a silent device or a port that is not ready under 1 % of a core;
#   what a USB-serial adapter's 16 ms latency timer (the simulator's --latency-ms) adds at 57600 baud:
#   a part of the image programmed three times each way, the difference per block scaled to the
#   whole image (measured on a part, extrapolated, as the script says in its output).
# Usage: bench/link/run_link_bench.sh [build folder]   (default build/dev; about 2 min 15 s)
set -euo pipefail
build=${1:-build/dev}
exe="$build/bench/link/bench_link_sim"
[ -x "$exe" ] || { echo "no $exe: build the target bench_link_sim first" >&2; exit 2; }
json=$(mktemp)
trap 'rm -f "$json"' EXIT
"$exe" --benchmark_format=json --benchmark_out="$json" --benchmark_out_format=json >/dev/null
python3 - "$json" <<'PY'
import json, sys
benchmarks = json.load(open(sys.argv[1]))["benchmarks"]
runs = {b["name"].split("/")[0]: b for b in benchmarks}
latency = {int(b["latency_ms"]): b for b in benchmarks if b["name"].startswith("BM_ProgramPartAt57600WithLatency")}
def line(label, value, unit, target, ok):
    print(f"{label:<50} {value:>10.3f} {unit:<4} target {target:<10} {'ok' if ok else 'MISSED'}")
u = runs["BM_ProgramEmbeddedUnpaced"]
seconds = u["real_time"] / 1000.0
line("unpaced: whole embedded image", seconds, "s", "< 0.5 s", seconds < 0.5)
line("unpaced: per block", u["us_per_block"], "us", "", True)
p = runs["BM_ProgramEmbeddedAt57600"]
line("57600 baud: programming job", p["real_time"], "s", "", True)
line("57600 baud: line-time floor", p["floor_s"], "s", "", True)
line("57600 baud: over the floor", p["over_floor_pct"], "%", "< 1 %", p["over_floor_pct"] < 1.0)
l0, l16 = latency[0], latency[16]
blocks, whole = int(l0["blocks"]), int(l0["whole_image_blocks"])
per_block_ms = 1000.0 * (l16["median_s"] - l0["median_s"]) / blocks
added = per_block_ms * whole / 1000.0
line(f"57600 baud, {blocks} blocks, latency 0 ms (median)", l0["median_s"], "s", "", True)
line(f"57600 baud, {blocks} blocks, latency 16 ms (median)", l16["median_s"], "s", "", True)
line("latency 16 ms: added per block", per_block_ms, "ms", "", True)
line(f"latency 16 ms: added to the image ({whole} blocks)", added, "s", "", True)
line("latency 16 ms: whole programming, extrapolated", p["real_time"] + added, "s", "", True)
print(f"  (measured on {blocks} of {whole} blocks and scaled; the whole image at latency 0 is the run above)")
for name, label in (("BM_WorkerCpuSilentDevice", "worker CPU, silent device"),
                    ("BM_WorkerCpuPortNotReady", "worker CPU, port not ready")):
    c = runs[name]["cpu_percent"]
    line(label, c, "%", "< 1 %", c < 1.0)
PY
