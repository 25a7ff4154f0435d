#!/usr/bin/env bash
# Fails when a source file includes a header from a layer above its own, when
# the layers above the kernels include SIMD headers, or when a front end reaches
# past the public headers. The library's stack, top down:
#   entry   (entry points, scalars, bounds query, FP mode, helpers; implements the public header)
#   tile    (task grid and closure, scratch, staging, tile driver)
#   color   (colour kernel)
#   core    (range_exp, boundary rules, block driver, gray kernel, variant words)
#   samples (8- and 16-bit sample conversions)
# Above it, the front ends: front/ (what they share) includes only the public
# headers and itself; tools/, python/ and bench/ include front/ and the public
# headers, never the library's sources.
set -euo pipefail
root="${1:-$(dirname "$0")/../..}"
rank() {
  case "$1" in
    entry) echo 5 ;; tile) echo 4 ;; color) echo 3 ;; core) echo 2 ;; samples) echo 1 ;; *) echo 99 ;;
  esac
}
includes() { sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$1"; }
status=0
while IFS= read -r file; do
  layer=$(basename "$(dirname "$file")")
  own=$(rank "$layer")
  if [ "$own" = 99 ]; then
    echo "$file: folder $layer is not a known layer"; status=1; continue
  fi
  while IFS= read -r inc; do
    case "$inc" in
      bilateral_filter.h)
        [ "$layer" = entry ] || { echo "$file: includes the public header from layer $layer"; status=1; } ;;
      hwy/*)
        if [ "$own" -ge 4 ]; then echo "$file: layer $layer includes the SIMD header $inc"; status=1; fi ;;
      */*)
        other=$(rank "${inc%%/*}")
        if [ "$other" -gt "$own" ]; then echo "$file: layer $layer includes $inc from a layer above"; status=1; fi ;;
    esac
  done < <(includes "$file")
done < <(find "$root/src" -mindepth 2 -type f \( -name '*.h' -o -name '*.cc' \) | sort)
while IFS= read -r file; do
  folder=$(realpath --relative-to="$root" "$file"); folder=${folder%%/*}
  while IFS= read -r inc; do
    case "$inc" in
      bilateral_filter.h | bilateral_filter_variants.h | front/*) ;;
      */*)
        # front/ takes nothing else; the tools, bindings and benchmarks may take their own files.
        if [ "$folder" = front ] || [ "$(rank "${inc%%/*}")" != 99 ] || [ "${inc%%/*}" = src ]; then
          echo "$file: front end includes $inc"; status=1
        fi ;;
      *) if [ "$folder" = front ]; then echo "$file: front/ includes $inc"; status=1; fi ;;
    esac
  done < <(includes "$file")
done < <(find "$root/front" "$root/tools" "$root/python" "$root/bench" -type f \( -name '*.h' -o -name '*.cc' \) | sort)
[ "$status" = 0 ] && echo "layers: every include points down the stack"
exit "$status"
