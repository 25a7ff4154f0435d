#!/usr/bin/env bash
# The shared library exports exactly the entry points of the variant lists
# (the eighteen, the twelve _rounded ones and the six joint ones) and the
# helpers, the public
# header declares exactly those, and the library finds its Halide runtime
# library beside itself through its run-path.
set -euo pipefail
lib=$1
include="$(cd "$(dirname "$0")/../../include" && pwd)"
helpers="BilateralFilter_check BilateralFilter_check_joint BilateralFilter_pad_sample BilateralFilter_scratch_bytes
  BilateralFilter_scratch_bytes_joint"
# The list expanded by the preprocessor, one name a line.
entries=$(printf '#include "bilateral_filter_variants.h"\n#define X(l, s, p) BilateralFilter_##l##_##s##_##p\nBILATERAL_FILTER_VARIANTS(X)\n' |
  ${CPP:-cpp} -P -I "$include" - | tr -s ' ' '\n' | grep .)
if [ "$(echo "$entries" | wc -l)" != 18 ] || [ "$(echo "$entries" | sort -u | wc -l)" != 18 ]; then
  echo "the variant list does not name eighteen distinct entry points:"; echo "$entries"; exit 1
fi
rounded=$(printf '#include "bilateral_filter_variants.h"\n#define X(l, s, p) BilateralFilter_##l##_##s##_##p##_rounded\nBILATERAL_FILTER_ROUNDED_VARIANTS(X)\n' |
  ${CPP:-cpp} -P -I "$include" - | tr -s ' ' '\n' | grep .)
if [ "$(echo "$rounded" | sort -u | wc -l)" != 12 ] || echo "$rounded" | grep -q single; then
  echo "the rounded list does not name the twelve integer entry points:"; echo "$rounded"; exit 1
fi
joint=$(printf '#include "bilateral_filter_variants.h"\n#define X(p) BilateralFilter_joint_##p BilateralFilter_joint_##p##_rounded\nBILATERAL_FILTER_JOINT_VARIANTS(X)\n' |
  ${CPP:-cpp} -P -I "$include" - | tr -s ' ' '\n' | grep .)
if [ "$(echo "$joint" | sort -u | wc -l)" != 6 ]; then
  echo "the joint list does not name six entry points:"; echo "$joint"; exit 1
fi
expected=$( (echo "$entries"; echo "$rounded"; echo "$joint"; tr -s ' \n' '\n' <<<"$helpers") | grep . | sort)
declared=$(tr '\n' ' ' <"$include/bilateral_filter.h" | grep -o 'BF_EXPORT [^(]*(' | grep -o 'BilateralFilter_[A-Za-z0-9_]*' | sort)
if [ "$declared" != "$expected" ]; then
  echo "the public header's declarations differ from the list and the helpers:"
  diff <(echo "$expected") <(echo "$declared") || true
  exit 1
fi
actual=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort)
if [ "$actual" != "$expected" ]; then
  echo "exported symbols differ from the list's entry points and the helpers:"
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
