#!/usr/bin/env bash
# Installs what is missing, builds in build/ (Release) and runs the
# command-line tool's demo: a generated noisy picture with sharp edges,
# filtered and written with a side-by-side comparison into out/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j "$jobs"
./build/bin/bilateral --demo out "$@"
