// image_io.h: loading and saving 8- and 16-bit PNG and TIFF images and
// 8-bit JPEG images.
//
// Every function reports failure through a returned message (empty on
// success); nothing here aborts or exits.
#ifndef BILATERAL_TOOLS_IMAGE_IO_H
#define BILATERAL_TOOLS_IMAGE_IO_H

#include <cstdint>
#include <string>
#include <vector>

namespace image_io {

// An image with interleaved channels: sample c of pixel (x, y) is element
// (y * width + x) * channels + c of data (8-bit samples) or of data16 (16-bit
// samples); the other vector is empty. channels is 1 (gray), 2 (gray + alpha),
// 3 (RGB) or 4 (RGBA).
struct Image {
    int width = 0;
    int height = 0;
    int channels = 0;
    std::vector<uint8_t> data;
    std::vector<uint16_t> data16;
    int depth() const { return data16.empty() ? 8 : 16; }
};

// Reads a PNG, TIFF or JPEG file (recognised by its signature, not its name).
// PNG: gray, gray + alpha, RGB, RGBA; 16-bit files stay 16-bit, lower depths
// become 8-bit; palettes become RGB (palette transparency is ignored). TIFF:
// the first image only; 8- or 16-bit unsigned samples, gray (MinIsBlack) or
// RGB, each optionally with one extra (alpha) sample, interleaved or in
// separate planes, in strips or tiles, uncompressed, LZW or Deflate; anything
// else is refused with a message naming it. JPEG: gray or colour, 8-bit.
// Truncated or damaged data is an error. Images whose
// width * height * channels does not fit a signed 32-bit integer are refused.
std::string load(const std::string &path, Image &image);

// True if path ends in .png, .tif, .tiff, .jpg or .jpeg (any case).
bool has_known_extension(const std::string &path);

// The extensions has_known_extension accepts, for messages.
constexpr const char *kKnownExtensions = ".png, .tif, .tiff, .jpg or .jpeg";

// How save encodes. png_compression is zlib's level (0 = stored, 9 = smallest);
// jpeg_subsampling is 444, 422 or 420.
struct SaveOptions {
    int png_compression = 1;
    int jpeg_quality = 95;
    int jpeg_subsampling = 444;
};

// Writes image to path, format from the extension: PNG and TIFF keep the
// image's depth (TIFF: Deflate-compressed strips with the horizontal
// predictor); JPEG takes 8-bit gray or RGB and is written at quality 95. The
// file is written to a temporary name beside the target and renamed over it
// once complete, so the target is never left partial; on failure nothing is
// left behind.
std::string save(const std::string &path, const Image &image, const SaveOptions &options = {});

}  // namespace image_io

#endif  // BILATERAL_TOOLS_IMAGE_IO_H
