#include "front/variants.h"

#include <cstddef>

namespace bilateral::front {
namespace {

using Padded = int (*)(halide_buffer_t *, halide_buffer_t *, double, double, double, halide_buffer_t *);
using Edge = int (*)(halide_buffer_t *, halide_buffer_t *, double, double, halide_buffer_t *);

// One row of the table: the variant and its function, in the pointer type of
// its padding (constant takes a pad value, the others do not).
struct Entry {
    Variant v;
    Padded padded;
    Edge edge;
};

constexpr Layout layout_gray = Layout::gray, layout_RGB = Layout::rgb;
constexpr Sample sample_single = Sample::f32, sample_uint8 = Sample::u8, sample_uint16 = Sample::u16;
constexpr Padding padding_constant = Padding::constant, padding_replicate = Padding::replicate,
                  padding_symmetric = Padding::symmetric;
constexpr Padded padded_constant(Padded f) { return f; }
constexpr Padded padded_edge(Edge) { return nullptr; }
constexpr Edge edge_constant(Padded) { return nullptr; }
constexpr Edge edge_edge(Edge f) { return f; }
#define BF_PADDED_constant padded_constant
#define BF_PADDED_replicate padded_edge
#define BF_PADDED_symmetric padded_edge
#define BF_EDGE_constant edge_constant
#define BF_EDGE_replicate edge_edge
#define BF_EDGE_symmetric edge_edge

#define BF_ENTRY(l, s, p)                                                  \
    {{layout_##l, sample_##s, padding_##p},                                \
     BF_PADDED_##p(BilateralFilter_##l##_##s##_##p),                       \
     BF_EDGE_##p(BilateralFilter_##l##_##s##_##p)},
constexpr Entry kEntries[] = {BILATERAL_FILTER_VARIANTS(BF_ENTRY)};
#undef BF_ENTRY

constexpr size_t index_of(Variant v) {
    return (v.layout == Layout::rgb ? 9 : 0) + 3 * static_cast<size_t>(v.sample) + static_cast<size_t>(v.padding);
}

// index_of finds every entry where the list put it.
constexpr bool table_in_order() {
    for (size_t k = 0; k < sizeof(kEntries) / sizeof(kEntries[0]); ++k) {
        if (index_of(kEntries[k].v) != k) return false;
    }
    return sizeof(kEntries) / sizeof(kEntries[0]) == 18;
}
static_assert(table_in_order(), "the variant list is not in layout, sample, padding order");

}  // namespace

bool padding_from_name(std::string_view name, Padding &padding) {
    for (Padding p : {Padding::constant, Padding::replicate, Padding::symmetric}) {
        if (name == padding_name(p)) {
            padding = p;
            return true;
        }
    }
    return false;
}

std::string entry_name(Variant v) {
    return std::string("BilateralFilter_") + layout_name(v.layout) + "_" + sample_name(v.sample) + "_" +
           padding_name(v.padding);
}

const std::vector<Variant> &all_variants() {
    static const std::vector<Variant> all = [] {
        std::vector<Variant> list;
        for (const Entry &e : kEntries) list.push_back(e.v);
        return list;
    }();
    return all;
}

int call_entry(Variant v, halide_buffer_t *in, halide_buffer_t *weights, double window, double sigma, double pad,
               halide_buffer_t *out) {
    const Entry &e = kEntries[index_of(v)];
    return e.padded != nullptr ? e.padded(in, weights, window, sigma, pad, out) : e.edge(in, weights, window, sigma, out);
}

int call_checked(Variant v, halide_buffer_t *in, halide_buffer_t *weights, double window, double sigma, double pad,
                 halide_buffer_t *out) {
    const int fault = BilateralFilter_check(entry_name(v).c_str(), in, weights, window, sigma, pad, out);
    return fault != 0 ? fault : call_entry(v, in, weights, window, sigma, pad, out);
}

}  // namespace bilateral::front
