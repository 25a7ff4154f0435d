/*
 * bilateral_filter_variants.h: the eighteen entry points as one list.
 *
 * BILATERAL_FILTER_VARIANTS(X) expands X(layout, sample, padding) once per
 * entry point, with the three words of its name, in the order the header
 * declares them: gray before RGB; single, uint8, uint16; constant, replicate,
 * symmetric. BilateralFilter_##layout##_##sample##_##padding is its name.
 * Code that must cover every entry point (definitions, tables, tests) expands
 * this list rather than spelling the eighteen out, so none can be forgotten.
 */
#ifndef BILATERAL_FILTER_VARIANTS_H
#define BILATERAL_FILTER_VARIANTS_H

#define BILATERAL_FILTER_VARIANTS(X) \
    X(gray, single, constant)        \
    X(gray, single, replicate)       \
    X(gray, single, symmetric)       \
    X(gray, uint8, constant)         \
    X(gray, uint8, replicate)        \
    X(gray, uint8, symmetric)        \
    X(gray, uint16, constant)        \
    X(gray, uint16, replicate)       \
    X(gray, uint16, symmetric)       \
    X(RGB, single, constant)         \
    X(RGB, single, replicate)        \
    X(RGB, single, symmetric)        \
    X(RGB, uint8, constant)          \
    X(RGB, uint8, replicate)         \
    X(RGB, uint8, symmetric)         \
    X(RGB, uint16, constant)         \
    X(RGB, uint16, replicate)        \
    X(RGB, uint16, symmetric)

#endif  // BILATERAL_FILTER_VARIANTS_H
