// The exported helpers for callers that size a call before making it: the
// sample an entry point pads with, and the heap its tasks take.
#include <HalideRuntime.h>

#include <algorithm>
#include <cstdint>
#include <limits>

#include "bilateral_filter.h"
#include "core/variant.h"
#include "entry/fp_mode.h"
#include "entry/scalars.h"
#include "entry/variant_table.h"
#include "tile/task_grid.h"
#include "tile/tile_driver.h"

namespace bilateral {
namespace {

// Tile rows of an output `height` rows high.
int64_t tile_row_count(Layout layout, int32_t height) {
    return layout == Layout::rgb ? tile_rows<Layout::rgb>(height) : tile_rows<Layout::gray>(height);
}

}  // namespace
}  // namespace bilateral

using bilateral::Layout;
using bilateral::Sample;

extern "C" {

double BilateralFilter_pad_sample(const char *entry_point, double pad_value) {
    const bilateral::NamedVariant *v = bilateral::find_variant(entry_point);
    if (v == nullptr) return std::numeric_limits<double>::quiet_NaN();
    bilateral::FpModeGuard fp_mode;  // rounds to float32 as the entry points do
    switch (v->sample) {
        case Sample::f32:
            return bilateral::padded_with<float>(pad_value);
        case Sample::u8:
            return bilateral::padded_with<uint8_t>(pad_value);
        case Sample::u16:
            break;
    }
    return bilateral::padded_with<uint16_t>(pad_value);
}

int64_t BilateralFilter_scratch_bytes(const char *entry_point, const halide_buffer_t *input, double window_size,
                                      const halide_buffer_t *output, int threads) {
    const bilateral::NamedVariant *v = bilateral::find_variant(entry_point);
    const bool rgb = v != nullptr && v->layout == Layout::rgb;
    const int dims = rgb ? 3 : 2;
    if (v == nullptr || input == nullptr || output == nullptr || input->dimensions < dims ||
        output->dimensions < dims) {
        return -1;
    }
    // Shapes that the entry point refuses take nothing.
    for (int d = 0; d < dims; ++d) {
        if (input->dim[d].extent < 1) return 0;
    }
    if (rgb && (output->dim[2].min > 0 || int64_t{output->dim[2].min} + output->dim[2].extent < 3)) return 0;

    const bilateral::ScratchShape shape{v->layout,
                                        v->sample,
                                        v->padding,
                                        bilateral::window_taps(window_size),
                                        bilateral::window_offset(window_size),
                                        rgb ? input->dim[2].min : 0,
                                        rgb ? input->dim[2].extent : 1,
                                        output->dim[0].extent,
                                        output->dim[1].extent};
    const int64_t per_task = bilateral::task_scratch_bytes(shape);
    if (per_task <= 0) return per_task;
    const int64_t tasks = int64_t{bilateral::tile_columns(shape.out_width)} *
                          bilateral::tile_row_count(v->layout, shape.out_height);
    const int64_t running = std::min<int64_t>(std::max(threads, 1), tasks);
    return per_task > std::numeric_limits<int64_t>::max() / running ? std::numeric_limits<int64_t>::max()
                                                                    : per_task * running;
}

}  // extern "C"
