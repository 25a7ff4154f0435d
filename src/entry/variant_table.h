// The entry points by exported name, generated from the variant lists, for
// the exported helpers that name an entry point: the thirty whose names give
// layout and sample type, and the six joint ones.
#ifndef BILATERAL_ENTRY_VARIANT_TABLE_H
#define BILATERAL_ENTRY_VARIANT_TABLE_H

#include <cstring>

#include "bilateral_filter_variants.h"
#include "core/variant.h"

namespace bilateral {

struct NamedVariant {
    const char *name;
    Layout layout;
    Sample sample;
    Padding padding;
    bool rounded;  // results rounded to nearest; any x stride but 0
};

#define BF_NAMED_VARIANT(layout, sample, padding)                                     \
    {"BilateralFilter_" #layout "_" #sample "_" #padding, words::layout_##layout, \
     sample_of<words::sample_##sample>, words::padding_##padding, false},
#define BF_NAMED_ROUNDED_VARIANT(layout, sample, padding)                                        \
    {"BilateralFilter_" #layout "_" #sample "_" #padding "_rounded", words::layout_##layout, \
     sample_of<words::sample_##sample>, words::padding_##padding, true},
inline constexpr NamedVariant kNamedVariants[] = {BILATERAL_FILTER_VARIANTS(BF_NAMED_VARIANT)
                                                      BILATERAL_FILTER_ROUNDED_VARIANTS(BF_NAMED_ROUNDED_VARIANT)};
#undef BF_NAMED_VARIANT
#undef BF_NAMED_ROUNDED_VARIANT

// The entry point called `name`; NULL for any other name and for NULL.
inline const NamedVariant *find_variant(const char *name) {
    if (name == nullptr) return nullptr;
    for (const NamedVariant &v : kNamedVariants) {
        if (std::strcmp(v.name, name) == 0) return &v;
    }
    return nullptr;
}

// The joint entry points: their padding, and whether they round.
struct NamedJoint {
    const char *name;
    Padding padding;
    bool rounded;
};

#define BF_NAMED_JOINT(padding)                                                      \
    {"BilateralFilter_joint_" #padding, words::padding_##padding, false},              \
        {"BilateralFilter_joint_" #padding "_rounded", words::padding_##padding, true},
inline constexpr NamedJoint kNamedJoints[] = {BILATERAL_FILTER_JOINT_VARIANTS(BF_NAMED_JOINT)};
#undef BF_NAMED_JOINT

// The joint entry point called `name`; NULL for any other name and for NULL.
inline const NamedJoint *find_joint(const char *name) {
    if (name == nullptr) return nullptr;
    for (const NamedJoint &j : kNamedJoints) {
        if (std::strcmp(j.name, name) == 0) return &j;
    }
    return nullptr;
}

}  // namespace bilateral

#endif  // BILATERAL_ENTRY_VARIANT_TABLE_H
