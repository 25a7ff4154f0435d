#!/usr/bin/env bash
# Installs what is missing, builds in build/ (Release) and runs every test.
# Extra arguments go to ctest, e.g. scripts/test.sh -R Differential
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DBF_BUILD_TESTS=ON
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs" "$@"
