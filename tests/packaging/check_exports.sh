#!/usr/bin/env bash
# The shared library exports exactly the eighteen entry points and finds its
# Halide runtime library beside itself through its run-path.
set -euo pipefail
lib=$1
expected=$(for layout in gray RGB; do for sample in single uint8 uint16; do
  for padding in constant replicate symmetric; do echo "BilateralFilter_${layout}_${sample}_${padding}"; done
done; done | sort)
actual=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort)
if [ "$actual" != "$expected" ]; then
  echo "exported symbols differ from the eighteen entry points:"
  diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi
runpath=$(readelf -d "$lib" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
if [ "$runpath" != '$ORIGIN' ]; then
  echo "run-path is '$runpath', expected \$ORIGIN"
  exit 1
fi
dir=$(cd "$(dirname "$lib")" && pwd)
# ldd, or for a cross build the target's loader run under the emulator with --list.
resolved=$(${BF_LIST_LIBRARIES:-ldd} "$lib" | awk '/libbilateral_filter_runtime/ {print $3}')
if [ "$(dirname "$resolved")" != "$dir" ]; then
  echo "the runtime library resolves to '$resolved', not beside the library in $dir"
  exit 1
fi
echo "exports and run-path OK"
