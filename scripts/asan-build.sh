#!/usr/bin/env bash
# Configures and builds build-asan/: clang-14 with AddressSanitizer and
# UndefinedBehaviorSanitizer, one vector target (AVX2 on x86-64) plus the
# portable scalar path, and the libFuzzer target. Extra arguments go to the build.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
CC=clang-14 CXX=clang++-14 cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBF_SANITIZE=address,undefined -DBF_FUZZ=ON "-DBF_EXTRA_DISABLED_TARGETS=HWY_AVX3|HWY_AVX3_DL"
cmake --build build-asan -j "$jobs" "$@"
