#!/usr/bin/env bash
# Fuzzes all twelve entry points against the per-sample oracle with libFuzzer,
# under AddressSanitizer and UndefinedBehaviorSanitizer, with guard pages
# around input and weights.
#
#   scripts/fuzz.sh [SECONDS] [libFuzzer options...]
#
# SECONDS defaults to 60; 0 runs until interrupted (use -jobs=N -workers=N for
# several processes). Inputs that reach new code collect in build-asan/fuzz-corpus
# (the committed seeds in tests/fuzz/corpus are read, not written); a failing
# input is saved as build-asan/fuzz-artifacts/crash-* and replays with
#   build/bin/fuzz_replay build-asan/fuzz-artifacts/crash-...
# Copy inputs worth keeping into tests/fuzz/corpus: every build replays them.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
bash scripts/setup.sh
bash scripts/asan-build.sh --target fuzz_filter
mkdir -p build-asan/fuzz-corpus build-asan/fuzz-artifacts
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  build-asan/bin/fuzz_filter build-asan/fuzz-corpus tests/fuzz/corpus \
  -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 -print_final_stats=1 \
  -artifact_prefix=build-asan/fuzz-artifacts/ "$@"
