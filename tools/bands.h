// bands.h: encoding an image as bands of rows on several threads, the bands
// written out in order. The PNG and JPEG encoders share it; band sizes do not
// depend on the thread count, so neither do the files.
#ifndef BILATERAL_TOOLS_BANDS_H
#define BILATERAL_TOOLS_BANDS_H

#include <cstddef>
#include <functional>
#include <string>

namespace image_io::detail {

// Samples in one band of rows that an encoder compresses on a thread of its own.
constexpr size_t kBandBytes = size_t(1) << 20;

// How many bands run at once: `threads`, or one per core for 0.
int bands_at_once(int threads, int bands);

// Runs make(b, slot) for bands b = 0 .. bands - 1, at_once of them at a time
// on as many threads (slot 0 .. at_once - 1 names the round's place for b),
// then emit(b, slot) for each of the round in order; returns the first
// message emit gives. make must not throw other than bad_alloc, which leaves
// its band as make left it.
std::string in_bands(int bands, int at_once, const std::function<void(int, int)> &make,
                     const std::function<std::string(int, int)> &emit);

}  // namespace image_io::detail

#endif  // BILATERAL_TOOLS_BANDS_H
