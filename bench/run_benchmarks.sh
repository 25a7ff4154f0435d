#!/usr/bin/env bash
# Installs what is missing, builds the benchmark (Release, build-bench/), runs every benchmark once
# and writes docs/performance.md from the medians. Run as root from anywhere in the repository.
# Extra arguments go to the benchmark, e.g. bench/run_benchmarks.sh --benchmark_filter=1920x1080
# BF_BENCH_IDLE_WAIT (seconds, default 300): how long to wait for other work on the machine to stop.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash bench/setup.sh
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBF_BUILD_TESTS=OFF -DBF_BUILD_BENCHMARKS=ON
cmake --build build-bench -j "$jobs" --target bench_filter

# Busy and total CPU ticks of the whole machine since boot.
cpu_ticks() { awk '/^cpu /{print $2+$3+$4+$7+$8+$9, $2+$3+$4+$5+$6+$7+$8+$9}' /proc/stat; }
# Percent of the machine busy over the next two seconds.
busy_percent() {
  local b0 t0 b1 t1
  read -r b0 t0 < <(cpu_ticks); sleep 2; read -r b1 t1 < <(cpu_ticks)
  echo $(( (b1 - b0) * 100 / (t1 - t0 > 0 ? t1 - t0 : 1) ))
}

# Two threads on a two-core machine measure nothing while something else runs: wait for quiet.
deadline=$(( SECONDS + ${BF_BENCH_IDLE_WAIT:-300} ))
while busy=$(busy_percent) && [ "$busy" -gt 10 ] && [ "$SECONDS" -lt "$deadline" ]; do
  echo "run_benchmarks: machine ${busy}% busy with other work; waiting for it to settle"
  sleep 8
done
if [ "$busy" -gt 10 ]; then
  echo "run_benchmarks: still ${busy}% busy; measuring anyway (the report flags the rows it touched)"
fi

start=$SECONDS
# Human-readable progress on the console, the full results as JSON for the report. Repetitions run
# interleaved in random order: on a shared virtual machine a slow spell lasts seconds, and the median
# then drops it instead of reporting a whole slow row. The report flags rows other work competed with.
build-bench/bin/bench_filter --benchmark_enable_random_interleaving=true \
  --benchmark_out=build-bench/bench.json --benchmark_out_format=json "$@"
echo "{\"wall_seconds\": $(( SECONDS - start ))}" > build-bench/run_info.json
python3 bench/make_report.py build-bench/bench.json docs/performance.md build-bench/run_info.json
echo "run_benchmarks: wrote docs/performance.md (raw results in build-bench/bench.json)"
