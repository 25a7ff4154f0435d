#!/usr/bin/env bash
# Installs what the benchmarks need beyond the library's own dependencies (run as root):
# Google Benchmark, and OpenCV as the peer the reports compare against, for C++ and for Python
# (bench/python_bench.py). The benchmark still builds without OpenCV, only without the peer rows.
# Idempotent: a second run is quick.
set -euo pipefail
exec bash "$(dirname "$0")/../scripts/setup.sh" libbenchmark-dev libopencv-dev python3 python3-opencv
