#!/usr/bin/env bash
# Installs what is missing, builds the benchmark (Release, build-bench/), runs every benchmark once
# and writes docs/performance.md from the medians. Run as root from anywhere in the repository.
# Extra arguments go to the benchmark, e.g. bench/run_benchmarks.sh --benchmark_filter=1920x1080
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash bench/setup.sh
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBF_BUILD_TESTS=OFF -DBF_BUILD_BENCHMARKS=ON
cmake --build build-bench -j "$jobs" --target bench_filter
# Human-readable progress on the console, the full results as JSON for the report.
build-bench/bin/bench_filter --benchmark_out=build-bench/bench.json --benchmark_out_format=json "$@"
python3 bench/make_report.py build-bench/bench.json docs/performance.md
echo "run_benchmarks: wrote docs/performance.md (raw results in build-bench/bench.json)"
