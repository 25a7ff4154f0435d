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

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <csetjmp>
#include <cstdio>
#include <cstring>

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

// ---- PNG ----

// libpng error callback: keep the message and unwind to the setjmp point.
void png_error_handler(png_structp png, png_const_charp message) {
    auto *error = static_cast<std::string *>(png_get_error_ptr(png));
    *error = message;
    png_longjmp(png, 1);
}

// libpng warnings do not stop decoding; they are not reported.
void png_warning_handler(png_structp, png_const_charp) {}

// Decodes an open PNG file into image. All non-trivial objects live in the
// caller's frame so the longjmp from libpng skips no destructors.
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
        image.data16.assign(size_t(width) * height * channels, 0);
    else
        image.data.assign(size_t(width) * height * channels, 0);
    rows.resize(height);
    for (int y = 0; y < height; ++y) rows[y] = const_cast<png_bytep>(sample_bytes(image)) + y * row_bytes;
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return "";
}

// Encodes image as PNG into an open file.
std::string save_png(FILE *file, const Image &image, std::string &error, std::vector<png_bytep> &rows) {
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
    png_set_IHDR(png, info, image.width, image.height, image.depth(), color_types[image.channels],
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
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
    image.data.assign(size_t(image.width) * image.height * image.channels, 0);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = image.data.data() + size_t(cinfo.output_scanline) * image.width * image.channels;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return "";
}

// Encodes a gray or RGB image as JPEG into an open file.
std::string save_jpeg(FILE *file, const Image &image) {
    if (image.channels != 1 && image.channels != 3) return "JPEG output needs a gray or RGB image";
    if (image.depth() != 8) return "JPEG output takes 8-bit samples; use .png or .tif for 16-bit images";
    jpeg_compress_struct cinfo;
    JpegError error;
    install_jpeg_errors(reinterpret_cast<jpeg_common_struct *>(&cinfo), error);
    if (setjmp(error.jump)) {
        jpeg_destroy_compress(&cinfo);
        return std::string("JPEG encoding failed: ") + error.message;
    }
    jpeg_create_compress(&cinfo);
    jpeg_stdio_dest(&cinfo, file);
    cinfo.image_width = JDIMENSION(image.width);
    cinfo.image_height = JDIMENSION(image.height);
    cinfo.input_components = image.channels;
    cinfo.in_color_space = image.channels == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 95, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row =
            const_cast<JSAMPROW>(image.data.data()) + size_t(cinfo.next_scanline) * image.width * image.channels;
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return "";
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

std::string save(const std::string &path, const Image &image, const SaveOptions &) {
    const std::string ext = extension_of(path);
    if (!has_known_extension(path)) return path + ": unknown output format (use " + kKnownExtensions + ")";
    if (image.channels < 1 || image.channels > 4) return path + ": unsupported channel count";

    // Temporary file beside the target, keeping its extension: .name.tmp-XXXXXX.ext
    const size_t slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string temp = dir + "." + name.substr(0, name.size() - ext.size()) + ".tmp-XXXXXX" + ext;
    const int fd = mkstemps(&temp[0], int(ext.size()));
    if (fd < 0) return "cannot write " + path + ": " + system_error();
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    FILE *file = fdopen(fd, "wb");
    if (!file) {
        const std::string message = "cannot write " + path + ": " + system_error();
        close(fd);
        unlink(temp.c_str());
        return message;
    }
    std::string error;
    std::vector<png_bytep> rows;
    std::string result = ext == ".png"                      ? save_png(file, image, error, rows)
                         : ext == ".tif" || ext == ".tiff" ? save_tiff(fd, temp, image)
                                                           : save_jpeg(file, image);
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
