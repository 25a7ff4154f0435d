// Boundary rules: where a coordinate outside the input reads from. Each
// dimension is mapped on its own, in absolute coordinates. The arithmetic is
// 64-bit, so that any int32 min with any extent works: the end (min + extent)
// may pass INT32_MAX, and the positions a window reaches may lie beyond
// either end of the int32 range. Every rule maps an inside coordinate to
// itself.
#ifndef BILATERAL_CORE_BOUNDARY_H
#define BILATERAL_CORE_BOUNDARY_H

#include <algorithm>
#include <cstdint>

#include "core/variant.h"

namespace bilateral {

// Replicate: clamp to [m, end - 1], the minimum taken first.
inline int64_t clamp_index(int64_t v, int64_t m, int64_t end) { return std::max(std::min(v, end - 1), m); }

// Symmetric: mirror with the edge sample repeated, period 2e, however far the
// coordinate lies from the input (m - 1 reads m, m + e reads m + e - 1).
inline int64_t mirror_index(int64_t v, int64_t m, int64_t e) {
    const int64_t period = 2 * e;
    int64_t p = (v - m) % period;
    if (p < 0) p += period;  // Euclidean remainder
    return p < e ? m + p : m + (period - 1 - p);
}

// The coordinate that padding rule P reads for v, with inside = false when the
// constant rule substitutes the pad value instead.
template <Padding P>
inline int64_t extend_index(int64_t v, int64_t m, int64_t end, int64_t extent, bool &inside) {
    if constexpr (P == Padding::replicate) {
        (void)extent;
        return clamp_index(v, m, end);
    } else if constexpr (P == Padding::symmetric) {
        (void)end;
        return mirror_index(v, m, extent);
    } else {
        (void)extent;
        inside = inside && v >= m && v < end;
        return v;
    }
}

}  // namespace bilateral

#endif  // BILATERAL_CORE_BOUNDARY_H
