// Boundary rules: where a coordinate outside the input reads from. Each
// dimension is mapped on its own, in absolute coordinates, with 32-bit
// arithmetic; every rule maps an inside coordinate to itself.
#ifndef BILATERAL_CORE_BOUNDARY_H
#define BILATERAL_CORE_BOUNDARY_H

#include <algorithm>
#include <cstdint>

#include "core/variant.h"

namespace bilateral {

// Replicate: clamp to [m, end - 1], the minimum taken first.
inline int32_t clamp_index(int32_t v, int32_t m, int32_t end) { return std::max(std::min(v, end - 1), m); }

// Symmetric: mirror with the edge sample repeated, period 2e, however far the
// coordinate lies from the input (m - 1 reads m, m + e reads m + e - 1).
inline int32_t mirror_index(int32_t v, int32_t m, int32_t e) {
    const int32_t period = 2 * e;
    const int32_t u = static_cast<int32_t>(static_cast<uint32_t>(v) - static_cast<uint32_t>(m));
    int32_t p = u % period;
    if (p < 0) p += period;  // Euclidean remainder
    return p < e ? m + p : m + (period - 1 - p);
}

// The coordinate that padding rule P reads for v, with inside = false when the
// constant rule substitutes the pad value instead.
template <Padding P>
inline int32_t extend_index(int32_t v, int32_t m, int32_t end, int32_t extent, bool &inside) {
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
