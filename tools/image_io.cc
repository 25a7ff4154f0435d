// image_io.cc: PNG through libpng and JPEG through libjpeg, with their error
// paths routed back through setjmp so a bad file becomes a message; TIFF
// through libtiff, whose messages are caught by handlers given at open.
#include "image_io.h"

#include <fcntl.h>
#include <jpeglib.h>
#include <png.h>
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>

namespace image_io {
namespace {

// PNG and TIFF files may hold 16-bit samples in the other byte order.
constexpr bool kLittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

// The bytes of image's samples, whichever their depth.
const uint8_t *sample_bytes(const Image &image) {
    return image.depth() == 16 ? reinterpret_cast<const uint8_t *>(image.data16.data()) : image.data.data();
}

// Lower-case extension of path including the dot, or "" if there is none.
std::string extension_of(const std::string &path) {
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    std::string ext = path.substr(dot);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return ext;
}

// Refuses shapes whose sample count overflows the library's 32-bit strides.
std::string check_size(long long width, long long height, long long channels) {
    if (width < 1 || height < 1) return "image has no pixels";
    if (width * height * channels > INT_MAX) {
        return "image too large: " + std::to_string(width) + "x" + std::to_string(height) + "x" +
               std::to_string(channels) + " samples exceed 32-bit extents";
    }
    return "";
}

// Text of errno for messages.
std::string system_error() { return std::strerror(errno); }

// stdio buffer for image files: large reads and writes, few system calls.
constexpr size_t kFileBuffer = size_t(1) << 20;

// Samples in one band of rows that an encoder compresses on a thread of its
// own. Bands do not depend on the thread count, nor do the files.
constexpr size_t kBandBytes = size_t(1) << 20;

// v rounded to the nearest integer within lo..hi.
long clamp_round(double v, long lo, long hi) { return long(std::clamp(std::nearbyint(v), double(lo), double(hi))); }

// True if the image carries a resolution.
bool has_resolution(const Metadata &m) { return m.x_resolution > 0 && m.y_resolution > 0; }

// How many bands run at once: `threads`, or one per core for 0.
int bands_at_once(int threads, int bands) {
    return std::min(bands, threads > 0 ? threads : int(std::max(1u, std::thread::hardware_concurrency())));
}

// Runs make(b, slot) for bands b = 0 .. bands - 1, at_once of them at a time
// on as many threads (slot 0 .. at_once - 1 names the round's place for b),
// then emit(b, slot) for each of the round in order; returns the first
// message emit gives. make must not throw other than bad_alloc, which leaves
// its band as make left it.
template <class Make, class Emit>
std::string in_bands(int bands, int at_once, const Make &make, const Emit &emit) {
    std::vector<std::thread> workers;
    workers.reserve(at_once);
    for (int first = 0; first < bands; first += at_once) {
        const int count = std::min(at_once, bands - first);
        for (int k = 0; k < count; ++k) {
            auto job = [&make, first, k] {
                try {
                    make(first + k, k);
                } catch (const std::bad_alloc &) {
                }
            };
            if (k + 1 < count) {
                try {
                    workers.emplace_back(job);
                } catch (const std::system_error &) {
                    job();  // no thread to be had: run it here
                }
            } else {
                job();
            }
        }
        for (std::thread &w : workers) w.join();
        workers.clear();
        for (int k = 0; k < count; ++k) {
            std::string message = emit(first + k, k);
            if (!message.empty()) return message;
        }
    }
    return "";
}

// ---- PNG ----

// libpng error callback: keep the message and unwind to the setjmp point.
void png_error_handler(png_structp png, png_const_charp message) {
    auto *error = static_cast<std::string *>(png_get_error_ptr(png));
    *error = message;
    png_longjmp(png, 1);
}

// libpng warnings do not stop decoding; they are not reported.
void png_warning_handler(png_structp, png_const_charp) {}

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

// Decodes an open PNG file into image, rows straight into its buffer. All
// non-trivial objects live in the caller's frame so the longjmp from libpng
// skips no destructors.
std::string load_png(FILE *file, Image &image, std::string &error, std::vector<png_bytep> &rows) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &error, png_error_handler, png_warning_handler);
    if (!png) return "out of memory";
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return "out of memory";
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return "corrupt or truncated PNG: " + error;
    }
    png_init_io(png, file);
    png_read_info(png, info);
    const int bit_depth = png_get_bit_depth(png, info);
    const int color_type = png_get_color_type(png, info);
    if (bit_depth == 16 && kLittleEndian) png_set_swap(png);  // the file's samples are big-endian
    if (color_type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if (color_type == PNG_COLOR_TYPE_GRAY && bit_depth < 8) png_set_expand_gray_1_2_4_to_8(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    const int width = int(png_get_image_width(png, info));
    const int height = int(png_get_image_height(png, info));
    const int channels = png_get_channels(png, info);
    std::string size_error = check_size(png_get_image_width(png, info), png_get_image_height(png, info), channels);
    if (!size_error.empty()) {
        png_destroy_read_struct(&png, &info, nullptr);
        return size_error;
    }
    image.width = width;
    image.height = height;
    image.channels = channels;
    const size_t row_bytes = size_t(width) * channels * (bit_depth == 16 ? 2 : 1);
    if (bit_depth == 16)
        image.data16.resize(size_t(width) * height * channels);
    else
        image.data.resize(size_t(width) * height * channels);
    rows.resize(height);
    for (int y = 0; y < height; ++y) rows[y] = const_cast<png_bytep>(sample_bytes(image)) + y * row_bytes;
    png_read_image(png, rows.data());
    png_read_end(png, info);  // eXIf may follow the image data
    read_png_metadata(png, info, image.metadata);
    png_destroy_read_struct(&png, &info, nullptr);
    return "";
}

// Hands m's items to libpng for writing. Items libpng finds inconsistent
// (a profile for the other colour model, say) are dropped with a warning.
void write_png_metadata(png_structp png, png_infop info, const Metadata &m) {
    if (!m.icc.empty()) {
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
    if (!m.exif.empty() && m.exif.size() <= INT_MAX)
        png_set_eXIf_1(png, info, png_uint_32(m.exif.size()), const_cast<png_bytep>(m.exif.data()));
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
            if (!slots[k].ok) return "out of memory";
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
std::string save_png(FILE *file, const Image &image, const SaveOptions &options, std::string &error,
                     std::vector<png_bytep> &rows) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &error, png_error_handler, png_warning_handler);
    if (!png) return "out of memory";
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return "out of memory";
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return "PNG encoding failed: " + error;
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
    write_png_metadata(png, info, image.metadata);
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
    rows.resize(image.height);
    const size_t row_bytes = size_t(image.width) * image.channels * (image.depth() / 8);
    for (int y = 0; y < image.height; ++y) rows[y] = const_cast<png_bytep>(sample_bytes(image)) + y * row_bytes;
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return "";
}

// ---- JPEG ----

// libjpeg error manager with a jump back to the caller and the last message.
struct JpegError {
    jpeg_error_mgr manager;
    jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

// Fatal libjpeg error: keep the message and unwind.
void jpeg_error_exit(j_common_ptr cinfo) {
    auto *error = reinterpret_cast<JpegError *>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, error->message);
    longjmp(error->jump, 1);
}

// libjpeg messages: warnings (level < 0), such as premature end of data, are
// treated as errors; trace messages (level >= 0) are ignored.
void jpeg_emit_message(j_common_ptr cinfo, int level) {
    if (level < 0) jpeg_error_exit(cinfo);
}

// libjpeg would print to stderr; messages are returned instead.
void jpeg_output_message(j_common_ptr) {}

// Installs the error manager on cinfo.
void install_jpeg_errors(jpeg_common_struct *cinfo, JpegError &error) {
    cinfo->err = jpeg_std_error(&error.manager);
    error.manager.error_exit = jpeg_error_exit;
    error.manager.emit_message = jpeg_emit_message;
    error.manager.output_message = jpeg_output_message;
    error.message[0] = '\0';
}

// Marker payload prefixes (each with its terminating NUL).
const char kExif[] = "Exif\0";           // then the TIFF-structured EXIF block
const char kIcc[] = "ICC_PROFILE";       // then sequence number, count, profile part
const char kMpf[] = "MPF";               // multi-picture index: offsets into the original file
const char kAdobe[] = "Adobe";           // the encoder's colour transform

bool starts_with(const jpeg_saved_marker_ptr marker, const char *prefix, size_t size) {
    return marker->data_length >= size && std::memcmp(marker->data, prefix, size) == 0;
}

// Copies the density, EXIF, ICC profile and other APP markers read with the header into m.
void read_jpeg_metadata(jpeg_decompress_struct &cinfo, Metadata &m) {
    if (cinfo.saw_JFIF_marker && cinfo.X_density > 0 && cinfo.Y_density > 0 &&
        (cinfo.density_unit != 0 || cinfo.X_density != cinfo.Y_density)) {  // 1:1 without a unit says nothing
        m.x_resolution = cinfo.X_density;
        m.y_resolution = cinfo.Y_density;
        m.resolution_unit = cinfo.density_unit == 1   ? Metadata::Unit::inch
                            : cinfo.density_unit == 2 ? Metadata::Unit::centimetre
                                                      : Metadata::Unit::none;
    }
    JOCTET *icc = nullptr;
    unsigned int icc_length = 0;
    if (jpeg_read_icc_profile(&cinfo, &icc, &icc_length)) {
        m.icc.assign(icc, icc + icc_length);
        std::free(icc);
    }
    for (jpeg_saved_marker_ptr marker = cinfo.marker_list; marker; marker = marker->next) {
        if (marker->marker == JPEG_APP0 + 1 && starts_with(marker, kExif, sizeof kExif) && m.exif.empty()) {
            m.exif.assign(marker->data + sizeof kExif, marker->data + marker->data_length);
        } else if (!(marker->marker == JPEG_APP0 + 2 && (starts_with(marker, kIcc, sizeof kIcc) ||
                                                         starts_with(marker, kMpf, sizeof kMpf))) &&
                   !(marker->marker == JPEG_APP0 + 14 && starts_with(marker, kAdobe, sizeof kAdobe - 1))) {
            m.jpeg_markers.push_back({marker->marker, {marker->data, marker->data + marker->data_length}});
        }
    }
}

// Decodes an open JPEG file into image (gray stays gray, colour becomes RGB).
std::string load_jpeg(FILE *file, Image &image) {
    jpeg_decompress_struct cinfo;
    JpegError error;
    install_jpeg_errors(reinterpret_cast<jpeg_common_struct *>(&cinfo), error);
    if (setjmp(error.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return std::string("corrupt or truncated JPEG: ") + error.message;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, file);
    for (int n = 1; n <= 15; ++n) jpeg_save_markers(&cinfo, JPEG_APP0 + n, 0xFFFF);
    jpeg_read_header(&cinfo, TRUE);
    if (cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK) {
        jpeg_destroy_decompress(&cinfo);
        return "unsupported JPEG colour space: CMYK";
    }
    cinfo.out_color_space = cinfo.num_components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_start_decompress(&cinfo);
    const std::string size_error = check_size(cinfo.output_width, cinfo.output_height, cinfo.output_components);
    if (!size_error.empty()) {
        jpeg_destroy_decompress(&cinfo);
        return size_error;
    }
    image.width = int(cinfo.output_width);
    image.height = int(cinfo.output_height);
    image.channels = cinfo.output_components;
    const size_t row_bytes = size_t(image.width) * image.channels;
    image.data.resize(row_bytes * image.height);
    while (cinfo.output_scanline < cinfo.output_height) {  // as many rows a call as the decoder gives
        JSAMPROW rows[16];
        const JDIMENSION n = std::min<JDIMENSION>(16, cinfo.output_height - cinfo.output_scanline);
        for (JDIMENSION r = 0; r < n; ++r) rows[r] = image.data.data() + (cinfo.output_scanline + r) * row_bytes;
        jpeg_read_scanlines(&cinfo, rows, n);
    }
    read_jpeg_metadata(cinfo, image.metadata);
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return "";
}

// Sets the JFIF density from m; a fractional per-centimetre value (a PNG's
// per-metre one, say) is written per inch, which keeps it to the integer.
void write_jpeg_density(jpeg_compress_struct &cinfo, const Metadata &m) {
    if (!has_resolution(m)) return;
    double x = m.x_resolution, y = m.y_resolution;
    cinfo.density_unit = m.resolution_unit == Metadata::Unit::inch ? 1 : m.resolution_unit == Metadata::Unit::none ? 0 : 2;
    if (cinfo.density_unit == 2 && (x != std::nearbyint(x) || y != std::nearbyint(y))) {
        cinfo.density_unit = 1;
        x *= 2.54;
        y *= 2.54;
    }
    cinfo.X_density = UINT16(clamp_round(x, 1, 65535));
    cinfo.Y_density = UINT16(clamp_round(y, 1, 65535));
}

// Writes the EXIF, ICC and other APP markers of m; call between
// jpeg_start_compress and the first scanline. EXIF too large for one marker is
// left out.
void write_jpeg_markers(jpeg_compress_struct &cinfo, const Metadata &m, std::vector<JOCTET> &exif) {
    if (!m.exif.empty() && m.exif.size() + sizeof kExif <= 65533) {
        exif.assign(kExif, kExif + sizeof kExif);
        exif.insert(exif.end(), m.exif.begin(), m.exif.end());
        jpeg_write_marker(&cinfo, JPEG_APP0 + 1, exif.data(), unsigned(exif.size()));
    }
    if (!m.icc.empty() && m.icc.size() <= UINT_MAX) jpeg_write_icc_profile(&cinfo, m.icc.data(), unsigned(m.icc.size()));
    for (const Metadata::Marker &marker : m.jpeg_markers)
        if (marker.data.size() <= 65533)
            jpeg_write_marker(&cinfo, marker.code, marker.data.data(), unsigned(marker.data.size()));
}

// One band of rows encoded as a JPEG of its own, in memory.
struct JpegBand {
    unsigned char *buffer = nullptr;  // from jpeg_mem_dest, freed with the band
    unsigned long size = 0;
    std::vector<JOCTET> exif;  // the EXIF marker's payload, kept while it is written
    std::string error;
    bool ok = false;
    JpegBand() = default;
    JpegBand(const JpegBand &) = delete;
    JpegBand &operator=(const JpegBand &) = delete;
    ~JpegBand() { std::free(buffer); }
    void reset() {
        std::free(buffer);
        buffer = nullptr, size = 0, error.clear(), ok = false;
    }
};

// Encodes rows [y0, y1) of image into band with a restart marker after every
// row of blocks; band 0 carries the density and the metadata markers.
void encode_jpeg_band(const Image &image, const SaveOptions &options, int y0, int y1, bool first, JpegBand &band) {
    jpeg_compress_struct cinfo;
    JpegError error;
    install_jpeg_errors(reinterpret_cast<jpeg_common_struct *>(&cinfo), error);
    if (setjmp(error.jump)) {
        jpeg_destroy_compress(&cinfo);
        band.error = error.message;
        return;
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, &band.buffer, &band.size);
    cinfo.image_width = JDIMENSION(image.width);
    cinfo.image_height = JDIMENSION(y1 - y0);
    cinfo.input_components = image.channels;
    cinfo.in_color_space = image.channels == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, std::clamp(options.jpeg_quality, 1, 100), TRUE);
    const int sub = options.jpeg_subsampling;
    cinfo.comp_info[0].h_samp_factor = image.channels == 3 && sub != 444 ? 2 : 1;  // luma against chroma
    cinfo.comp_info[0].v_samp_factor = image.channels == 3 && sub == 420 ? 2 : 1;
    cinfo.restart_in_rows = 1;
    if (first) write_jpeg_density(cinfo, image.metadata);
    jpeg_start_compress(&cinfo, TRUE);
    if (first) write_jpeg_markers(cinfo, image.metadata, band.exif);
    const size_t row_bytes = size_t(image.width) * image.channels;
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW rows[16];
        const JDIMENSION n = std::min<JDIMENSION>(16, cinfo.image_height - cinfo.next_scanline);
        for (JDIMENSION r = 0; r < n; ++r)
            rows[r] = const_cast<JSAMPROW>(image.data.data()) + (y0 + cinfo.next_scanline + r) * row_bytes;
        jpeg_write_scanlines(&cinfo, rows, n);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    band.ok = true;
}

// Where a band's entropy-coded data begins (after the scan header) and the
// offset of its frame header's height; 0 if the stream is not as expected.
size_t jpeg_scan_start(const unsigned char *data, size_t size, size_t &height_at) {
    for (size_t at = 2; at + 4 <= size && data[at] == 0xFF;) {
        const int marker = data[at + 1];
        const size_t length = size_t(data[at + 2]) << 8 | data[at + 3];
        if (marker >= 0xC0 && marker <= 0xC2) height_at = at + 5;
        if (marker == 0xDA) return at + 2 + length;
        at += 2 + length;
    }
    return 0;
}

// Encodes a gray or RGB image as JPEG into an open file: bands of rows whose
// height is a whole number of block rows, each encoded on a thread as a JPEG
// of its own with a restart marker after every block row, are joined into one
// stream (band 0's headers with the full height, the bands' entropy-coded
// data with the restart markers numbered on, one more between bands). The
// decoded samples equal those of encoding the image in one piece.
std::string save_jpeg(FILE *file, const Image &image, const SaveOptions &options) {
    if (image.channels != 1 && image.channels != 3) return "JPEG output needs a gray or RGB image";
    if (image.depth() != 8) return "JPEG output takes 8-bit samples; use .png or .tif for 16-bit images";
    const int sub = options.jpeg_subsampling;
    if (sub != 444 && sub != 422 && sub != 420) return "JPEG subsampling must be 444, 422 or 420";
    if (image.height > 65500) return "JPEG encoding failed: Maximum supported image dimension is 65500 pixels";
    const int block_rows = image.channels == 3 && sub == 420 ? 16 : 8;
    const size_t row_bytes = size_t(image.width) * image.channels;
    const int rows_per_band = std::max<int>(1, int(kBandBytes / row_bytes / block_rows)) * block_rows;
    const int bands = (image.height + rows_per_band - 1) / rows_per_band;
    std::vector<JpegBand> slots(bands_at_once(options.threads, bands));
    int restarts = 0;  // restart markers so far
    std::string message = in_bands(
        bands, int(slots.size()),
        [&](int b, int k) {
            slots[k].reset();
            encode_jpeg_band(image, options, b * rows_per_band, std::min(image.height, (b + 1) * rows_per_band), b == 0,
                             slots[k]);
        },
        [&](int b, int k) -> std::string {
            JpegBand &band = slots[k];
            if (!band.ok) return "JPEG encoding failed: " + (band.error.empty() ? "out of memory" : band.error);
            unsigned char *data = band.buffer;
            size_t height_at = 0;
            const size_t start = jpeg_scan_start(data, band.size, height_at), end = band.size - 2;
            if (start == 0 || height_at == 0 || start > end) return "JPEG encoding failed: unexpected band layout";
            if (b == 0) {
                data[height_at] = uint8_t(image.height >> 8), data[height_at + 1] = uint8_t(image.height);
                if (std::fwrite(data, 1, start, file) != start) return system_error();
            } else {
                const uint8_t marker[2] = {0xFF, uint8_t(0xD0 + restarts++ % 8)};
                if (std::fwrite(marker, 1, 2, file) != 2) return system_error();
            }
            for (size_t i = start; i + 1 < end; ++i)  // a 0xFF in the data is followed by 0 (stuffed)
                if (data[i] == 0xFF && data[i + 1] >= 0xD0 && data[i + 1] <= 0xD7) data[++i] = uint8_t(0xD0 + restarts++ % 8);
            return std::fwrite(data + start, 1, end - start, file) == end - start ? "" : system_error();
        });
    const uint8_t end_of_image[2] = {0xFF, 0xD9};
    if (message.empty() && std::fwrite(end_of_image, 1, 2, file) != 2) message = system_error();
    return message;
}

// ---- TIFF ----

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

// Copies the resolution and ICC profile of the current directory into m.
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
}

// Decodes the first image of an open TIFF into image; error holds libtiff's message.
std::string read_tiff(TIFF *tif, Image &image, const std::string &error) {
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
    if (result.empty()) result = check_size(width, height, spp);
    if (!result.empty()) return result;

    const size_t bytes = bits / 8;
    std::vector<uint8_t> raw(size_t(width) * height * spp * bytes);
    // A decoded buffer holds all samples of a pixel, or one plane's with separate planes.
    const bool separate = planar == PLANARCONFIG_SEPARATE && spp > 1;
    const int planes = separate ? spp : 1;
    const size_t pixel = (separate ? 1 : spp) * bytes;
    // Copies n pixels of plane p from a decoded buffer to (x, y) onwards in raw.
    auto place = [&](const uint8_t *from, uint32_t x, uint32_t y, uint32_t n, int p) {
        for (uint32_t i = 0; i < n; ++i)
            std::memcpy(&raw[((size_t(y) * width + x + i) * spp + p) * bytes], from + i * pixel, pixel);
    };
    const std::string failed = "corrupt or truncated TIFF: ";
    if (TIFFIsTiled(tif)) {
        uint32_t tw = 0, th = 0;
        TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tw);
        TIFFGetField(tif, TIFFTAG_TILELENGTH, &th);
        const tmsize_t size = TIFFTileSize(tif);
        if (tw == 0 || th == 0 || size < tmsize_t(tw * pixel * th)) return failed + "bad tile size " + error;
        std::vector<uint8_t> tile(size);
        for (int p = 0; p < planes; ++p)
            for (uint32_t ty = 0; ty < height; ty += th)
                for (uint32_t tx = 0; tx < width; tx += tw) {
                    if (TIFFReadTile(tif, tile.data(), tx, ty, 0, uint16_t(p)) < 0) return failed + error;
                    for (uint32_t r = 0; r < th && ty + r < height; ++r)
                        place(tile.data() + size_t(r) * tw * pixel, tx, ty + r, std::min(tw, width - tx), p);
                }
    } else {
        const tmsize_t size = TIFFScanlineSize(tif);
        if (size < tmsize_t(width * pixel)) return failed + "bad row size " + error;
        std::vector<uint8_t> line(size);
        for (int p = 0; p < planes; ++p)
            for (uint32_t y = 0; y < height; ++y) {
                if (TIFFReadScanline(tif, line.data(), y, uint16_t(p)) < 0) return failed + error;
                place(line.data(), 0, y, width, p);
            }
    }
    image = Image{int(width), int(height), spp, {}, {}};
    read_tiff_metadata(tif, image.metadata);
    if (bits == 8) {
        image.data = std::move(raw);
    } else {  // libtiff hands back 16-bit samples in the host's byte order
        image.data16.resize(raw.size() / 2);
        std::memcpy(image.data16.data(), raw.data(), raw.size());
    }
    return "";
}

// TIFF signature, either byte order, classic or BigTIFF.
bool is_tiff(const unsigned char *m) {
    const bool little = m[0] == 'I' && m[1] == 'I' && m[3] == 0, big = m[0] == 'M' && m[1] == 'M' && m[2] == 0;
    return (little && (m[2] == 42 || m[2] == 43)) || (big && (m[3] == 42 || m[3] == 43));
}

// Opens path as TIFF and decodes its first image.
std::string load_tiff(const std::string &path, Image &image) {
    std::string error;
    TiffOptions options(error);
    TIFF *tif = TIFFOpenExt(path.c_str(), "r", options.options);
    if (!tif) return "corrupt or truncated TIFF: " + error;
    const std::string result = read_tiff(tif, image, error);
    TIFFClose(tif);
    return result;
}

// Encodes image as TIFF (the input's depth and channels, Deflate-compressed
// strips with the horizontal predictor) into the open file descriptor fd,
// which stays open.
std::string save_tiff(int fd, const std::string &name, const Image &image) {
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
    if (!m.icc.empty() && m.icc.size() <= UINT32_MAX)
        TIFFSetField(tif, TIFFTAG_ICCPROFILE, uint32_t(m.icc.size()), m.icc.data());
    const size_t row_bytes = size_t(image.width) * ch * (image.depth() / 8);
    std::vector<uint8_t> row(row_bytes);  // the predictor rewrites the row it is given: hand over a copy
    bool ok = true;
    for (int y = 0; ok && y < image.height; ++y) {
        std::memcpy(row.data(), sample_bytes(image) + y * row_bytes, row_bytes);
        ok = TIFFWriteScanline(tif, row.data(), uint32_t(y), 0) >= 0;
    }
    ok = ok && TIFFFlush(tif);
    TIFFClose(tif);
    return ok ? "" : "TIFF encoding failed: " + error;
}

}  // namespace

std::string load(const std::string &path, Image &image) {
    image = Image();
    FILE *file = std::fopen(path.c_str(), "rb");
    if (!file) return "cannot open " + path + ": " + system_error();
    std::setvbuf(file, nullptr, _IOFBF, kFileBuffer);
    unsigned char magic[8] = {0};
    const size_t got = std::fread(magic, 1, sizeof magic, file);
    std::rewind(file);
    std::string error;
    std::string result;
    std::vector<png_bytep> rows;
    if (got == 8 && png_sig_cmp(magic, 0, 8) == 0) {
        result = load_png(file, image, error, rows);
    } else if (got >= 3 && magic[0] == 0xFF && magic[1] == 0xD8 && magic[2] == 0xFF) {
        result = load_jpeg(file, image);
    } else if (got >= 4 && is_tiff(magic)) {
        result = load_tiff(path, image);
    } else {
        result = "not a PNG, TIFF or JPEG file";
    }
    std::fclose(file);
    if (!result.empty()) {
        image = Image();
        return path + ": " + result;
    }
    return "";
}

bool has_known_extension(const std::string &path) {
    const std::string ext = extension_of(path);
    return ext == ".png" || ext == ".tif" || ext == ".tiff" || ext == ".jpg" || ext == ".jpeg";
}

std::string save(const std::string &path, const Image &image, const SaveOptions &options) {
    const std::string ext = extension_of(path);
    if (!has_known_extension(path)) return path + ": unknown output format (use " + kKnownExtensions + ")";
    if (image.channels < 1 || image.channels > 4) return path + ": unsupported channel count";
    if (image.width < 1 || image.height < 1) return path + ": image has no pixels";

    // Temporary file beside the target, keeping its extension:
    // .name.tmp-<pid>-<n>.ext, the first n not taken. Its path goes to
    // on_temporary before the file exists, so a signal handler that removes
    // it can never miss a file already made.
    const size_t slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string base = dir + "." + name.substr(0, name.size() - ext.size()) + ".tmp-" +
                             std::to_string(getpid()) + "-";
    std::string temp;
    int fd = -1;
    for (int n = 0; fd < 0 && n < 1000; ++n) {
        temp = base + std::to_string(n) + ext;
        if (options.on_temporary != nullptr) options.on_temporary(temp.c_str());
        fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) return "cannot write " + path + ": " + system_error();
    FILE *file = fdopen(fd, "wb");
    if (!file) {
        const std::string message = "cannot write " + path + ": " + system_error();
        close(fd);
        unlink(temp.c_str());
        return message;
    }
    std::setvbuf(file, nullptr, _IOFBF, kFileBuffer);
    std::string error;
    std::vector<png_bytep> rows;
    std::string result = ext == ".png"                      ? save_png(file, image, options, error, rows)
                         : ext == ".tif" || ext == ".tiff" ? save_tiff(fd, temp, image)
                                                           : save_jpeg(file, image, options);
    if (result.empty() && (std::fflush(file) != 0 || fsync(fileno(file)) != 0)) result = system_error();
    if (std::fclose(file) != 0 && result.empty()) result = system_error();
    if (result.empty() && std::rename(temp.c_str(), path.c_str()) != 0) result = system_error();
    if (!result.empty()) {
        unlink(temp.c_str());
        return "cannot write " + path + ": " + result;
    }
    return "";
}

}  // namespace image_io
