#!/usr/bin/env bash
# Square-window times of this tree against another commit's, under the same conditions: builds the
# commit's bench_filter (Release, in build-bench/square-<commit>/), then runs its square `replicate` rows
# at 1920x1080 with 2 threads and this tree's build-bench/bin/bench_filter in turn, two rounds each, and
# records the mean of each side's medians in bench/reference_square.json, where make_report.py reads
# them. Run after bench/run_benchmarks.sh (which builds build-bench/), on a quiet machine.
#   bench/compare_square.sh COMMIT          the CPU's best target
#   bench/compare_square.sh --avx2 COMMIT   AVX2 forced on both sides, as for docs/performance-avx2.md
set -euo pipefail
cd "$(dirname "$0")/.."
key=native
env_vars=()
if [ "${1:-}" = --avx2 ]; then
  key=AVX2
  env_vars=(BF_BENCH_TARGET=AVX2 OPENCV_CPU_DISABLE=AVX512-SKX)
  shift
fi
[ $# -eq 1 ] || { sed -n '2,9p' "$0"; exit 2; }
commit=$(git rev-parse --short "$1^{commit}")
src=build-bench/square-$commit
if [ ! -x "$src/build/bin/bench_filter" ]; then
  rm -rf "$src" && mkdir -p "$src"
  git archive "$commit" | tar -x -C "$src"
  cmake -S "$src" -B "$src/build" -DCMAKE_BUILD_TYPE=Release -DBF_BUILD_TESTS=OFF -DBF_BUILD_BENCHMARKS=ON \
    -DBF_BUILD_PYTHON=OFF -DBF_BUILD_TOOLS=OFF > "$src/configure.log"
  cmake --build "$src/build" -j "$(nproc 2>/dev/null || echo 2)" --target bench_filter
fi
cmake --build build-bench -j "$(nproc 2>/dev/null || echo 2)" --target bench_filter

rows='^ours/(gray|RGB)_(single|uint8|uint16)_replicate/1920x1080/N(5|9|15)/T2/'
for round in 1 2; do
  for side in old new; do
    bin=$([ $side = old ] && echo "$src/build/bin/bench_filter" || echo build-bench/bin/bench_filter)
    echo "compare_square: $key, round $round, $side"
    env "${env_vars[@]}" "$bin" --benchmark_enable_random_interleaving=true --benchmark_filter="$rows" \
      --benchmark_out="build-bench/square-$key-$side-$round.json" --benchmark_out_format=json > /dev/null
  done
done

python3 - "$key" "$commit" "$(git rev-parse --short HEAD)" <<'EOF'
import json, os, re, statistics, sys
sys.path.insert(0, "bench")
from make_report import cpu_model

key, old_commit, new_commit = sys.argv[1:]


def medians(side):
    """{variant: {N: mean over the rounds of the 5-repetition medians, ms}}, and the run's date."""
    values, date = {}, ""
    for round_ in (1, 2):
        with open(f"build-bench/square-{key}-{side}-{round_}.json") as f:
            data = json.load(f)
        date = data["context"].get("date", date)
        for b in data["benchmarks"]:
            m = re.match(r"ours/(\w+)_replicate/1920x1080/N(\d+)/T2/", b["run_name"] + "/")
            if m and b.get("aggregate_name") == "median":
                values.setdefault(m.group(1), {}).setdefault(m.group(2), []).append(b["real_time"])
    return {v: {n: round(statistics.mean(t), 3) for n, t in ns.items()} for v, ns in values.items()}, date


path = "bench/reference_square.json"
ref = json.load(open(path)) if os.path.exists(path) else {}
old, _ = medians("old")
new, date = medians("new")
model, _, _, _ = cpu_model()
ref[key] = {"cpu": model, "date": date, "old_commit": old_commit, "new_commit": new_commit,
            "old_ms": old, "new_ms": new}
with open(path, "w") as f:
    json.dump(ref, f, indent=1)
    f.write("\n")
print(f"compare_square: wrote {path} ({key})")
EOF
