/*
 * bilateral_filter_variants.h: the entry points as lists.
 *
 * BILATERAL_FILTER_VARIANTS(X) expands X(layout, sample, padding) once per
 * entry point of the eighteen, with the three words of its name, in the order
 * the header declares them: gray before RGB; single, uint8, uint16; constant,
 * replicate, symmetric. BilateralFilter_##layout##_##sample##_##padding is its
 * name.
 *
 * BILATERAL_FILTER_ROUNDED_VARIANTS(X) expands X(layout, sample, padding)
 * once per integer variant (uint8, uint16), in the same order, for the twelve
 * entry points BilateralFilter_##layout##_##sample##_##padding##_rounded.
 *
 * BILATERAL_FILTER_JOINT_VARIANTS(X) expands X(padding) once per padding
 * rule, constant, replicate, symmetric, for the six joint entry points
 * BilateralFilter_joint_##padding and BilateralFilter_joint_##padding##_rounded,
 * whose sample types and layouts come from their buffers.
 *
 * Code that must cover every entry point (definitions, tables, tests) expands
 * these lists rather than spelling the names out, so none can be forgotten.
 */
#ifndef BILATERAL_FILTER_VARIANTS_H
#define BILATERAL_FILTER_VARIANTS_H

/* The three paddings of one layout and sample type. */
#define BILATERAL_FILTER_PADDINGS(X, layout, sample) \
    X(layout, sample, constant)                      \
    X(layout, sample, replicate)                     \
    X(layout, sample, symmetric)

#define BILATERAL_FILTER_VARIANTS(X)                \
    BILATERAL_FILTER_PADDINGS(X, gray, single)      \
    BILATERAL_FILTER_PADDINGS(X, gray, uint8)       \
    BILATERAL_FILTER_PADDINGS(X, gray, uint16)      \
    BILATERAL_FILTER_PADDINGS(X, RGB, single)       \
    BILATERAL_FILTER_PADDINGS(X, RGB, uint8)        \
    BILATERAL_FILTER_PADDINGS(X, RGB, uint16)

#define BILATERAL_FILTER_ROUNDED_VARIANTS(X)        \
    BILATERAL_FILTER_PADDINGS(X, gray, uint8)       \
    BILATERAL_FILTER_PADDINGS(X, gray, uint16)      \
    BILATERAL_FILTER_PADDINGS(X, RGB, uint8)        \
    BILATERAL_FILTER_PADDINGS(X, RGB, uint16)

#define BILATERAL_FILTER_JOINT_VARIANTS(X) \
    X(constant)                             \
    X(replicate)                            \
    X(symmetric)

#endif  // BILATERAL_FILTER_VARIANTS_H
