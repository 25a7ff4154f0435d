// image_io.h: loading and saving 8-bit PNG and JPEG images.
//
// Every function reports failure through a returned message (empty on
// success); nothing here aborts or exits.
#ifndef BILATERAL_TOOLS_IMAGE_IO_H
#define BILATERAL_TOOLS_IMAGE_IO_H

#include <cstdint>
#include <string>
#include <vector>

namespace image_io {

// An 8-bit image with interleaved channels: sample c of pixel (x, y) is
// data[(y * width + x) * channels + c]. channels is 1 (gray), 2 (gray + alpha),
// 3 (RGB) or 4 (RGBA).
struct Image {
    int width = 0;
    int height = 0;
    int channels = 0;
    std::vector<uint8_t> data;
};

// Reads a PNG or JPEG file (recognised by its signature, not its name).
// PNG: 8-bit or lower gray, gray + alpha, RGB, RGBA; palettes become RGB
// (palette transparency is ignored); 16-bit files are refused. JPEG: gray or
// colour; truncated or damaged data is an error. Images whose
// width * height * channels does not fit a signed 32-bit integer are refused.
std::string load(const std::string &path, Image &image);

// True if path ends in .png, .jpg or .jpeg (any case).
bool has_known_extension(const std::string &path);

// Writes image to path, format from the extension (.png, .jpg, .jpeg; JPEG
// takes 1 or 3 channels and is written at quality 95). The file is written
// to a temporary name beside the target and renamed over it once complete,
// so the target is never left partial; on failure nothing is left behind.
std::string save(const std::string &path, const Image &image);

}  // namespace image_io

#endif  // BILATERAL_TOOLS_IMAGE_IO_H
