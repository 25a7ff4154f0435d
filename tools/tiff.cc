// tiff.cc: TIFF through libtiff, whose messages are caught by handlers given
// at open, so nothing is printed and a bad file becomes a message.
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <limits>
#include <memory>
#include <vector>

#include "codecs.h"
#include "exif.h"
#include "front/checks.h"

namespace image_io::detail {
namespace {
// libtiff message handler given at open: an error's text goes into the
// std::string at user_data (the first one, which names the cause), a warning
// (user_data null) is dropped; returning 1 keeps libtiff from printing either.
int tiff_message(TIFF *, void *user_data, const char *, const char *format, va_list args) {
    auto *error = static_cast<std::string *>(user_data);
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    if (error && error->empty()) *error = text;
    return 1;
}

// Open options routing libtiff's messages into error.
struct TiffOptions {
    TIFFOpenOptions *options = TIFFOpenOptionsAlloc();
    explicit TiffOptions(std::string &error) {
        TIFFOpenOptionsSetErrorHandlerExtR(options, tiff_message, &error);
        TIFFOpenOptionsSetWarningHandlerExtR(options, tiff_message, nullptr);
    }
    ~TiffOptions() { TIFFOpenOptionsFree(options); }
    TiffOptions(const TiffOptions &) = delete;
    TiffOptions &operator=(const TiffOptions &) = delete;
};

// Names a photometric interpretation the reader does not take.
std::string photometric_name(uint16_t photometric) {
    switch (photometric) {
        case PHOTOMETRIC_MINISWHITE: return "MinIsWhite (inverted gray)";
        case PHOTOMETRIC_PALETTE: return "palette";
        case PHOTOMETRIC_SEPARATED: return "separated (CMYK)";
        case PHOTOMETRIC_YCBCR: return "YCbCr";
        case PHOTOMETRIC_CIELAB: return "CIE L*a*b*";
        default: return "photometric interpretation " + std::to_string(photometric);
    }
}

// Checks the layout of the current directory against what read_tiff takes.
std::string check_tiff(uint16_t compression, uint16_t format, uint16_t bits, uint16_t photometric, uint16_t spp) {
    if (compression != COMPRESSION_NONE && compression != COMPRESSION_LZW && compression != COMPRESSION_ADOBE_DEFLATE &&
        compression != COMPRESSION_DEFLATE) {
        const TIFFCodec *codec = TIFFFindCODEC(compression);
        return std::string("unsupported TIFF compression: ") +
               (codec ? codec->name : "scheme " + std::to_string(compression)) + " (only none, LZW and Deflate)";
    }
    if (format != SAMPLEFORMAT_UINT) {
        return std::string("unsupported TIFF samples: ") +
               (format == SAMPLEFORMAT_IEEEFP ? "floating point" : format == SAMPLEFORMAT_INT ? "signed" : "complex") +
               " (only unsigned integers)";
    }
    if (bits != 8 && bits != 16) return "unsupported TIFF bit depth: " + std::to_string(bits) + " (only 8 and 16)";
    if (photometric != PHOTOMETRIC_MINISBLACK && photometric != PHOTOMETRIC_RGB)
        return "unsupported TIFF colour model: " + photometric_name(photometric) + " (only MinIsBlack gray and RGB)";
    const int colours = photometric == PHOTOMETRIC_RGB ? 3 : 1;
    if (spp != colours && spp != colours + 1) {
        return "unsupported TIFF: " + std::to_string(spp) + " samples per pixel for " +
               (colours == 3 ? "RGB" : "gray");
    }
    return "";
}

// Builds m.exif from the fields of the current directory that describe the
// picture, its orientation and its Exif IFD, read from the file itself so
// that each field keeps its bytes (libtiff's getters return rationals as
// floating point). Classic TIFF only; fields that cannot be read are left out.
void read_tiff_exif(TIFF *tif, Metadata &m) {
    if (TIFFIsBigTIFF(tif)) return;
    const int fd = TIFFFileno(tif);
    const ReadAt read = [fd](uint64_t at, size_t n, uint8_t *to) {
        for (size_t done = 0; done < n;) {
            const ssize_t got = pread(fd, to + done, n - done, off_t(at + done));
            if (got <= 0) return false;
            done += size_t(got);
        }
        return true;
    };
    const bool big_endian = TIFFIsBigEndian(tif);
    Exif exif;
    read_ifd(read, big_endian, TIFFCurrentDirOffset(tif), exif.main, nullptr, is_descriptive_tag);
    uint64_t offset = 0;
    if (TIFFGetField(tif, TIFFTAG_EXIFIFD, &offset) && offset != 0)
        read_ifd(read, big_endian, offset, exif.exif, nullptr);
    if (exif.main.empty() && exif.exif.empty()) return;  // an orientation alone is written from m.orientation
    if (m.orientation != 0) exif.main.push_back({kOrientationTag, kShort, 1, {uint8_t(m.orientation), 0}});
    m.exif = build_exif(exif);
}

// Copies the resolution, ICC profile, orientation and EXIF of the current
// directory into m.
void read_tiff_metadata(TIFF *tif, Metadata &m) {
    float x = 0, y = 0;
    uint16_t unit = RESUNIT_INCH;
    if (TIFFGetField(tif, TIFFTAG_XRESOLUTION, &x) && TIFFGetField(tif, TIFFTAG_YRESOLUTION, &y) && x > 0 && y > 0) {
        TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &unit);
        m.x_resolution = x;
        m.y_resolution = y;
        m.resolution_unit = unit == RESUNIT_CENTIMETER ? Metadata::Unit::centimetre
                            : unit == RESUNIT_NONE     ? Metadata::Unit::none
                                                       : Metadata::Unit::inch;
    }
    uint32_t length = 0;
    const uint8_t *profile = nullptr;
    if (TIFFGetField(tif, TIFFTAG_ICCPROFILE, &length, &profile) && profile) m.icc.assign(profile, profile + length);
    uint16_t orientation = 0;
    if (TIFFGetField(tif, TIFFTAG_ORIENTATION, &orientation) && orientation >= 1 && orientation <= 8)
        m.orientation = orientation;
    read_tiff_exif(tif, m);
}

// Decodes the first image of an open TIFF into image; error holds libtiff's message.
std::string read_tiff(TIFF *tif, Image &image, const LoadOptions &options, const std::string &error) {
    uint32_t width = 0, height = 0;
    uint16_t bits = 1, spp = 1, format = SAMPLEFORMAT_UINT, photometric = 0, compression = 0, planar = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric)) return "unsupported TIFF: no photometric interpretation";
    std::string result = check_tiff(compression, format, bits, photometric, spp);
    const size_t bytes = bits / 8;
    if (result.empty()) result = check_size(width, height, spp, int(bytes), options);
    if (!result.empty()) return result;

    // A decoded buffer holds all samples of a pixel, or one plane's with separate planes.
    const bool separate = planar == PLANARCONFIG_SEPARATE && spp > 1;
    const int planes = separate ? spp : 1;
    const size_t pixel = (separate ? 1 : spp) * bytes;
    const bool tiled = TIFFIsTiled(tif);
    uint32_t tw = width, th = 1;  // strips are read a row at a time
    if (tiled) {
        TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tw);
        TIFFGetField(tif, TIFFTAG_TILELENGTH, &th);
    }
    const tmsize_t size = tiled ? TIFFTileSize(tif) : TIFFScanlineSize(tif);
    const std::string failed = "corrupt or truncated TIFF: ";
    if (tw == 0 || th == 0 || size < tmsize_t(tw * pixel * th))
        return failed + (tiled ? "bad tile size " : "bad row size ") + error;
    // Every tile is decoded whole, edge tiles too: the tiles' cover is what the
    // pixel budget weighs, and one tile must fit in memory.
    const uint64_t cover_w = (uint64_t(width) + tw - 1) / tw * tw, cover_h = (uint64_t(height) + th - 1) / th * th;
    if (options.max_pixels != 0 && double(cover_w) * double(cover_h) > double(options.max_pixels)) {
        return "image too large: TIFF tiles of " + std::to_string(tw) + "x" + std::to_string(th) + " cover " +
               std::to_string(cover_w) + "x" + std::to_string(cover_h) + " pixels, more than the limit of " +
               std::to_string(options.max_pixels) + " (--max-pixels raises it)";
    }
    std::vector<uint8_t> buffer;
    if (double(size) > bilateral::front::available_memory() || !guarded([&] { buffer.resize(size_t(size)); }))
        return std::string(kNoMemory) + " for a TIFF tile of " + std::to_string(tw) + "x" + std::to_string(th);
    image = Image{int(width), int(height), spp, {}, {}};  // 16-bit samples come in the host's byte order
    if (!allocate_samples(image, int(bits))) return kNoMemory;
    uint8_t *raw = const_cast<uint8_t *>(sample_bytes(image));
    // Copies n pixels of plane p from a decoded buffer to (x, y) onwards in raw.
    auto place = [&](const uint8_t *from, uint32_t x, uint32_t y, uint32_t n, int p) {
        for (uint32_t i = 0; i < n; ++i)
            std::memcpy(&raw[((size_t(y) * width + x + i) * spp + p) * bytes], from + i * pixel, pixel);
    };
    for (int p = 0; p < planes; ++p)
        for (uint32_t ty = 0; ty < height; ty += th)
            for (uint32_t tx = 0; tx < width; tx += tw) {
                const bool read = tiled ? TIFFReadTile(tif, buffer.data(), tx, ty, 0, uint16_t(p)) >= 0
                                        : TIFFReadScanline(tif, buffer.data(), ty, uint16_t(p)) >= 0;
                if (!read && error.empty())
                    return failed + (tiled ? "tile" : "row") + " at " + std::to_string(tx) + "," + std::to_string(ty) +
                           " cannot be read";
                if (!read) return failed + error;
                for (uint32_t r = 0; r < th && ty + r < height; ++r)
                    place(buffer.data() + size_t(r) * tw * pixel, tx, ty + r, std::min(tw, width - tx), p);
            }
    if (!guarded([&] { read_tiff_metadata(tif, image.metadata); })) return kNoMemory;
    return "";
}

}  // namespace

// Opens path as TIFF and decodes its first image. The strip and tile tables
// are read entry by entry as needed ("O"), so a table declared far larger
// than the image takes no memory, and no single allocation of libtiff's may
// exceed decoder_memory.
std::string load_tiff(const std::string &path, Image &image, const LoadOptions &options) {
    std::string error;
    TiffOptions tiff_options(error);
    TIFFOpenOptionsSetMaxSingleMemAlloc(tiff_options.options, tmsize_t(decoder_memory(options)));
    const std::unique_ptr<TIFF, void (*)(TIFF *)> tif(TIFFOpenExt(path.c_str(), "rO", tiff_options.options), TIFFClose);
    if (!tif) return "corrupt or truncated TIFF: " + error;
    return read_tiff(tif.get(), image, options, error);
}

// v rounded to the nearest T, saturated (NaN: 0).
template <class T>
T saturate(double v) {
    return std::isnan(v) ? T(0) : T(std::nearbyint(std::clamp<double>(v, std::numeric_limits<T>::lowest(),
                                                                       std::numeric_limits<T>::max())));
}

// Sets f in the current (Exif) directory if libtiff knows its tag and f's
// values fit the type libtiff gives it; any other field is left out. True if
// it was set.
bool set_exif_field(TIFF *tif, const ExifField &f) {
    const TIFFField *field = TIFFFindField(tif, f.tag, TIFF_ANY);
    if (field == nullptr) return false;
    const TIFFDataType type = TIFFFieldDataType(field);
    const bool passcount = TIFFFieldPassCount(field) != 0, wide_count = TIFFFieldSetGetCountSize(field) == 4;
    const int writecount = TIFFFieldWriteCount(field), size = TIFFFieldSetGetSize(field);
    if (type == TIFF_ASCII) return f.type == kAscii && !passcount && TIFFSetField(tif, f.tag, f.text().c_str());
    const bool bytes = type == TIFF_BYTE || type == TIFF_SBYTE || type == TIFF_UNDEFINED;
    if (size <= 0 || (bytes ? exif_type_size(f.type) != 1 : !f.numeric())) return false;
    if (passcount ? !wide_count && f.count > 65535 : writecount != 1 && f.count != uint32_t(writecount)) return false;
    const uint32_t count = writecount == 1 && !passcount ? 1 : f.count;
    std::vector<uint8_t> values(size_t(size) * count);
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t *to = &values[size_t(i) * size];
        const double v = bytes ? 0 : f.number(i);
        if (bytes && size == 1) {
            *to = f.value[i];
        } else if ((type == TIFF_SHORT || type == TIFF_SSHORT) && size == 2) {
            const uint16_t s = type == TIFF_SHORT ? saturate<uint16_t>(v) : uint16_t(saturate<int16_t>(v));
            std::memcpy(to, &s, 2);
        } else if ((type == TIFF_LONG || type == TIFF_SLONG) && size == 4) {
            const uint32_t l = type == TIFF_LONG ? saturate<uint32_t>(v) : uint32_t(saturate<int32_t>(v));
            std::memcpy(to, &l, 4);
        } else if ((type == TIFF_RATIONAL || type == TIFF_SRATIONAL || type == TIFF_FLOAT) && size == 4) {
            const float r = float(v);
            std::memcpy(to, &r, 4);
        } else if ((type == TIFF_RATIONAL || type == TIFF_SRATIONAL || type == TIFF_DOUBLE) && size == 8) {
            std::memcpy(to, &v, 8);
        } else {
            return false;  // a storage libtiff does not use for EXIF fields
        }
    }
    if (passcount) return wide_count ? TIFFSetField(tif, f.tag, count, values.data())
                                     : TIFFSetField(tif, f.tag, int(count), values.data());
    if (writecount != 1) return TIFFSetField(tif, f.tag, values.data());
    if (size == 8 || type == TIFF_FLOAT || type == TIFF_RATIONAL || type == TIFF_SRATIONAL)
        return TIFFSetField(tif, f.tag, f.number(0));  // floating point goes as a double
    if (size == 4) {
        uint32_t l;
        std::memcpy(&l, values.data(), 4);
        return TIFFSetField(tif, f.tag, l);
    }
    uint16_t s = values[0];  // BYTE, UNDEFINED, SHORT: passed as an int
    if (size == 2) std::memcpy(&s, values.data(), 2);
    return TIFFSetField(tif, f.tag, int(s));
}

// Writes the Exif IFD of the image whose samples are written and whose
// directory holds a placeholder offset: the image's IFD goes out first, then
// the Exif IFD; then the image's IFD is read back, given the offset (or, if
// libtiff took none of the fields, rid of the placeholder) and written again
// in place.
bool write_exif_ifd(TIFF *tif, const std::vector<ExifField> &fields) {
    if (!TIFFWriteDirectory(tif) || TIFFCreateEXIFDirectory(tif) != 0) return false;
    int set = 0;
    for (const ExifField &f : fields) set += set_exif_field(tif, f);
    uint64_t offset = 0;
    if ((set > 0 && !TIFFWriteCustomDirectory(tif, &offset)) || !TIFFSetDirectory(tif, 0)) return false;
    return (set > 0 ? TIFFSetField(tif, TIFFTAG_EXIFIFD, offset) : TIFFUnsetField(tif, TIFFTAG_EXIFIFD)) &&
           TIFFWriteDirectory(tif);
}

// Encodes image as TIFF (the input's depth and channels, Deflate-compressed
// strips with the horizontal predictor) into the open file descriptor fd,
// which stays open.
std::string save_tiff(int fd, const std::string &name, const Image &image, const SaveOptions &save_options) {
    std::string error;
    TiffOptions options(error);
    const int copy = dup(fd);  // TIFFClose closes the descriptor it was given
    TIFF *tif = copy < 0 ? nullptr : TIFFFdOpenExt(copy, name.c_str(), "w", options.options);
    if (!tif) {
        if (copy >= 0) close(copy);
        return "TIFF encoding failed: " + (copy < 0 ? system_error() : error);
    }
    const int ch = image.channels;
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, uint32_t(image.width));
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, uint32_t(image.height));
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, uint16_t(image.depth()));
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, uint16_t(ch));
    TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, ch < 3 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
    TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));
    if (ch == 2 || ch == 4) {
        const uint16_t alpha = EXTRASAMPLE_UNASSALPHA;
        TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &alpha);
    }
    const Metadata &m = image.metadata;
    if (has_resolution(m)) {
        TIFFSetField(tif, TIFFTAG_XRESOLUTION, float(m.x_resolution));
        TIFFSetField(tif, TIFFTAG_YRESOLUTION, float(m.y_resolution));
        TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, m.resolution_unit == Metadata::Unit::inch         ? RESUNIT_INCH
                                                  : m.resolution_unit == Metadata::Unit::centimetre ? RESUNIT_CENTIMETER
                                                                                                    : RESUNIT_NONE);
    }
    if (m.icc.size() > kMaxIccBytes)
        add_warning(save_options.warnings, "ICC profile of " + std::to_string(m.icc.size()) +
                                               " bytes left out (at most " + std::to_string(kMaxIccBytes) + ")");
    else if (!m.icc.empty())
        TIFFSetField(tif, TIFFTAG_ICCPROFILE, uint32_t(m.icc.size()), m.icc.data());
    // EXIF: the orientation and the fields describing the picture go into the
    // image's IFD, the rest into an Exif IFD; a damaged block gives what it can.
    Exif exif;
    parse_exif(m.exif, exif);
    const int orientation = m.orientation != 0 ? m.orientation : exif_orientation(exif);
    if (orientation >= 1 && orientation <= 8) TIFFSetField(tif, TIFFTAG_ORIENTATION, uint16_t(orientation));
    for (const ExifField &f : exif.main)
        if (is_descriptive_tag(f.tag) && f.type == kAscii) TIFFSetField(tif, f.tag, f.text().c_str());
    if (!exif.exif.empty()) TIFFSetField(tif, TIFFTAG_EXIFIFD, uint64_t(0));
    const size_t row_bytes = size_t(image.width) * ch * (image.depth() / 8);
    std::vector<uint8_t> row(row_bytes);  // the predictor rewrites the row it is given: hand over a copy
    bool ok = true;
    for (int y = 0; ok && y < image.height; ++y) {
        std::memcpy(row.data(), sample_bytes(image) + y * row_bytes, row_bytes);
        ok = TIFFWriteScanline(tif, row.data(), uint32_t(y), 0) >= 0;
    }
    if (ok && !exif.exif.empty()) ok = write_exif_ifd(tif, exif.exif);
    ok = ok && TIFFFlush(tif);
    TIFFClose(tif);
    return ok ? "" : "TIFF encoding failed: " + error;
}

}  // namespace image_io::detail
