#!/usr/bin/env bash
# Line and branch coverage of the whole test suite, per folder of the program. Not part of CI: it is
# a measuring tool for developers (a separate Debug build with --coverage in build/coverage).
# Prints one line per folder (image/, link/, update/, app/, tools/), then the lines and branches
# left untaken in the jobs and the update flow, whose failure paths must all be exercised.
# The HTML report with annotated sources goes to build/coverage/html/index.html.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh build suite coverage
root=$(pwd)
jobs=${JOBS:-2}
dir=build/coverage

cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTQ330_BUILD_BENCH=OFF \
  -DCMAKE_CXX_FLAGS="--coverage -DTQ330_COVERAGE" -DCMAKE_EXE_LINKER_FLAGS="--coverage" >/dev/null
cmake --build "$dir" -j"$jobs"
find "$dir" -name '*.gcda' -delete
# A failing test still leaves its counts; the figures are printed either way and the status kept.
status=0
ctest --test-dir "$dir" --output-on-failure -j"$jobs" || status=$?

# Throw branches and the compiler's unreachable ones are not decisions of the program.
common=(--root "$root" --object-directory "$dir" --exclude-throw-branches --exclude-unreachable-branches
  --filter "$root/(app|update|link|image|tools)/")
mkdir -p "$dir/html"
gcovr "${common[@]}" --json "$dir/coverage.json" --json-summary "$dir/summary.json" \
  --html-details "$dir/html/index.html" >/dev/null 2>"$dir/gcovr.log" || { cat "$dir/gcovr.log"; exit 1; }

python3 - "$dir/summary.json" <<'PY'
import json, sys
files = json.load(open(sys.argv[1]))["files"]
print("\n%-8s %18s %18s" % ("folder", "lines", "branches"))
for folder in ("image/", "link/", "update/", "app/", "tools/"):
    lc = lt = bc = bt = 0
    for f in files:
        if f["filename"].startswith(folder):
            lc += f["line_covered"]; lt += f["line_total"]
            bc += f["branch_covered"]; bt += f["branch_total"]
    pct = lambda c, t: 100.0 * c / t if t else 100.0
    print("%-8s %5.1f%% (%5d/%5d) %5.1f%% (%5d/%5d)" % (folder, pct(lc, lt), lc, lt, pct(bc, bt), bc, bt))
PY

echo
echo "Untaken lines and branches of the jobs and the update flow:"
for f in link/jobs.cpp link/job_program.cpp update/flow.cpp update/runner.cpp; do
  gcovr --add-tracefile "$dir/coverage.json" --root "$root" --filter "$root/$f" --txt --branches |
    grep -F "$f" || true
done
exit "$status"
