// Writes the image readers' fuzz seeds into a folder and runs each through the fuzz target: every layout the
// readers take (PNG of each colour type and depth, palette with transparency, interlaced; TIFF in strips and
// tiles, interleaved and in planes, either byte order, uncompressed, LZW and Deflate, with alpha, profile and
// EXIF; JPEG gray and colour, baseline, progressive and arithmetic-coded, with profile, EXIF and other markers),
// and files declaring far more than they hold. tests/fuzz/io_corpus holds its output:
//   fuzz_io_seeds tests/fuzz/io_corpus
#include <cstdio>  // jpeglib.h uses FILE and size_t without including their header
#include <jpeglib.h>
#include <png.h>
#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "image_io.h"
#include "tools/hostile_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

using namespace std::string_literals;
using image_io::Image;
using image_io::Metadata;

constexpr int kW = 21, kH = 13;  // odd, so tiles and packed rows have edges

// Sample c of pixel (x, y) in 16 bits: gradients and a disc.
uint16_t sample(int x, int y, int c) {
    const bool disc = std::hypot(x - 13, y - 6) < 4;
    return uint16_t((disc ? 50000 : x * 2500 + y * 1000) + c * 7000);
}

// The picture in c channels of the given depth, as image_io holds it.
Image picture(int channels, int depth) {
    Image img{kW, kH, channels, {}, {}};
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x)
            for (int c = 0; c < channels; ++c)
                depth == 16 ? img.data16.push_back(sample(x, y, c)) : img.data.push_back(uint8_t(sample(x, y, c) >> 8));
    return img;
}

// A PNG through libpng: depths below 8 packed from a byte per sample, palettes of 2^depth colours with
// transparency for the first four, Adam7 interlacing when asked.
void write_png(const std::string &name, int depth, int color_type, bool interlaced) {
    FILE *file = std::fopen(name.c_str(), "wb");
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, file);
    png_set_IHDR(png, info, kW, kH, depth, color_type, interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (color_type == PNG_COLOR_TYPE_PALETTE) {
        std::vector<png_color> colours;
        for (int k = 0; k < 1 << depth; ++k) colours.push_back({png_byte(k * 37), png_byte(k * 11), png_byte(255 - k)});
        const png_byte alpha[4] = {0, 80, 160, 255};
        png_set_PLTE(png, info, colours.data(), int(colours.size()));
        png_set_tRNS(png, info, alpha, std::min(4, 1 << depth), nullptr);
    }
    png_write_info(png, info);
    if (depth < 8) png_set_packing(png);
    const int channels = png_get_channels(png, info), bytes = depth == 16 ? 2 : 1;
    std::vector<png_byte> row(size_t(kW) * channels * bytes);
    for (int pass = png_set_interlace_handling(png); pass > 0; --pass)
        for (int y = 0; y < kH; ++y) {
            for (int x = 0; x < kW; ++x)
                for (int c = 0; c < channels; ++c) {
                    const uint16_t v = uint16_t(sample(x, y, c) >> (16 - depth));
                    png_byte *at = &row[(size_t(x) * channels + c) * bytes];
                    at[0] = png_byte(bytes == 2 ? v >> 8 : v);
                    if (bytes == 2) at[1] = png_byte(v);
                }
            png_write_row(png, row.data());
        }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
}

// A TIFF through libtiff in mode ("w", or "wb" big-endian): 8- or 16-bit gray or RGB with an alpha channel for
// 2 and 4 channels, in 16 x 16 tiles or 4-row strips, interleaved or in planes.
void write_tiff(const std::string &name, const char *mode, int channels, int bits, bool tiles, bool planes,
                int compression) {
    TIFF *t = TIFFOpen(name.c_str(), mode);
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, kW), TIFFSetField(t, TIFFTAG_IMAGELENGTH, kH);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, bits), TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, channels);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, channels >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, planes ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_COMPRESSION, compression);
    if (compression == COMPRESSION_LZW) TIFFSetField(t, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
    const uint16_t alpha = EXTRASAMPLE_ASSOCALPHA;
    if (channels % 2 == 0) TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, &alpha);
    const int side = tiles ? 16 : kW, rows = tiles ? 16 : 4, per = planes ? 1 : channels, bytes = bits / 8;
    if (tiles) {
        TIFFSetField(t, TIFFTAG_TILEWIDTH, 16), TIFFSetField(t, TIFFTAG_TILELENGTH, 16);
    } else {
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 4);
    }
    std::vector<uint8_t> block(size_t(side) * rows * per * bytes);
    for (int p = 0; p < (planes ? channels : 1); ++p)
        for (int y0 = 0; y0 < kH; y0 += rows)
            for (int x0 = 0; x0 < kW; x0 += side) {
                for (int i = 0; i < side * rows * per; ++i) {
                    const int x = x0 + i / per % side, y = y0 + i / per / side, c = planes ? p : i % per;
                    const uint16_t v = x < kW && y < kH ? sample(x, y, c) : 0;  // in the host's order
                    if (bytes == 2) std::memcpy(&block[size_t(i) * 2], &v, 2);
                    else block[i] = uint8_t(v >> 8);
                }
                const int rows_here = std::min(rows, kH - y0);
                if (tiles)
                    TIFFWriteTile(t, block.data(), x0, y0, 0, uint16_t(p));
                else
                    TIFFWriteEncodedStrip(t, TIFFComputeStrip(t, y0, uint16_t(p)), block.data(),
                                          tmsize_t(side) * rows_here * per * bytes);
            }
    TIFFClose(t);
}

// A JPEG through libjpeg: gray or colour (luma sampled 2 x 2 when colour), progressive or arithmetic-coded.
void write_jpeg(const std::string &name, int channels, bool progressive, bool arithmetic) {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr errors;
    cinfo.err = jpeg_std_error(&errors);
    jpeg_create_compress(&cinfo);
    FILE *file = std::fopen(name.c_str(), "wb");
    jpeg_stdio_dest(&cinfo, file);
    cinfo.image_width = kW, cinfo.image_height = kH, cinfo.input_components = channels;
    cinfo.in_color_space = channels == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 60, TRUE);
    if (progressive) jpeg_simple_progression(&cinfo);
    cinfo.arith_code = arithmetic;
    jpeg_start_compress(&cinfo, TRUE);
    const Image img = picture(channels, 8);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(&img.data[size_t(cinfo.next_scanline) * kW * channels]);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::fclose(file);
}

// The metadata the writers carry: a minimal RGB display profile, EXIF with an orientation, resolution, PNG's
// colour chunks, an XMP marker.
Metadata full_metadata() {
    Metadata m;
    const std::string icc = hostile::be32(132) + "none\x02\x10\0\0mntrRGB XYZ "s + std::string(12, '\0') + "acsp" +
                            std::string(24, '\0') + hostile::be32(0xF6D6) + hostile::be32(0x10000) +
                            hostile::be32(0xD32D) + std::string(52, '\0');
    const std::string exif = "MM\0\x2a\0\0\0\x08\0\x01\x01\x12\0\x03\0\0\0\x01\0\x06\0\0\0\0\0\0"s;
    const std::string xmp = "http://ns.adobe.com/xap/1.0/\0<x:xmpmeta/>"s;
    m.icc.assign(icc.begin(), icc.end());
    m.exif.assign(exif.begin(), exif.end());
    m.x_resolution = m.y_resolution = 300, m.resolution_unit = Metadata::Unit::inch;
    m.srgb_intent = 0, m.gamma = 45455;
    m.jpeg_markers = {{JPEG_APP0 + 1, {xmp.begin(), xmp.end()}}};
    return m;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) return std::fprintf(stderr, "usage: fuzz_io_seeds FOLDER\n"), 2;
    const std::string dir = std::string(argv[1]) + "/";
    std::filesystem::create_directories(dir);
    TIFFSetWarningHandler(nullptr);
    std::vector<std::pair<std::string, std::function<void(const std::string &)>>> seeds;
    auto add = [&](const std::string &name, std::function<void(const std::string &)> make) {
        seeds.emplace_back(name, make);
    };
    for (int channels = 1; channels <= 4; ++channels)
        for (int depth : {8, 16}) {
            Image img = picture(channels, depth);
            if (channels == 3) img.metadata = full_metadata();
            const std::string stem = "io-" + std::to_string(channels) + "x" + std::to_string(depth);
            add(stem + ".png", [img](const std::string &path) { image_io::save(path, img, {9, 95, 444, 1}); });
            add(stem + ".tif", [img](const std::string &path) { image_io::save(path, img); });
            if (depth == 8 && channels % 2)
                add(stem + ".jpg", [img](const std::string &path) { image_io::save(path, img); });
        }
    using std::placeholders::_1;
    add("png-gray1.png", std::bind(write_png, _1, 1, PNG_COLOR_TYPE_GRAY, false));
    add("png-gray4-adam7.png", std::bind(write_png, _1, 4, PNG_COLOR_TYPE_GRAY, true));
    add("png-palette2.png", std::bind(write_png, _1, 2, PNG_COLOR_TYPE_PALETTE, false));
    add("png-palette8-adam7.png", std::bind(write_png, _1, 8, PNG_COLOR_TYPE_PALETTE, true));
    add("png-rgba16-adam7.png", std::bind(write_png, _1, 16, PNG_COLOR_TYPE_RGBA, true));
    add("tiff-gray8-tiles.tif", std::bind(write_tiff, _1, "w", 1, 8, true, false, COMPRESSION_NONE));
    add("tiff-rgb8-planes-lzw.tif", std::bind(write_tiff, _1, "wb", 3, 8, false, true, COMPRESSION_LZW));
    add("tiff-rgba16-tiles-planes.tif", std::bind(write_tiff, _1, "w", 4, 16, true, true, COMPRESSION_ADOBE_DEFLATE));
    add("tiff-ga16-be-tiles-lzw.tif", std::bind(write_tiff, _1, "wb", 2, 16, true, false, COMPRESSION_LZW));
    add("tiff-rgb16-be-strips.tif", std::bind(write_tiff, _1, "wb", 3, 16, false, false, COMPRESSION_NONE));
    add("jpeg-gray-progressive.jpg", std::bind(write_jpeg, _1, 1, true, false));
    add("jpeg-rgb-progressive.jpg", std::bind(write_jpeg, _1, 3, true, false));
    add("jpeg-rgb-arithmetic.jpg", std::bind(write_jpeg, _1, 3, false, true));
    // What must be refused or left out: tiles far beyond the image, rows the file cannot hold, an EXIF chunk
    // declaring 368 MiB, a profile's parts misnumbered.
    const std::pair<const char *, std::string> hostile_files[] = {
        {"hostile-tile.tif", hostile::gray_tiff(16, 16, 8, 0x7FFFFFF0, 16)},
        {"hostile-tile-1x1.tif", hostile::gray_tiff(1, 1, 8, 1 << 26, 16)},
        {"hostile-rows.png", hostile::png(10000, 10000, 16, 6)},
        {"hostile-exif-length.png", hostile::png(1, 8, 8, 0).insert(33, hostile::be32(0x17010400) + "eXIfMM\0*"s)}};
    for (const auto &file : hostile_files)
        add(file.first, [file](const std::string &path) { std::ofstream(path, std::ios::binary) << file.second; });
    add("hostile-icc.jpg", [](const std::string &path) {
        Image img = picture(1, 8);
        const std::string part = "ICC_PROFILE\0\0\x01 no part 0"s;
        img.metadata.jpeg_markers = {{JPEG_APP0 + 2, {part.begin(), part.end()}}};
        image_io::save(path, img);
    });
    for (const auto &[name, make] : seeds) {
        make(dir + name);
        std::ifstream in(dir + name, std::ios::binary);
        const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (bytes.empty()) return std::fprintf(stderr, "%s not written\n", name.c_str()), 1;
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::printf("%zu seeds written to %s and run\n", seeds.size(), dir.c_str());
    return 0;
}
