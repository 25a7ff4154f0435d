#!/usr/bin/env bash
# Fails when a source file includes a header from a layer above its own, or
# when the layers above the kernels include SIMD headers. The stack, top down:
#   entry (entry points, scalars, bounds query, FP mode; implements the public header)
#   tile  (task grid and closure, scratch, staging, tile driver)
#   color (colour kernel)
#   core  (range_exp, boundary rules, block driver, gray kernel, variant words)
#   samples (8- and 16-bit sample conversions)
set -euo pipefail
src="${1:-$(dirname "$0")/../../src}"
rank() {
  case "$1" in
    entry) echo 5 ;; tile) echo 4 ;; color) echo 3 ;; core) echo 2 ;; samples) echo 1 ;; *) echo 99 ;;
  esac
}
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
  done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
done < <(find "$src" -mindepth 2 -type f \( -name '*.h' -o -name '*.cc' \) | sort)
[ "$status" = 0 ] && echo "layers: every include points down the stack"
exit "$status"
