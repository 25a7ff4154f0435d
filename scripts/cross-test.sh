#!/usr/bin/env bash
# Cross-builds the library and its test programs for another architecture and
# runs the library's suites under qemu-user, bit for bit against the oracle:
#   scripts/cross-test.sh aarch64
# On arm64 that is the NEON target with the portable scalar path (a Neoverse N1
# without SVE), then SVE/SVE2 at vector lengths of 128, 256 and 512 bits.
# Installs what is missing (Debian bookworm, as root). Builds in build-host/
# (the Halide runtime generator, which runs on this machine) and build-<arch>/.
# BF_CROSS_SUITES overrides the CTest labels run on the NEON machine; the
# fault-injection sweep fails every BF_FAULT_STRIDE-th allocation (default 7).
set -euo pipefail
cd "$(dirname "$0")/.."
arch=${1:-aarch64}
[ "$arch" = aarch64 ] || { echo "cross-test: only aarch64 is supported" >&2; exit 2; }

# Cross toolchain, emulator and the arm64 libraries the tests link.
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  [ "$(id -u)" -eq 0 ] || { echo "cross-test: run as root to add the arm64 architecture" >&2; exit 1; }
  dpkg --add-architecture arm64
  apt-get update -qq
fi
bash scripts/setup.sh crossbuild-essential-arm64 qemu-user libhwy-dev:arm64 libgtest-dev:arm64 libgmock-dev:arm64
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build-host -DCMAKE_BUILD_TYPE=Release -DBF_BUILD_TESTS=OFF -DBF_BUILD_TOOLS=OFF \
  -DBF_BUILD_PYTHON=OFF > /dev/null
cmake --build build-host -j "$jobs" --target bf_runtime_generator

cmake -S . -B "build-$arch" -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DCMAKE_BUILD_TYPE=Release \
  -DBF_BUILD_TOOLS=OFF -DBF_BUILD_PYTHON=OFF \
  -DBF_HOST_RUNTIME_GENERATOR="$PWD/build-host/bin/bf_runtime_generator"
cmake --build "build-$arch" -j "$jobs"

run() {
  echo "== cross-test: $1"
  BF_FAULT_STRIDE=${BF_FAULT_STRIDE:-7} QEMU_CPU=$2 ctest --test-dir "build-$arch" --output-on-failure -j "$jobs" -L "$3"
}
run "NEON and the portable path (Neoverse N1)" neoverse-n1 "${BF_CROSS_SUITES:-unit|differential|reliability|concurrency|fuzz|packaging}"
for bytes in 16 32 64; do
  run "SVE/SVE2 at $((bytes * 8)) bits" "max,sve-default-vector-length=$bytes" "unit|differential"
done
echo "cross-test: all suites passed on $arch"
