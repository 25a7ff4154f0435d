#!/usr/bin/env bash
# Fuzzes all twelve entry points against the per-sample oracle with libFuzzer,
# under AddressSanitizer and UndefinedBehaviorSanitizer, with guard pages
# around input and weights; with BF_FUZZ_TARGET=fuzz_io, the image readers
# and writers instead (tests/fuzz/fuzz_io.cc), where no single allocation may
# exceed 256 MiB.
#
#   [BF_FUZZ_TARGET=fuzz_io] scripts/fuzz.sh [SECONDS] [libFuzzer options...]
#
# SECONDS defaults to 60; 0 runs until interrupted (use -jobs=N -workers=N for
# several processes). Inputs that reach new code collect in build-asan/fuzz-corpus
# (fuzz-io-corpus; the committed seeds in tests/fuzz/corpus and io_corpus are
# read, not written); a failing input is saved as build-asan/fuzz-artifacts/crash-*
# and replays with
#   build/bin/fuzz_replay build-asan/fuzz-artifacts/crash-...     (fuzz_io_replay)
# Copy inputs worth keeping into the seed folder: every build replays them.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
target=${BF_FUZZ_TARGET:-fuzz_filter}
case $target in
  fuzz_filter) corpus=build-asan/fuzz-corpus seeds=tests/fuzz/corpus limits=(-rss_limit_mb=4096) ;;
  fuzz_io) corpus=build-asan/fuzz-io-corpus seeds=tests/fuzz/io_corpus
           limits=(-rss_limit_mb=2048 -malloc_limit_mb=256 -dict=tests/fuzz/io.dict) ;;
  *) echo "BF_FUZZ_TARGET must be fuzz_filter or fuzz_io, not $target" >&2; exit 2 ;;
esac
bash scripts/setup.sh
bash scripts/asan-build.sh --target "$target"
mkdir -p "$corpus" build-asan/fuzz-artifacts
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  "build-asan/bin/$target" "$corpus" "$seeds" \
  -max_total_time="$seconds" -timeout=20 "${limits[@]}" -print_final_stats=1 \
  -artifact_prefix=build-asan/fuzz-artifacts/ "$@"
