// png.cc: PNG through libpng, whose errors unwind through setjmp back to the
// call so a bad file becomes a message; fast compression levels bypass
// libpng's row writer with bands of rows deflated on several threads.
#include <png.h>
#include <zlib.h>

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <vector>

#include "bands.h"
#include "codecs.h"
#include "exif.h"

namespace image_io::detail {
namespace {

// What libpng's callbacks report into: the error that stops it, and the
// caller's list for warnings (null: dropped).
struct PngMessages {
    std::string error;
    std::string refusal;  // set before a png_error that stands for it
    std::vector<std::string> *warnings = nullptr;
};

// libpng error callback: keep the message and unwind to the setjmp point.
void png_error_handler(png_structp png, png_const_charp message) {
    static_cast<PngMessages *>(png_get_error_ptr(png))->error = message;
    png_longjmp(png, 1);
}

// libpng warnings (a chunk left out, say) do not stop it; they go to the caller.
void png_warning_handler(png_structp png, png_const_charp message) {
    add_warning(static_cast<PngMessages *>(png_get_error_ptr(png))->warnings, std::string("PNG: ") + message);
}

// Copies the metadata libpng found (before and after the image data) into m.
void read_png_metadata(png_structp png, png_infop info, Metadata &m) {
    png_charp name = nullptr;
    png_bytep profile = nullptr;
    png_uint_32 length = 0;
    int compression = 0;
    if (png_get_iCCP(png, info, &name, &compression, &profile, &length) && profile) {
        m.icc.assign(profile, profile + length);
        m.icc_name = name ? name : "";
    }
    int intent = 0;
    if (png_get_sRGB(png, info, &intent)) m.srgb_intent = intent;
    png_fixed_point gamma = 0;
    if (png_get_gAMA_fixed(png, info, &gamma)) m.gamma = gamma;
    png_fixed_point c[8];
    if (png_get_cHRM_fixed(png, info, &c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &c[6], &c[7]))
        m.chromaticities.assign(c, c + 8);
    png_uint_32 x = 0, y = 0;
    int unit = 0;
    if (png_get_pHYs(png, info, &x, &y, &unit) && x > 0 && y > 0) {
        const double scale = unit == PNG_RESOLUTION_METER ? 0.01 : 1;  // per metre -> per centimetre
        m.x_resolution = x * scale;
        m.y_resolution = y * scale;
        m.resolution_unit = unit == PNG_RESOLUTION_METER ? Metadata::Unit::centimetre : Metadata::Unit::none;
    }
    png_bytep exif = nullptr;
    png_uint_32 exif_length = 0;
    if (png_get_eXIf_1(png, info, &exif_length, &exif) && exif) m.exif.assign(exif, exif + exif_length);
}

// The chunks read besides those of the image itself; libpng skips all others
// without holding them (text chunks above all, which could add up to any
// amount of memory).
const png_byte kChunksRead[] = "iCCP\0sRGB\0gAMA\0cHRM\0pHYs\0eXIf";

// libpng sizes a chunk's buffer by the length it declares before reading it.
// The profile and EXIF chunks declaring more than kMaxPngChunk, found by
// walking the chunk headers, are skipped instead, with a warning; their
// names (each with a NUL) are returned.
std::string oversized_chunks(int fd, std::vector<std::string> *warnings) {
    std::string names;
    unsigned char head[8];
    for (uint64_t at = 8; pread(fd, head, 8, off_t(at)) == 8 && std::memcmp(head + 4, "IEND", 4) != 0;) {
        const uint32_t length = png_get_uint_32(head);
        const std::string type(reinterpret_cast<char *>(head + 4), 4);
        if ((type == "iCCP" || type == "eXIf") && length > kMaxPngChunk && names.find(type) == std::string::npos) {
            names += type + '\0';
            add_warning(warnings, "PNG: " + type + " chunk of " + std::to_string(length) + " bytes left out (at most " +
                                      std::to_string(kMaxPngChunk) + ")");
        }
        at += 12 + uint64_t(length);
    }
    return names;
}

// Decodes an open PNG file into image, rows straight into its buffer. All
// non-trivial objects live in the caller's frame so the longjmp from libpng
// skips no destructors.
std::string read_png(FILE *file, Image &image, const LoadOptions &options, PngMessages &messages,
                     std::vector<png_bytep> &rows, const std::string &skipped) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &messages, png_error_handler, png_warning_handler);
    if (!png) return kNoMemory;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return kNoMemory;
    }
    std::string &refusal = messages.refusal;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return refusal.empty() ? "corrupt or truncated PNG: " + messages.error : refusal;
    }
    // The image's size is the pixel budget's to judge, each chunk's at most kMaxPngChunk.
    png_set_user_limits(png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
    png_set_chunk_malloc_max(png, kMaxPngChunk);
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, nullptr, -1);
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_AS_DEFAULT, kChunksRead, int(sizeof kChunksRead / 5));
    if (!skipped.empty())
        png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, reinterpret_cast<png_const_bytep>(skipped.data()),
                                    int(skipped.size() / 5));
    png_init_io(png, file);
    png_read_info(png, info);
    const png_uint_32 width = png_get_image_width(png, info), height = png_get_image_height(png, info);
    const int bit_depth = png_get_bit_depth(png, info);
    const int color_type = png_get_color_type(png, info);
    const bool palette = color_type == PNG_COLOR_TYPE_PALETTE;  // expanded to RGB, transparency to alpha
    const int channels = palette ? 3 + (png_get_valid(png, info, PNG_INFO_tRNS) != 0) : png_get_channels(png, info);
    const int depth = bit_depth == 16 ? 16 : 8;
    refusal = check_size(width, height, channels, depth / 8, options);
    // The pixel data inflates at most 1032 times (two bits for 258 bytes), so
    // a file too small for the rows it declares is refused before they are made.
    struct stat file_info;
    const double packed_row = std::floor(double(width) * png_get_channels(png, info) * bit_depth / 8);
    if (refusal.empty() && fstat(fileno(file), &file_info) == 0 && S_ISREG(file_info.st_mode) &&
        double(height) * packed_row > 1032.0 * double(file_info.st_size) + 1024) {
        refusal = "corrupt or truncated PNG: a file of " + std::to_string(file_info.st_size) + " bytes cannot hold " +
                  std::to_string(width) + "x" + std::to_string(height) + " pixels";
    }
    if (!refusal.empty()) png_error(png, refusal.c_str());
    if (bit_depth == 16 && kLittleEndian) png_set_swap(png);  // the file's samples are big-endian
    if (palette) png_set_palette_to_rgb(png);
    if (color_type == PNG_COLOR_TYPE_GRAY && bit_depth < 8) png_set_expand_gray_1_2_4_to_8(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);  // sizes libpng's row buffers
    image.width = int(width);
    image.height = int(height);
    image.channels = png_get_channels(png, info);
    if (!allocate_samples(image, depth) || !guarded([&] { rows.resize(image.height); }))
        png_error(png, (refusal = kNoMemory).c_str());
    const size_t row_bytes = size_t(image.width) * image.channels * (depth / 8);
    for (int y = 0; y < image.height; ++y) rows[y] = const_cast<png_bytep>(sample_bytes(image)) + y * row_bytes;
    png_read_image(png, rows.data());
    png_read_end(png, info);  // eXIf may follow the image data
    if (!guarded([&] { read_png_metadata(png, info, image.metadata); })) png_error(png, (refusal = kNoMemory).c_str());
    png_destroy_read_struct(&png, &info, nullptr);
    return "";
}

// Hands m's items and the EXIF block to libpng for writing. Items libpng finds
// inconsistent (a profile for the other colour model, say) are dropped with a
// warning, and so are those the reader would refuse.
void write_png_metadata(png_structp png, png_infop info, const Metadata &m, const std::vector<uint8_t> &exif,
                        std::vector<std::string> *warnings) {
    if (m.icc.size() > kMaxIccBytes) {
        add_warning(warnings, "ICC profile of " + std::to_string(m.icc.size()) + " bytes left out (at most " +
                                  std::to_string(kMaxIccBytes) + ")");
    } else if (!m.icc.empty()) {
        const std::string name = m.icc_name.empty() ? "ICC profile" : m.icc_name;
        png_set_iCCP(png, info, name.c_str(), PNG_COMPRESSION_TYPE_BASE, m.icc.data(), png_uint_32(m.icc.size()));
    }
    if (m.srgb_intent >= 0) png_set_sRGB(png, info, m.srgb_intent);
    if (m.gamma > 0) png_set_gAMA_fixed(png, info, m.gamma);
    if (m.chromaticities.size() == 8) {
        const int32_t *c = m.chromaticities.data();
        png_set_cHRM_fixed(png, info, c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7]);
    }
    if (has_resolution(m)) {
        const bool none = m.resolution_unit == Metadata::Unit::none;
        const double per_metre = m.resolution_unit == Metadata::Unit::inch ? 1 / 0.0254 : none ? 1 : 100;
        png_set_pHYs(png, info, png_uint_32(clamp_round(m.x_resolution * per_metre, 1, INT_MAX)),
                     png_uint_32(clamp_round(m.y_resolution * per_metre, 1, INT_MAX)),
                     none ? PNG_RESOLUTION_UNKNOWN : PNG_RESOLUTION_METER);
    }
    if (exif.size() > kMaxPngChunk) {
        add_warning(warnings, "EXIF block of " + std::to_string(exif.size()) + " bytes left out (PNG output holds " +
                                  std::to_string(kMaxPngChunk) + ")");
    } else if (!exif.empty()) {
        png_set_eXIf_1(png, info, png_uint_32(exif.size()), const_cast<png_bytep>(exif.data()));
    }
}

// One band of rows, filtered and compressed on its own: a complete IDAT chunk
// (length, type, data, CRC) and the Adler-32 of its filtered bytes.
struct Band {
    std::vector<uint8_t> chunk;
    uLong adler = 1;
    size_t filtered_bytes = 0;
    bool ok = false;
};

// Filters rows [y0, y1) of image (Sub, or None with sub false; 16-bit samples
// big-endian as PNG has them) and deflates them as a raw stream that ends on a
// byte boundary (the last band finishes the stream), into band.chunk as an IDAT.
void compress_band(const Image &image, int y0, int y1, bool last, int level, bool sub, Band &band) {
    const size_t bytes = image.depth() / 8, pixel = image.channels * bytes;
    const size_t row_bytes = size_t(image.width) * pixel;
    const uint8_t *samples = sample_bytes(image);
    std::vector<uint8_t> row(row_bytes + 1), be(bytes == 2 ? row_bytes : 0);
    // deflateBound without a stream is its most cautious; + sync marker and CRC
    band.chunk.resize(8 + deflateBound(nullptr, uLong((row_bytes + 1) * (y1 - y0))) + 16);
    z_stream z{};
    if (deflateInit2(&z, level, Z_DEFLATED, -15, 8, level == 0 ? Z_DEFAULT_STRATEGY : Z_RLE) != Z_OK) return;
    z.next_out = band.chunk.data() + 8;
    z.avail_out = uInt(band.chunk.size() - 12);
    bool ok = true;
    for (int y = y0; y < y1 && ok; ++y) {
        const uint8_t *from = samples + size_t(y) * row_bytes;
        if (bytes == 2) {
            for (size_t i = 0; i < row_bytes; i += 2) {
                uint16_t v;
                std::memcpy(&v, from + i, 2);
                be[i] = uint8_t(v >> 8), be[i + 1] = uint8_t(v);
            }
            from = be.data();
        }
        row[0] = sub ? PNG_FILTER_VALUE_SUB : PNG_FILTER_VALUE_NONE;
        if (sub) {
            std::memcpy(&row[1], from, std::min(pixel, row_bytes));
            for (size_t i = pixel; i < row_bytes; ++i) row[1 + i] = uint8_t(from[i] - from[i - pixel]);
        } else {
            std::memcpy(&row[1], from, row_bytes);
        }
        band.adler = adler32(band.adler, row.data(), uInt(row.size()));
        band.filtered_bytes += row.size();
        z.next_in = row.data();
        z.avail_in = uInt(row.size());
        const int flush = y + 1 < y1 ? Z_NO_FLUSH : last ? Z_FINISH : Z_SYNC_FLUSH;
        const int status = deflate(&z, flush);
        ok = z.avail_out > 0 && (flush == Z_FINISH ? status == Z_STREAM_END : status == Z_OK);
    }
    const size_t length = z.total_out;
    deflateEnd(&z);
    if (!ok || length > 0x7fffffff) return;
    png_save_uint_32(band.chunk.data(), png_uint_32(length));
    std::memcpy(band.chunk.data() + 4, "IDAT", 4);
    png_save_uint_32(band.chunk.data() + 8 + length, png_uint_32(crc32(0, band.chunk.data() + 4, uInt(length + 4))));
    band.chunk.resize(length + 12);
    band.ok = true;
}

// Writes the image data of a PNG whose header libpng has written: the zlib
// header, then bands of about 1 MiB of rows compressed on `threads` threads
// at once, each its own IDAT chunk, then the Adler-32 of the whole filtered
// stream and IEND. Bands start with an empty window, which costs little with
// run-length matching.
std::string write_png_bands(FILE *file, const Image &image, int level, int threads) {
    auto put_chunk = [&](const char *type, const uint8_t *data, uint32_t length) {
        uint8_t head[8], crc[4];
        png_save_uint_32(head, length);
        std::memcpy(head + 4, type, 4);
        const uLong type_crc = crc32(0, head + 4, 4);  // (crc32 of a null pointer would restart at 0)
        png_save_uint_32(crc, png_uint_32(length ? crc32(type_crc, data, length) : type_crc));
        return std::fwrite(head, 1, 8, file) == 8 && (!length || std::fwrite(data, 1, length, file) == length) &&
               std::fwrite(crc, 1, 4, file) == 4;
    };
    const size_t row_bytes = size_t(image.width) * image.channels * (image.depth() / 8) + 1;
    const int rows_per_band = int(std::clamp<size_t>(kBandBytes / row_bytes, 1, size_t(image.height)));
    const int bands = (image.height + rows_per_band - 1) / rows_per_band;
    const uint8_t zlib_header[2] = {0x78, 0x01};
    if (!put_chunk("IDAT", zlib_header, 2)) return system_error();
    uLong adler = 1;
    std::vector<Band> slots(bands_at_once(threads, bands));
    const std::string message = in_bands(
        bands, int(slots.size()),
        [&](int b, int k) {
            const int y0 = b * rows_per_band, y1 = std::min(image.height, y0 + rows_per_band);
            slots[k] = Band();
            compress_band(image, y0, y1, b == bands - 1, level, level > 0, slots[k]);
        },
        [&](int, int k) -> std::string {
            if (!slots[k].ok) return kNoMemory;
            if (std::fwrite(slots[k].chunk.data(), 1, slots[k].chunk.size(), file) != slots[k].chunk.size())
                return system_error();
            adler = adler32_combine(adler, slots[k].adler, z_off_t(slots[k].filtered_bytes));
            return "";
        });
    if (!message.empty()) return message;
    uint8_t trailer[4];
    png_save_uint_32(trailer, png_uint_32(adler));
    if (!put_chunk("IDAT", trailer, 4) || !put_chunk("IEND", nullptr, 0)) return system_error();
    return "";
}

// Encodes image as PNG into an open file, rows straight from its buffer.
std::string write_png(FILE *file, const Image &image, const SaveOptions &options, PngMessages &messages,
                      std::vector<png_bytep> &rows, const std::vector<uint8_t> &exif) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &messages, png_error_handler, png_warning_handler);
    if (!png) return kNoMemory;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return kNoMemory;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return "PNG encoding failed: " + messages.error;
    }
    static const int color_types[] = {0, PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_GRAY_ALPHA, PNG_COLOR_TYPE_RGB,
                                      PNG_COLOR_TYPE_RGB_ALPHA};
    png_init_io(png, file);
    png_set_benign_errors(png, 1);  // an inconsistent colour chunk is left out, not fatal
    const int level = std::clamp(options.png_compression, 0, 9);
    png_set_compression_level(png, level);
    png_set_compression_buffer_size(png, kFileBuffer);
    png_set_IHDR(png, info, image.width, image.height, image.depth(), color_types[image.channels],
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    write_png_metadata(png, info, image.metadata, exif, options.warnings);
    png_write_info(png, info);
    if (level <= 2) {
        // Fast levels: the Sub filter (None when storing) and run-length matching,
        // bands of rows compressed in parallel; the adaptive filter search and
        // lazy matching of libpng's own path cost more than they save here.
        png_destroy_write_struct(&png, &info);
        const std::string result = write_png_bands(file, image, level, options.threads);
        return result.empty() ? "" : "PNG encoding failed: " + result;
    }
    if (image.depth() == 16 && kLittleEndian) png_set_swap(png);
    if (!guarded([&] { rows.resize(image.height); })) png_error(png, kNoMemory);
    const size_t row_bytes = size_t(image.width) * image.channels * (image.depth() / 8);
    for (int y = 0; y < image.height; ++y) rows[y] = const_cast<png_bytep>(sample_bytes(image)) + y * row_bytes;
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return "";
}

}  // namespace

// The libpng calls run in a frame below the one holding the message, the row
// pointers and the EXIF block, so their longjmp skips no destructor.
std::string load_png(FILE *file, Image &image, const LoadOptions &options) {
    PngMessages messages{{}, {}, options.warnings};
    std::vector<png_bytep> rows;
    const std::string skipped = oversized_chunks(fileno(file), options.warnings);
    return read_png(file, image, options, messages, rows, skipped);
}

std::string save_png(FILE *file, const Image &image, const SaveOptions &options) {
    PngMessages messages{{}, {}, options.warnings};
    std::vector<png_bytep> rows;
    const std::vector<uint8_t> exif = exif_to_write(image.metadata);
    return write_png(file, image, options, messages, rows, exif);
}

}  // namespace image_io::detail
