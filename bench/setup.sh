#!/usr/bin/env bash
# Installs what the benchmark needs beyond the library's own dependencies (run as root):
# Google Benchmark, and OpenCV as the peer the report compares against. The benchmark still
# builds without OpenCV, only without the peer rows. Idempotent: a second run is quick.
set -euo pipefail
exec bash "$(dirname "$0")/../scripts/setup.sh" libbenchmark-dev libopencv-dev python3
