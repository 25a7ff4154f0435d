// Staging: copies a rectangle of the boundary-extended input plane into a
// dense array, so that the kernels' inner loops need no boundary tests. Float
// staging converts integer samples exactly.
#ifndef BILATERAL_TILE_STAGING_H
#define BILATERAL_TILE_STAGING_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "core/boundary.h"
#include "core/simd.h"
#include "core/variant.h"
#include "samples/convert.h"

namespace bilateral {

// One channel plane of the input: element (x, y) is
// host[x*x_stride + y*y_stride - base].
template <class T>
struct Plane {
    const T *host;
    int64_t base, x_stride, y_stride;
    int64_t x_min, x_end, y_min, y_end;  // ends: min + extent
};

// dst[r * cols + q] = S(x_first + q, y_first + r) under padding rule P, as
// float32 (Out = float) or as the samples themselves (Out = T). Rows inside
// the input copy their inside stretch directly and pass only the columns
// outside through the rule; nothing at or beyond the input's ends is read.
template <class T, Padding P, class Out>
void stage_rect(const Plane<T> &src, int64_t x_first, int64_t y_first, int64_t cols, int64_t rows, T pad,
                Out *dst) {
    static_assert(std::is_same_v<Out, float> || std::is_same_v<Out, T>);
    const int64_t x_extent = src.x_end - src.x_min, y_extent = src.y_end - src.y_min;
    const auto convert = [](T v) -> Out {
        if constexpr (std::is_same_v<Out, float>) {
            return sample_to_f32(v);
        } else {
            return v;
        }
    };
    const Out pad_value = convert(pad);
    // Staged columns [qa, qb) lie inside the input.
    const int64_t qa = std::clamp<int64_t>(src.x_min - x_first, 0, cols);
    const int64_t qb = std::clamp<int64_t>(src.x_end - x_first, qa, cols);
    for (int64_t r = 0; r < rows; ++r) {
        Out *out = dst + r * cols;
        bool row_inside = true;
        const int64_t y = extend_index<P>(y_first + r, src.y_min, src.y_end, y_extent, row_inside);
        if (!row_inside) {
            std::fill(out, out + cols, pad_value);
            continue;
        }
        const int64_t row = y * src.y_stride - src.base;  // index of column 0 of the row
        const int64_t xs = src.x_stride;
        if (qb > qa) {
            const T *inside = src.host + (row + (x_first + qa) * xs);
            if constexpr (std::is_same_v<Out, float> && !std::is_same_v<T, float>) {
                widen_samples(inside, xs, qb - qa, out + qa);
            } else if (xs == 1) {
                std::memcpy(out + qa, inside, static_cast<size_t>(qb - qa) * sizeof(T));
            } else {
                for (int64_t q = qa; q < qb; ++q) out[q] = convert(inside[(q - qa) * xs]);
            }
        }
        const auto extend_column = [&](int64_t q) {
            bool inside_x = true;
            const int64_t x = extend_index<P>(x_first + q, src.x_min, src.x_end, x_extent, inside_x);
            out[q] = inside_x ? convert(src.host[row + x * xs]) : pad_value;
        };
        for (int64_t q = 0; q < qa; ++q) extend_column(q);
        for (int64_t q = qb; q < cols; ++q) extend_column(q);
    }
}

}  // namespace bilateral

#endif  // BILATERAL_TILE_STAGING_H
