#!/usr/bin/env bash
# Builds with clang and AddressSanitizer + UndefinedBehaviorSanitizer (one
# vector target, AVX2, plus the portable scalar path) in build-asan/, runs the
# library's own tests and the image I/O's fuzz seeds there, and fuzzes the
# filter and the image I/O for a minute each (BF_FUZZ_SECONDS); then
# ThreadSanitizer in build-tsan/ for the concurrency tests. Tool-level tests
# (install, Halide JIT, the command-line tool, Python) run in the plain build only.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc 2>/dev/null || echo 2)
bash scripts/asan-build.sh
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs" -LE "halide|packaging|tools|python" "$@"
bash scripts/fuzz.sh "${BF_FUZZ_SECONDS:-60}"
BF_FUZZ_TARGET=fuzz_io bash scripts/fuzz.sh "${BF_FUZZ_SECONDS:-60}"

CC=clang-14 CXX=clang++-14 cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBF_SANITIZE=thread "-DBF_EXTRA_DISABLED_TARGETS=HWY_AVX3|HWY_AVX3_DL"
cmake --build build-tsan -j "$jobs" --target concurrency_test
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure -L concurrency
