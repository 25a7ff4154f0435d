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

// What a file says besides its samples, carried from input to output: load
// fills what the file has, save writes each item the output format can hold.
// Empty vectors, zero resolutions and gamma, and a negative intent are absent.
//   ICC profile:   JPEG APP2 ICC_PROFILE (split over markers as needed), PNG
//                  iCCP, TIFF ICC tag.
//   EXIF:          JPEG APP1 Exif and PNG eXIf, kept byte for byte between
//                  them. TIFF: IFD0's orientation and the fields describing
//                  the picture (description, make, model, software, date,
//                  artist, copyright) go to the image's own IFD, the Exif IFD's
//                  fields that libtiff knows to an Exif IFD; read back, they
//                  make a block again. A block that cannot be read is left out.
//   Orientation:   EXIF IFD0's or the TIFF tag, 1..8; pixels are never turned.
//                  An output without an EXIF block to carry it gets one
//                  holding just the orientation (JPEG, PNG) or the tag (TIFF).
//   Resolution:    JPEG JFIF density, PNG pHYs, TIFF X/Y resolution and unit.
//   sRGB, gAMA, cHRM: PNG to PNG only.
//   Other APP1..APP15 markers: JPEG to JPEG only (not Adobe APP14, which
//                  describes the encoder's own colour transform, nor APP2 MPF,
//                  whose offsets point at images the output does not hold).
struct Metadata {
    enum class Unit { none, inch, centimetre };  // none: the values give the pixel aspect ratio only
    struct Marker {
        int code = 0;  // JPEG_APP0 + n
        std::vector<uint8_t> data;
    };
    std::vector<uint8_t> icc;
    std::string icc_name;       // PNG iCCP name; PNG output uses "ICC profile" when empty
    std::vector<uint8_t> exif;  // from the TIFF header ("II*\0" or "MM\0*") on
    int orientation = 0;        // 1..8 as EXIF numbers them; load takes it from the EXIF when the file has no tag
    double x_resolution = 0, y_resolution = 0;  // pixels per unit
    Unit resolution_unit = Unit::none;
    int srgb_intent = -1;                 // sRGB rendering intent 0..3
    int32_t gamma = 0;                    // file gamma times 100000
    std::vector<int32_t> chromaticities;  // white, red, green, blue x and y, times 100000
    std::vector<Marker> jpeg_markers;
};

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
    Metadata metadata{};
    int depth() const { return data16.empty() ? 8 : 16; }
};

// The most pixels load takes by default: twice the 89.5 million above which
// common imaging libraries warn of a decompression bomb. It holds every camera
// sensor and most stitched panoramas; an 8-bit RGB image this size takes
// 512 MiB, a 16-bit RGBA one 1.3 GiB, before the filter's own copies.
constexpr uint64_t kDefaultMaxPixels = 178956970;

// The largest ICC profile any writer writes: what 255 JPEG APP2 markers hold,
// so that a profile carried into any format reads back from it.
constexpr size_t kMaxIccBytes = size_t(255) * 65519;

// How load reads. A file declaring more than max_pixels pixels (0: no limit)
// is refused before anything is allocated for it, as is one whose samples
// would not fit in the memory this process may still take. Warnings (items
// left out, damaged metadata) go to *warnings when it is given, without the
// path.
struct LoadOptions {
    uint64_t max_pixels = kDefaultMaxPixels;
    std::vector<std::string> *warnings = nullptr;
};

// Reads a PNG, TIFF or JPEG file (recognised by its signature, not its name).
// PNG: gray, gray + alpha, RGB, RGBA; 16-bit files stay 16-bit, lower depths
// become 8-bit; palettes become RGB (palette transparency is ignored). TIFF:
// the first image only; 8- or 16-bit unsigned samples, gray (MinIsBlack) or
// RGB, each optionally with one extra (alpha) sample, interleaved or in
// separate planes, in strips or tiles, uncompressed, LZW or Deflate; anything
// else is refused with a message naming it. JPEG: gray or colour, 8-bit, at
// most 500 scans. Truncated or damaged pixel data is an error; damaged
// metadata is left out with a warning. Images whose width * height * channels
// does not fit a signed 32-bit integer are refused, and so are tiled TIFFs
// whose whole tiles cover more than max_pixels. Running out of memory is an
// error too, never an exception.
std::string load(const std::string &path, Image &image, const LoadOptions &options = {});

// Lower-case extension of path's file name including the dot, or "" if there is none.
std::string extension_of(const std::string &path);

// True if path ends in .png, .tif, .tiff, .jpg or .jpeg (any case).
bool has_known_extension(const std::string &path);

// The extensions has_known_extension accepts, for messages.
constexpr const char *kKnownExtensions = ".png, .tif, .tiff, .jpg or .jpeg";

// How save encodes. png_compression is zlib's level (0 = stored, 9 = smallest);
// levels up to 2 use the Sub row filter (None at 0) and run-length matching and
// compress bands of rows on `threads` threads (0: one per core), several times
// faster than levels 3..9, which search the row filters and run on one thread.
// jpeg_quality is 1..100, jpeg_subsampling 444, 422 or 420 (colour only); JPEG
// bands are encoded on `threads` threads too, with a restart marker after each
// row of blocks. Bands have a fixed size, so the bytes written do not depend
// on the thread count.
struct SaveOptions {
    int png_compression = 1;
    int jpeg_quality = 95;
    int jpeg_subsampling = 444;
    int threads = 0;
    // Called with the temporary file's path just before it is created, so
    // that a caller's signal handler can remove exactly it, and with null
    // once it is gone (renamed over the target or removed).
    void (*on_temporary)(const char *path) = nullptr;
    // Items the output format cannot hold as they are (an ICC profile above
    // kMaxIccBytes; EXIF or another JPEG marker above 65533 bytes with its
    // header; a PNG colour chunk libpng finds inconsistent) are left out,
    // each with a line here when it is given, without the path.
    std::vector<std::string> *warnings = nullptr;
};

// Writes image to path, format from the extension: PNG and TIFF keep the
// image's depth (TIFF: Deflate-compressed strips with the horizontal
// predictor); JPEG takes 8-bit gray or RGB. Metadata goes where the format
// holds it (see Metadata). A symbolic link at path is followed: its target is
// written and the link stays. The file is written to a temporary name beside
// that target and renamed over it once complete, so the target is never left
// partial; on failure nothing is left behind. A replaced file keeps its
// permissions, and its owner and group where the process may set them; other
// hard links to it keep the old contents. A target that exists but is not a
// regular file is refused.
std::string save(const std::string &path, const Image &image, const SaveOptions &options = {});

// The file a save to path writes: path with the symbolic links at its end
// followed (a relative link from the link's folder); "" when they loop.
std::string final_path(const std::string &path);

}  // namespace image_io

#endif  // BILATERAL_TOOLS_IMAGE_IO_H
