#!/usr/bin/env bash
# Runs the soak: 200 consecutive updates against an unpaced tq330-sim, a fault drawn per run from a
# fixed seed. Prints the outcomes by fault, false successes and hangs (both must be 0), VmRSS after
# the first and the last run, and the descriptors open at the end against the start.
# Usage: bench/soak/run_soak.sh [build folder] [seed] [runs]   (default build/dev, 330, 200; about 5 min)
set -euo pipefail
build=${1:-build/dev}
seed=${2:-330}
runs=${3:-200}
exe="$build/bench/soak/soak"
[ -x "$exe" ] || { echo "no $exe: build the target soak first" >&2; exit 2; }
exec "$exe" --runs "$runs" --seed "$seed"
