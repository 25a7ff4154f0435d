#!/usr/bin/env bash
# Installs what is missing, builds the benchmark and the Python package (Release, build-bench/), runs
# the benchmarks and writes docs/performance.md from the medians. Run as root from anywhere in the
# repository.
#   bench/run_benchmarks.sh            every benchmark on the CPU's best target, then the Python one
#                                      (bench/python_bench.py) when python3-opencv is there
#   bench/run_benchmarks.sh --avx2     AVX2 forced on both sides (our BF_BENCH_TARGET=AVX2, OpenCV's
#                                      OPENCV_CPU_DISABLE=AVX512-SKX), the rows docs/performance-avx2.md
#                                      shows, written there with the analysis in bench/avx2_notes.md
# Further arguments go to the benchmark, e.g. bench/run_benchmarks.sh --benchmark_filter=1920x1080
# BF_BENCH_IDLE_WAIT (seconds, default 300): how long to wait for other work on the machine to stop.
set -euo pipefail
cd "$(dirname "$0")/.."
avx2=false
if [ "${1:-}" = --avx2 ]; then
  avx2=true
  shift
fi
bash scripts/setup.sh
bash bench/setup.sh
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBF_BUILD_TESTS=OFF -DBF_BUILD_BENCHMARKS=ON
cmake --build build-bench -j "$jobs" --target bench_filter bilateral_filter_python

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
if $avx2; then
  # The equal-window and square rows at 1920x1080 (N = 15 with two threads only), 512x512 and 64x64.
  rows='^((ours|disc)/(gray|RGB)_(single|uint8|uint16)_replicate|opencv/(gray|RGB)_(single|uint8|uint16))/'
  rows+='((1920x1080|512x512)/N(5|9)/|1920x1080/N15/T2|64x64/)'
  BF_BENCH_TARGET=AVX2 OPENCV_CPU_DISABLE=AVX512-SKX build-bench/bin/bench_filter \
    --benchmark_enable_random_interleaving=true --benchmark_filter="$rows" \
    --benchmark_out=build-bench/bench-avx2.json --benchmark_out_format=json "$@"
  echo "{\"wall_seconds\": $(( SECONDS - start ))}" > build-bench/run_info-avx2.json
  python3 bench/make_report.py build-bench/bench-avx2.json docs/performance-avx2.md \
    --run-info build-bench/run_info-avx2.json --notes bench/avx2_notes.md
  echo "run_benchmarks: wrote docs/performance-avx2.md (raw results in build-bench/bench-avx2.json)"
  exit 0
fi
build-bench/bin/bench_filter --benchmark_enable_random_interleaving=true \
  --benchmark_out=build-bench/bench.json --benchmark_out_format=json "$@"
python_section=()
if /usr/bin/python3 -c 'import cv2' 2>/dev/null; then
  PYTHONPATH=build-bench/python /usr/bin/python3 bench/python_bench.py \
    --markdown build-bench/python_bench.md --json build-bench/python_bench.json
  python_section=(--python build-bench/python_bench.md)
else
  echo "run_benchmarks: python3-opencv missing; no Python rows (bench/setup.sh installs it)"
fi
echo "{\"wall_seconds\": $(( SECONDS - start ))}" > build-bench/run_info.json
python3 bench/make_report.py build-bench/bench.json docs/performance.md --run-info build-bench/run_info.json \
  "${python_section[@]}"
echo "run_benchmarks: wrote docs/performance.md (raw results in build-bench/bench.json)"
