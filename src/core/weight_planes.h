// Sharing range weights between the two ends of a tap.
//
// A range weight depends only on the squared difference (or squared colour
// distance) of two samples, which is the same bits whichever is subtracted
// from which. So offset d of pixel P and offset -d of pixel P + d share one
// weight. Offsets in the centred square [-h, h]^2 pair up that way; each
// pair's weights are computed once per sample row into a "pair plane", kept in
// a ring of h + 1 rows. The taps without a partner (the centre and, for an
// even window, its first row and column) get "direct planes", computed per
// output row. Every tap then reads its weight from a plane, and the sums still
// run over the taps in window order, so every result keeps its bits.
//
// A tap whose spatial weight is +0 or -0 adds nothing to either sum, as long
// as its range weight and sample are finite and the sums cannot be -0 (see
// TapList). Such taps may be left out; the taps that remain still run in
// window order and still share their pair planes.
#ifndef BILATERAL_CORE_WEIGHT_PLANES_H
#define BILATERAL_CORE_WEIGHT_PLANES_H

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace bilateral {

// Where every tap of an N x N window finds its range weight.
struct TapPlan {
    int32_t N = 0, off = 0, h = 0;
    int32_t pairs = 0, directs = 0;
    // Offset from the sample a plane is indexed by to its partner, per pair
    // plane (dy > 0, or dy == 0 and dx > 0) and per direct plane.
    int32_t *pair_dx = nullptr, *pair_dy = nullptr;
    int32_t *direct_dx = nullptr, *direct_dy = nullptr;
    // Per tap in window order: its plane (pair k, or pairs + direct d) and the
    // position of its weight in that plane relative to the output pixel.
    int32_t *plane = nullptr, *at_dx = nullptr, *at_dy = nullptr;
};

// Integers of storage make_tap_plan needs for window size N.
inline int64_t tap_plan_ints(int32_t N) { return 7 * int64_t{N} * N; }

// Pair planes of window size N: one per positive offset of [-h, h]^2.
inline int64_t pair_planes(int32_t N) {
    const int64_t h = (N - 1) / 2;
    return h + h * (2 * h + 1);
}

// Direct planes of the window (N, off): its taps outside [-h, h]^2, and the
// centre. make_tap_plan assigns exactly this many; sizing scratch needs the
// count without building a plan.
inline int64_t direct_planes(int32_t N, int32_t off) {
    const int64_t h = (N - 1) / 2, lo = off, hi = int64_t{off} + N - 1;
    const int64_t inner = std::max<int64_t>(0, std::min(hi, h) - std::max(lo, -h) + 1);
    const bool centre = lo <= 0 && hi >= 0;
    return int64_t{N} * N - (inner * inner - (centre ? 1 : 0));
}

// Fills a plan into `storage` (tap_plan_ints(N) integers). N >= 1.
inline TapPlan make_tap_plan(int32_t N, int32_t off, int32_t *storage) {
    TapPlan p;
    p.N = N;
    p.off = off;
    p.h = (N - 1) / 2;
    const int64_t taps = int64_t{N} * N;
    p.pair_dx = storage;
    p.pair_dy = storage + taps;
    p.direct_dx = storage + 2 * taps;
    p.direct_dy = storage + 3 * taps;
    p.plane = storage + 4 * taps;
    p.at_dx = storage + 5 * taps;
    p.at_dy = storage + 6 * taps;
    const int32_t h = p.h, width = 2 * h + 1;
    // Pair index of a positive offset: row 0 holds dx = 1..h, rows 1..h hold
    // dx = -h..h.
    const auto pair_index = [&](int32_t dx, int32_t dy) { return dy == 0 ? dx - 1 : h + (dy - 1) * width + (dx + h); };
    p.pairs = static_cast<int32_t>(pair_planes(N));
    for (int32_t dy = 0; dy <= h; ++dy) {
        for (int32_t dx = dy == 0 ? 1 : -h; dx <= h; ++dx) {
            p.pair_dx[pair_index(dx, dy)] = dx;
            p.pair_dy[pair_index(dx, dy)] = dy;
        }
    }
    int64_t t = 0;
    for (int32_t j = 0; j < N; ++j) {
        for (int32_t i = 0; i < N; ++i, ++t) {
            const int32_t dx = off + i, dy = off + j;
            const bool paired = dx >= -h && dx <= h && dy >= -h && dy <= h && (dx != 0 || dy != 0);
            const bool positive = dy > 0 || (dy == 0 && dx > 0);
            if (!paired) {
                p.direct_dx[p.directs] = dx;
                p.direct_dy[p.directs] = dy;
                p.plane[t] = p.pairs + p.directs++;
                p.at_dx[t] = p.at_dy[t] = 0;
            } else if (positive) {
                p.plane[t] = pair_index(dx, dy);
                p.at_dx[t] = p.at_dy[t] = 0;
            } else {
                // The partner's plane, at the neighbour: weight(P + d, P).
                p.plane[t] = pair_index(-dx, -dy);
                p.at_dx[t] = dx;
                p.at_dy[t] = dy;
            }
        }
    }
    return p;
}

// The taps one block runs, in window order, and the planes they read.
//
// Leaving out the taps whose spatial weight W is +0 or -0 keeps every bit of
// both sums when (1) no W is negative or NaN, (2) R is finite and > 0 and
// (3) every sample the block reads is finite and not negative (-0 counts as
// not negative). Then each range weight e is finite and >= +0, every addend
// is +0, -0 or positive, so the sums, which start at +0, never become -0, and
// a left-out addend e * (+-0) or fma(+-0, S, .) changes nothing. The tile
// driver checks (1) and (2) per call and (3) per staged float block.
struct TapList {
    int32_t taps = 0;              // taps run
    const int32_t *tap = nullptr;  // their window indices j * N + i, ascending
    const float *spatial = nullptr;  // their W
    // Pair planes (plan indices, ascending) and direct planes (indices among
    // the directs) that the taps run read; no other plane is filled.
    int32_t pairs = 0, directs = 0;
    const int32_t *pair = nullptr, *direct = nullptr;
    int32_t lead = 0;  // rows of pair planes above an output row that its taps read (0 .. h)
};

// Integers of storage make_tap_list needs for window size N: the taps, then
// one mark per plane (pair and direct planes together are at most N * N).
inline int64_t tap_list_ints(int32_t N) { return 2 * int64_t{N} * N; }

// True when W is +0 or -0.
inline bool zero_weight(float w) {
    uint32_t bits;
    std::memcpy(&bits, &w, sizeof bits);
    return (bits & 0x7FFFFFFFu) == 0;
}

// The taps of plan p, all of them or (skip_zero) those whose spatial weight
// is not +-0. spatial holds W in window order; ints has tap_list_ints(N)
// integers; with skip_zero, kept has N * N floats for the W of the taps kept.
inline TapList make_tap_list(const TapPlan &p, const float *spatial, bool skip_zero, int32_t *ints, float *kept) {
    TapList list;
    const int32_t taps = p.N * p.N;
    int32_t *tap = ints, *pair = ints + taps, *direct = pair + p.pairs;
    std::fill(pair, direct + p.directs, 0);
    for (int32_t t = 0; t < taps; ++t) {
        if (skip_zero && zero_weight(spatial[t])) continue;
        if (skip_zero) kept[list.taps] = spatial[t];
        tap[list.taps++] = t;
        const int32_t plane = p.plane[t];
        if (plane < p.pairs) {
            pair[plane] = 1;
            list.lead = std::max(list.lead, -p.at_dy[t]);
        } else {
            direct[plane - p.pairs] = 1;
        }
    }
    // The marks become the list of marked planes, in place.
    for (int32_t k = 0; k < p.pairs; ++k) {
        if (pair[k] != 0) pair[list.pairs++] = k;
    }
    for (int32_t k = 0; k < p.directs; ++k) {
        if (direct[k] != 0) direct[list.directs++] = k;
    }
    list.tap = tap;
    list.spatial = skip_zero ? kept : spatial;
    list.pair = pair;
    list.direct = direct;
    return list;
}

}  // namespace bilateral

#endif  // BILATERAL_CORE_WEIGHT_PLANES_H
