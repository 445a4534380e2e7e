#!/usr/bin/env bash
# Runs the link-over-simulator benchmarks and sets each figure beside its target:
#   unpaced programming of the embedded image under 0.5 s;
#   at 57600 baud within 1 % of the line-time floor;
#   the worker's CPU use while polling a silent device or a port that is not ready under 1 % of a core.
# Usage: bench/link/run_link_bench.sh [build folder]   (default build/dev; about 80 s)
set -euo pipefail
build=${1:-build/dev}
exe="$build/bench/link/bench_link_sim"
[ -x "$exe" ] || { echo "no $exe: build the target bench_link_sim first" >&2; exit 2; }
json=$(mktemp)
trap 'rm -f "$json"' EXIT
"$exe" --benchmark_format=json --benchmark_out="$json" --benchmark_out_format=json >/dev/null
python3 - "$json" <<'PY'
import json, sys
runs = {b["name"].split("/")[0]: b for b in json.load(open(sys.argv[1]))["benchmarks"]}
def line(label, value, unit, target, ok):
    print(f"{label:<44} {value:>10.3f} {unit:<4} target {target:<10} {'ok' if ok else 'MISSED'}")
u = runs["BM_ProgramEmbeddedUnpaced"]
seconds = u["real_time"] / 1000.0
line("unpaced: whole embedded image", seconds, "s", "< 0.5 s", seconds < 0.5)
line("unpaced: per block", u["us_per_block"], "us", "", True)
p = runs["BM_ProgramEmbeddedAt57600"]
line("57600 baud: programming job", p["real_time"], "s", "", True)
line("57600 baud: line-time floor", p["floor_s"], "s", "", True)
line("57600 baud: over the floor", p["over_floor_pct"], "%", "< 1 %", p["over_floor_pct"] < 1.0)
for name, label in (("BM_WorkerCpuSilentDevice", "worker CPU, silent device"),
                    ("BM_WorkerCpuPortNotReady", "worker CPU, port not ready")):
    c = runs[name]["cpu_percent"]
    line(label, c, "%", "< 1 %", c < 1.0)
PY
