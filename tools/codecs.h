// codecs.h: what the codec files (png.cc, jpeg.cc, tiff.cc) share with each
// other and with image_io.cc, which picks one by signature or extension.
// Internal to the image I/O library.
#ifndef BILATERAL_TOOLS_CODECS_H
#define BILATERAL_TOOLS_CODECS_H

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "image_io.h"

namespace image_io::detail {

// PNG and TIFF files may hold 16-bit samples in the other byte order.
constexpr bool kLittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

// stdio buffer for image files: large reads and writes, few system calls.
constexpr size_t kFileBuffer = size_t(1) << 20;

// The bytes of image's samples, whichever their depth.
inline const uint8_t *sample_bytes(const Image &image) {
    return image.depth() == 16 ? reinterpret_cast<const uint8_t *>(image.data16.data()) : image.data.data();
}

// Text of errno for messages.
inline std::string system_error() { return std::strerror(errno); }

// v rounded to the nearest integer within lo..hi.
inline long clamp_round(double v, long lo, long hi) {
    return long(std::clamp(std::nearbyint(v), double(lo), double(hi)));
}

// True if the image carries a resolution.
inline bool has_resolution(const Metadata &m) { return m.x_resolution > 0 && m.y_resolution > 0; }

// The largest PNG chunk the reader takes (libpng's limit on a chunk's data
// and on a decompressed profile), and so the largest EXIF block PNG output
// carries.
constexpr size_t kMaxPngChunk = size_t(64) << 20;

// Refuses a shape before anything is allocated for it: sample counts that
// overflow the library's 32-bit strides, more than options.max_pixels pixels,
// samples of bytes_per_sample bytes that would not fit in memory.
std::string check_size(long long width, long long height, long long channels, int bytes_per_sample,
                       const LoadOptions &options);

// Sizes image's samples for its width, height and channels at depth 8 or 16;
// false when the memory cannot be had.
bool allocate_samples(Image &image, int depth) noexcept;

// Bytes an image's decoder may take besides the image: 16 per pixel of the
// budget, capped by the memory available (all of it without a budget).
double decoder_memory(const LoadOptions &options);

// Runs f; false if it ran out of memory. For allocations between a codec's
// setup and its cleanup, which an exception would skip.
template <class F>
bool guarded(F &&f) noexcept {
    try {
        f();
        return true;
    } catch (const std::bad_alloc &) {
    } catch (const std::length_error &) {
    }
    return false;
}

// Adds a warning for the caller, if it asked for them.
inline void add_warning(std::vector<std::string> *warnings, const std::string &text) {
    if (warnings != nullptr) warnings->push_back(text);
}

// "not enough memory", the message for an allocation that failed.
constexpr const char *kNoMemory = "not enough memory";

// Each codec decodes a whole file into image or encodes image into an open
// file, returning a message (empty on success) without the path, which the
// caller adds.
std::string load_png(FILE *file, Image &image, const LoadOptions &options);
std::string save_png(FILE *file, const Image &image, const SaveOptions &options);
std::string load_jpeg(FILE *file, Image &image, const LoadOptions &options);
std::string save_jpeg(FILE *file, const Image &image, const SaveOptions &options);
// libtiff opens the file itself: by path to read; to write, a duplicate of fd
// (left open), name being for libtiff's messages.
std::string load_tiff(const std::string &path, Image &image, const LoadOptions &options);
std::string save_tiff(int fd, const std::string &name, const Image &image, const SaveOptions &options);

}  // namespace image_io::detail

#endif  // BILATERAL_TOOLS_CODECS_H
