// The tile driver: scratch, tap tables and staging of each block, then the
// layout's kernel on the best vector target or on the portable scalar path.
#include "tile/tile_driver.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <type_traits>

#include "bilateral_filter_variants.h"
#include "color/color_kernel.h"
#include "core/block_job.h"
#include "core/boundary.h"
#include "core/gray_kernel.h"
#include "core/range_exp.h"
#include "core/simd.h"
#include "core/weight_planes.h"
#include "samples/convert.h"
#include "tile/scratch.h"
#include "tile/staging.h"

namespace bilateral {
namespace {

constexpr int kOutputChannels = 3;

// Blocks are as wide as the tile when their weight planes fit the budget
// (fewer weights are computed twice at block edges), halving down to this
// width; windows whose planes do not fit even then compute every tap's weight
// where it is used.
constexpr int32_t kMinBlockWidth = 128;

// Bytes of weight planes one task may hold: 2.5 MiB. With the staged samples
// and tap tables, a task's scratch stays under 4 MiB for windows up to about
// 100 taps a side.
constexpr int64_t kPlaneBudget = int64_t{5} << 19;

int64_t round_up(int64_t v, int64_t m) { return (v + m - 1) / m * m; }

// a * b, or UINT64_MAX (which no request can be) when it does not fit.
uint64_t times(uint64_t a, uint64_t b) {
    uint64_t product = 0;
    return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

// Bytes of `count` elements of `size` bytes, or UINT64_MAX when no slot
// could be asked for them.
uint64_t request_bytes(uint64_t count, uint64_t size) {
    const uint64_t bytes = times(count, size);
    return bytes > SIZE_MAX ? UINT64_MAX : bytes;
}

// A slot's storage for a request of `bytes`; NULL when it cannot be had.
template <class E>
E *take(ScratchSlot &slot, uint64_t bytes) {
    return bytes == UINT64_MAX ? nullptr : static_cast<E *>(slot.get(static_cast<size_t>(bytes)));
}

// What a slot takes from halide_malloc in a task whose largest request to it
// is `bytes`: within a task no slot's requests grow (a tile's blocks only
// narrow from left to right), so the first request is the largest and the
// only one served, and a request within the slot's stack arena stays there.
uint64_t heap_bytes(uint64_t bytes) { return bytes > ScratchSlot::kStackLimit ? bytes : 0; }

// Windows with more taps than this are not held at all (the task gives up).
constexpr int64_t kMaxTaps = int64_t{1} << 31;

// Bytes of a task's tap tables: per tap two pointers (one row's tap weights
// and tap samples) and three floats (spatial weights, plane weights, the
// spatial weights kept), then the tap plan and two tap lists (every tap; the
// taps whose weight is not zero); UINT64_MAX when the window cannot be held.
uint64_t tap_table_bytes(int32_t N) {
    const int64_t taps = int64_t{N} * N;
    if (taps > kMaxTaps) return UINT64_MAX;
    return static_cast<uint64_t>(taps) * (3 * sizeof(float) + 2 * sizeof(float *)) +
           static_cast<uint64_t>(tap_plan_ints(N) + 2 * tap_list_ints(N)) * sizeof(int32_t);
}

// Weight planes of a window: h + 1 rows of every pair plane, one row of
// every direct plane.
int64_t weight_plane_count(int32_t N, int64_t pairs, int64_t directs) {
    return int64_t{(N - 1) / 2 + 1} * pairs + directs;
}

// Whether weight planes of plane_cols columns fit the budget.
bool planes_fit(int64_t plane_count, int64_t plane_cols) {
    return plane_cols <= kPlaneBudget / int64_t{sizeof(float)} / plane_count;
}

// Staged columns cover every tap's reach and, for the weight planes, h more
// on each side, all of it readable in whole vectors; rows cover the reach.
// Staging starts at column offset u_lo and row offset off.
int32_t staged_u_lo(int32_t N, int32_t off) { return std::min(off, -2 * ((N - 1) / 2)); }

// The staged shape of a block of `cols` output columns and `rows` rows.
struct BlockGeometry {
    int64_t plane_cols;  // columns of each weight plane
    int64_t stride;      // staged columns
    int64_t plane;       // staged elements of one channel
};
BlockGeometry block_geometry(int32_t cols, int32_t rows, int32_t N, int32_t off) {
    const int32_t h = (N - 1) / 2;
    const int64_t whole = round_up(cols, kMaxLanes);
    BlockGeometry g;
    g.plane_cols = round_up(whole + 2 * h, kMaxLanes);
    g.stride = std::max<int64_t>(whole + off + N - 1, g.plane_cols) - staged_u_lo(N, off);
    g.plane = g.stride * (int64_t{rows} + N - 1);
    return g;
}

// Bytes each slot is asked for by one block: the staged planes (every input
// channel and the RGB pad plane), the gray 8-bit samples once more as bytes
// for the vector kernels' byte lookups, and the weight planes when they fit
// the budget (0: none).
struct BlockScratch {
    uint64_t staged, bytes, planes;
};
BlockScratch block_scratch(const BlockGeometry &g, int64_t staged_planes, bool byte_plane, bool vector,
                           int64_t plane_count) {
    BlockScratch s;
    s.staged = request_bytes(times(static_cast<uint64_t>(g.plane), static_cast<uint64_t>(staged_planes)),
                             sizeof(float));
    s.bytes = byte_plane && vector ? request_bytes(static_cast<uint64_t>(g.plane + kMaxLanes), 1) : 0;
    s.planes = vector && planes_fit(plane_count, g.plane_cols)
                   ? request_bytes(static_cast<uint64_t>(plane_count * g.plane_cols), sizeof(float))
                   : 0;
    return s;
}

// True when the taps of the list that read one plane (a pair d and -d) have
// the same spatial weight, bit for bit; then plane_weight[k] holds the weight
// of pair plane k and of each direct plane after the pairs, for every plane
// the list reads.
bool weights_point_symmetric(const TapPlan &plan, const TapList &list, float *plane_weight) {
    for (int32_t k = 0; k < list.taps; ++k) plane_weight[plan.plane[list.tap[k]]] = list.spatial[k];
    for (int32_t k = 0; k < list.taps; ++k) {
        if (bits_from_float(plane_weight[plan.plane[list.tap[k]]]) != bits_from_float(list.spatial[k])) return false;
    }
    return true;
}

// Whether taps whose spatial weight is zero may be left out of a call, as far
// as the call's scalars decide: no weight negative or NaN (-0 is neither), R
// finite and positive. The samples decide the rest (all_finite_nonnegative).
bool weights_allow_skipping(const float *spatial, int64_t taps, float R) {
    if (!(R > 0.0f && R <= std::numeric_limits<float>::max())) return false;
    bool ok = true;
    for (int64_t t = 0; t < taps; ++t) ok &= spatial[t] >= 0.0f;
    return ok;
}

// Index of output channel k within the input's channel range, or -1 when the
// constant rule pads it.
template <Padding P>
int32_t output_channel_source(int32_t k, int32_t c_min, int32_t c_count) {
    bool inside = true;
    const int64_t source = extend_index<P>(k, c_min, int64_t{c_min} + c_count, c_count, inside);
    return inside ? static_cast<int32_t>(source - c_min) : -1;
}

int32_t output_channel_source(Padding padding, int32_t k, int32_t c_min, int32_t c_count) {
    switch (padding) {
        case Padding::constant:
            return output_channel_source<Padding::constant>(k, c_min, c_count);
        case Padding::replicate:
            return output_channel_source<Padding::replicate>(k, c_min, c_count);
        case Padding::symmetric:
            break;
    }
    return output_channel_source<Padding::symmetric>(k, c_min, c_count);
}

// The planes a block stages, in this order: the planes the range weights
// compare (the input's channels, or in a joint call the guide's), then in a
// joint call the input channels that the numerators read, each once, then a
// plane of pad values when constant padding pads an output channel.
struct StagedPlanes {
    int32_t compared = 0;
    int32_t read = 0;  // input planes staged for the numerators only
    int32_t read_channel[kOutputChannels] = {0, 0, 0};  // their channels, from the input's channel min
    bool pad_plane = false;
    int32_t outputs = 1;
    int32_t source[kOutputChannels] = {0, 0, 0};  // the plane output channel k reads
    int64_t count() const { return int64_t{compared} + read + (pad_plane ? 1 : 0); }
};

// The staged planes of a call with the input layout and channel range (RGB),
// and for a joint call the guide's channel count.
StagedPlanes staged_planes(Layout layout, Padding padding, int32_t c_min, int32_t c_count, bool joint,
                           int32_t guide_channels) {
    StagedPlanes s;
    const bool rgb = layout == Layout::rgb;
    s.outputs = rgb ? kOutputChannels : 1;
    s.compared = joint ? guide_channels : (rgb ? c_count : 1);
    int32_t channel[kOutputChannels] = {0, 0, 0};  // -1: padded
    for (int32_t k = 0; k < s.outputs; ++k) {
        if (rgb) channel[k] = output_channel_source(padding, k, c_min, c_count);
        if (channel[k] < 0) {
            s.pad_plane = true;
        } else if (!joint) {
            s.source[k] = channel[k];
        } else {
            int32_t i = 0;
            while (i < s.read && s.read_channel[i] != channel[k]) ++i;
            if (i == s.read) s.read_channel[s.read++] = channel[k];
            s.source[k] = s.compared + i;
        }
    }
    for (int32_t k = 0; k < s.outputs; ++k) {
        if (channel[k] < 0) s.source[k] = s.compared + s.read;
    }
    return s;
}

// Output channel k of row y starts at out_host[y * out_y_stride + channel_offset(k)],
// column x x * out_x_stride further.
template <class T>
int64_t channel_offset(const Closure<T> &c, int k) {
    return k == 0 ? -c.out_base : (k == 1 ? c.out_c1 : c.out_c2);
}

// With no window position there is nothing to sum: 0/0 everywhere.
template <Layout L, class T>
void write_empty_window(const Closure<T> &c, int64_t x_first, int64_t y_first, int64_t cols, int64_t rows) {
    const T nan_result = store_quotient<T>(std::numeric_limits<float>::quiet_NaN());
    const int channels = L == Layout::rgb ? kOutputChannels : 1;
    for (int64_t y = y_first; y < y_first + rows; ++y) {
        for (int k = 0; k < channels; ++k) {
            T *row = c.out_host + (y * c.out_y_stride + channel_offset(c, k));
            for (int64_t x = x_first; x < x_first + cols; ++x) row[x * c.out_x_stride] = nan_result;
        }
    }
}

// Per tile: the spatial weights in window order, the tap plan, one row's tap
// tables, the taps to run (every tap, and when it may be used, the list
// without the taps of zero weight) and, when the weights the gray kernel
// multiplies into its planes agree, the weight of each plane.
struct TapTables {
    const float **tap_tables;  // 2 * taps pointers: tap weights, then tap samples
    float *spatial;
    float *plane_weight;
    TapPlan plan;
    TapList every, nonzero;
    bool skipping;  // nonzero may replace every in blocks whose samples allow it
    bool premultiply_every, premultiply_nonzero;
};

// NULL tables when the scratch cannot be had (or the window cannot be held).
template <class T>
bool make_tap_tables(const Closure<T> &c, ScratchSlot &slot, TapTables &out) {
    const int32_t N = c.N;
    const int64_t taps = int64_t{N} * N;
    auto *storage = take<unsigned char>(slot, tap_table_bytes(N));
    if (storage == nullptr) return false;
    out.tap_tables = reinterpret_cast<const float **>(storage);
    out.spatial = reinterpret_cast<float *>(storage + 2 * taps * sizeof(float *));
    out.plane_weight = out.spatial + taps;
    float *kept = out.plane_weight + taps;
    int32_t *plan_ints = reinterpret_cast<int32_t *>(kept + taps);
    int32_t *list_ints = plan_ints + tap_plan_ints(N);
    for (int32_t j = 0, t = 0; j < N; ++j) {
        for (int32_t i = 0; i < N; ++i) out.spatial[t++] = c.w_host[i + j * c.w_y_stride - c.w_base];
    }
    out.plan = make_tap_plan(N, c.off, plan_ints);
    out.every = make_tap_list(out.plan, out.spatial, false, list_ints, nullptr);
    out.nonzero = out.every;
    out.skipping = false;
    if (weights_allow_skipping(out.spatial, taps, c.R)) {
        out.nonzero = make_tap_list(out.plan, out.spatial, true, list_ints + tap_list_ints(N), kept);
        out.skipping = out.nonzero.taps < out.every.taps;
    }
    return true;
}

// Gray with point-symmetric spatial weights (W(d) == W(-d), as for any
// Gaussian): both taps of a pair multiply their shared range weight by the
// same W, so the weight planes can hold the products. When every tap agrees,
// so do the taps of nonzero, with the same plane weights; otherwise the plane
// weights are those of nonzero.
void choose_premultiply(TapTables &tables) {
    tables.premultiply_every = weights_point_symmetric(tables.plan, tables.every, tables.plane_weight);
    tables.premultiply_nonzero =
        tables.premultiply_every || weights_point_symmetric(tables.plan, tables.nonzero, tables.plane_weight);
}

// The widest block, from the tile width down, whose weight planes fit the budget.
int32_t block_width_for(int64_t plane_count, int32_t h) {
    int32_t width = kTileWidth;
    while (width > kMinBlockWidth && !planes_fit(plane_count, round_up(width + 2 * h, kMaxLanes))) {
        width /= 2;
    }
    return width;
}

// Stages input channel ch (from the input's channel min; gray: 0) of a block:
// rows [y_first, y_first + rows), columns from x_first, `stride` of them,
// through padding rule P.
template <Layout L, class T, Padding P, class Out>
void stage_input_channel(const Closure<T> &c, int32_t ch, int64_t x_first, int64_t y_first, int64_t stride,
                         int64_t rows, Out *dst) {
    const int64_t channel_base =
        L == Layout::rgb ? c.in_base - (int64_t{c.in_c_min} + ch) * c.in_c_stride : c.in_base;
    const Plane<T> src{c.in_host, channel_base, c.in_x_stride, c.in_y_stride, c.in_x_min, c.in_x_end, c.in_y_min, c.in_y_end};
    stage_rect<T, P>(src, x_first, y_first, stride, rows, c.pad, dst);
}

// The input's region: the boundary rules map positions into it, for the input
// and for the guide alike.
struct Region {
    int64_t x_min, x_end, y_min, y_end;
};

// Stages the guide's first `planes` channels of a block like
// stage_input_channel, each position read where the input's rule maps it.
template <class G, Padding P, class Out>
void stage_guide_as(const GuideRecord &g, const Region &r, int32_t planes, int64_t x_first, int64_t y_first,
                    int64_t stride, int64_t rows, Out *dst) {
    const G pad = static_cast<G>(g.pad);  // exact: an integer guide's pad sample is a whole number
    for (int32_t ch = 0; ch < planes; ++ch) {
        const Plane<G> src{static_cast<const G *>(g.host), g.base - ch * g.c_stride, g.x_stride, g.y_stride,
                           r.x_min, r.x_end, r.y_min, r.y_end};
        stage_rect<G, P>(src, x_first, y_first, stride, rows, pad, dst + ch * stride * rows);
    }
}

// The same as float32, whatever the guide's sample type. Instantiated per
// padding rule only: the sample type is the record's word.
template <Padding P>
void stage_guide(const GuideRecord &g, const Region &r, int32_t planes, int64_t x_first, int64_t y_first,
                 int64_t stride, int64_t rows, float *dst) {
    switch (g.sample) {
        case Sample::f32:
            return stage_guide_as<float, P>(g, r, planes, x_first, y_first, stride, rows, dst);
        case Sample::u8:
            return stage_guide_as<uint8_t, P>(g, r, planes, x_first, y_first, stride, rows, dst);
        case Sample::u16:
            break;
    }
    stage_guide_as<uint16_t, P>(g, r, planes, x_first, y_first, stride, rows, dst);
}

// Stages the block that starts at output column x_block: the planes of
// `planes` into job.staged and, when `need` asks for bytes, the compared gray
// 8-bit plane (the input's, or a joint call's guide's) also as bytes into
// job.staged_bytes, for the byte-table lookups of targets that have them (the
// tail lets whole-vector loads run past the last row). The job's geometry
// (rows, N, u_lo, v_lo, stride, plane) must be set. False when scratch cannot
// be had.
template <Layout L, class T, Padding P>
bool stage_block(const Closure<T> &c, int64_t x_block, int64_t y_tile, const StagedPlanes &planes,
                 const BlockScratch &need, ScratchSlot &staged_slot, ScratchSlot &bytes_slot, BlockJob<T> &job) {
    const int64_t x_first = x_block + job.u_lo, y_first = y_tile + job.v_lo, rows = int64_t{job.rows} + job.N - 1;
    const Region region{c.in_x_min, c.in_x_end, c.in_y_min, c.in_y_end};
    float *staged = take<float>(staged_slot, need.staged);
    if (staged == nullptr) return false;
    if (c.joint) {
        stage_guide<P>(c.guide, region, planes.compared, x_first, y_first, job.stride, rows, staged);
        for (int32_t i = 0; i < planes.read; ++i) {
            stage_input_channel<L, T, P>(c, planes.read_channel[i], x_first, y_first, job.stride, rows,
                                         staged + (planes.compared + i) * job.plane);
        }
    } else {
        for (int32_t ch = 0; ch < planes.compared; ++ch) {
            stage_input_channel<L, T, P>(c, ch, x_first, y_first, job.stride, rows, staged + ch * job.plane);
        }
    }
    if (planes.pad_plane) {
        std::fill(staged + (planes.count() - 1) * job.plane, staged + planes.count() * job.plane, sample_to_f32(c.pad));
    }
    job.staged = staged;
    if (need.bytes > 0) {
        uint8_t *staged_bytes = take<uint8_t>(bytes_slot, need.bytes);
        if (staged_bytes == nullptr) return false;
        if (c.joint) {
            stage_guide_as<uint8_t, P>(c.guide, region, 1, x_first, y_first, job.stride, rows, staged_bytes);
        } else if constexpr (L == Layout::gray && std::is_same_v<T, uint8_t>) {
            stage_input_channel<L, T, P>(c, 0, x_first, y_first, job.stride, rows, staged_bytes);
        }
        std::fill(staged_bytes + job.plane, staged_bytes + job.plane + kMaxLanes, uint8_t{0});
        job.staged_bytes = staged_bytes;
    }
    return true;
}

}  // namespace

template <Layout L, class T, Padding P>
void filter_tile(void *user_context, const Closure<T> &c, const Tile &tile) {
    const int32_t tile_cols = std::min(kTileWidth, c.out_width - tile.x0);
    const int32_t tile_rows = std::min(TileShape<L>::height, c.out_height - tile.y0);
    if (tile_cols <= 0 || tile_rows <= 0) return;
    const int64_t x_tile = int64_t{c.out_x_min} + tile.x0, y_tile = int64_t{c.out_y_min} + tile.y0;
    if (c.N <= 0) {
        write_empty_window<L>(c, x_tile, y_tile, tile_cols, tile_rows);
        return;
    }
    const int32_t N = c.N, off = c.off, h = (N - 1) / 2;
    const bool vector = vector_kernels_usable();

    const StagedPlanes planes = staged_planes(L, P, c.in_c_min, c.in_c_extent, c.joint, c.guide.channels);
    // The layout and sample type of the compared planes pick the kernel and
    // what it may share: the guide's in a joint call, else the input's.
    const bool compare_gray = c.joint ? c.guide.layout == Layout::gray : L == Layout::gray;
    const Sample compared_sample = c.joint ? c.guide.sample : sample_of<T>;
    // Integer samples are finite and never negative; the float planes of each block are checked:
    // from plane `checked_from` on (the input's, with the pad plane), and a float guide's before them.
    const bool float_guide = c.joint && compared_sample == Sample::f32;
    const int64_t checked_from = sample_of<T> == Sample::f32 ? (c.joint ? planes.compared : 0) : planes.count();

    ScratchSlot tables_slot(user_context);
    TapTables tables;
    if (!make_tap_tables(c, tables_slot, tables)) return;
    tables.premultiply_every = tables.premultiply_nonzero = false;
    if (compare_gray && vector) choose_premultiply(tables);
    const int64_t plane_count = weight_plane_count(N, tables.plan.pairs, tables.plan.directs);
    const int32_t block_width = block_width_for(plane_count, h);
    const int64_t staged_planes = planes.count();
    const bool byte_plane = compare_gray && compared_sample == Sample::u8;

    BlockJob<T> job{};
    job.channels = planes.compared;
    job.outputs = planes.outputs;
    job.rows = tile_rows;
    job.N = N;
    job.off = off;
    job.R = c.R;
    job.plan = tables.plan;
    job.tap_weight = tables.tap_tables;
    job.tap_sample = tables.tap_tables + int64_t{N} * N;
    job.out_stride = c.out_y_stride;
    job.out_x_stride = c.out_x_stride;
    job.round = c.round;
    job.u_lo = staged_u_lo(N, off);
    job.v_lo = off;

    ScratchSlot staged_slot(user_context), bytes_slot(user_context), planes_slot(user_context);
    for (int32_t x = 0; x < tile_cols; x += block_width) {
        const int64_t x_block = x_tile + x;
        job.cols = std::min(block_width, tile_cols - x);
        const BlockGeometry geometry = block_geometry(job.cols, tile_rows, N, off);
        job.plane_cols = geometry.plane_cols;
        job.stride = geometry.stride;
        job.plane = geometry.plane;
        const BlockScratch need = block_scratch(geometry, staged_planes, byte_plane, vector, plane_count);

        if (!stage_block<L, T, P>(c, x_block, y_tile, planes, need, staged_slot, bytes_slot, job)) return;
        const bool skip = tables.skipping &&
                          (!float_guide || all_finite_nonnegative(job.staged, planes.compared * job.plane)) &&
                          all_finite_nonnegative(job.staged + checked_from * job.plane, (staged_planes - checked_from) * job.plane);
        job.taps = skip ? tables.nonzero : tables.every;
        const bool premultiply = skip ? tables.premultiply_nonzero : tables.premultiply_every;
        job.plane_weight = premultiply ? tables.plane_weight : nullptr;
        for (int k = 0; k < planes.outputs; ++k) {
            job.source[k] = planes.source[k] * job.plane;
            job.out[k] = c.out_host + (x_block * c.out_x_stride + y_tile * c.out_y_stride + channel_offset(c, k));
        }

        if (!vector) {
            if (compare_gray) {
                gray_block_scalar(job);
            } else {
                color_block_scalar(job);
            }
            continue;
        }
        job.planes = nullptr;
        if (need.planes > 0) {
            job.planes = take<float>(planes_slot, need.planes);
            if (job.planes == nullptr) return;
        }
        if (compare_gray) {
            gray_block_vector(job);
        } else {
            color_block_vector(job);
        }
    }
}

int64_t task_scratch_bytes(const ScratchShape &shape) {
    const int32_t N = shape.N, off = shape.off, width = shape.out_width, height = shape.out_height;
    if (N <= 0 || width <= 0 || height <= 0) return 0;
    const uint64_t tables = tap_table_bytes(N);
    if (tables == UINT64_MAX) return -1;
    const int32_t h = (N - 1) / 2;
    const int64_t plane_count = weight_plane_count(N, pair_planes(N), direct_planes(N, off));
    const int32_t block_width = block_width_for(plane_count, h);
    const bool rgb = shape.layout == Layout::rgb;
    const StagedPlanes planes = staged_planes(shape.layout, shape.padding, shape.in_c_min, shape.in_c_extent,
                                              shape.joint, shape.guide_channels);
    const int64_t staged_planes = planes.count();
    const bool compare_gray = shape.joint ? shape.guide_layout == Layout::gray : !rgb;
    const bool byte_plane = compare_gray && (shape.joint ? shape.guide_sample : shape.sample) == Sample::u8;
    const int32_t tile_height = rgb ? TileShape<Layout::rgb>::height : TileShape<Layout::gray>::height;
    const int32_t tile_y_count = rgb ? tile_rows<Layout::rgb>(height) : tile_rows<Layout::gray>(height);

    // Every tile is whole or the last of its tile column or row; its first
    // block is its widest, its last block may be narrow enough for weight
    // planes that its wider blocks cannot have.
    uint64_t worst = 0;
    const int32_t tile_widths[2] = {std::min(kTileWidth, width), width - kTileWidth * (tile_columns(width) - 1)};
    const int32_t tile_heights[2] = {std::min(tile_height, height), height - tile_height * (tile_y_count - 1)};
    for (const int32_t cols : tile_widths) {
        const int32_t last_cols = cols % block_width == 0 ? std::min(block_width, cols) : cols % block_width;
        for (const int32_t rows : tile_heights) {
            const BlockScratch first = block_scratch(block_geometry(std::min(block_width, cols), rows, N, off),
                                                     staged_planes, byte_plane, true, plane_count);
            const BlockScratch last = block_scratch(block_geometry(last_cols, rows, N, off), staged_planes,
                                                    byte_plane, true, plane_count);
            if (first.staged == UINT64_MAX || first.bytes == UINT64_MAX) return -1;
            const uint64_t parts[4] = {tables, first.staged, first.bytes, std::max(first.planes, last.planes)};
            uint64_t total = 0;
            for (const uint64_t part : parts) {
                if (__builtin_add_overflow(total, heap_bytes(part), &total)) return -1;
            }
            worst = std::max(worst, total);
        }
    }
    return worst > static_cast<uint64_t>(INT64_MAX) ? -1 : static_cast<int64_t>(worst);
}

#define BF_INSTANTIATE_FILTER_TILE(layout, sample, padding)                                         \
    template void filter_tile<BILATERAL_VARIANT_TYPES(layout, sample, padding)>(                    \
        void *, const Closure<words::sample_##sample> &, const Tile &);
BILATERAL_FILTER_VARIANTS(BF_INSTANTIATE_FILTER_TILE)
#undef BF_INSTANTIATE_FILTER_TILE

}  // namespace bilateral
