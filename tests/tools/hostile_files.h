// Small files that declare far more than they hold, built byte by byte: what the readers must refuse before
// they allocate for the declared size. Shared by the tool's tests and the fuzz seeds.
#ifndef BILATERAL_TESTS_TOOLS_HOSTILE_FILES_H
#define BILATERAL_TESTS_TOOLS_HOSTILE_FILES_H

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace hostile {

using namespace std::string_literals;

inline std::string le(uint32_t v, int bytes) {
    std::string s;
    for (int k = 0; k < bytes; ++k) s += char(v >> (8 * k));
    return s;
}
inline std::string be32(uint32_t v) { return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; }

// A little-endian classic TIFF: IFD0 at 8 holding (tag, type, count, value) entries (SHORT or LONG values, one
// each), then `data`, whose offset is 8 + the IFD's size.
inline std::string tiff(std::vector<std::array<uint32_t, 4>> entries, const std::string &data) {
    std::sort(entries.begin(), entries.end());
    std::string ifd = le(uint32_t(entries.size()), 2);
    for (const auto &[tag, type, count, value] : entries)
        ifd += le(tag, 2) + le(type, 2) + le(count, 4) + le(value, type == 3 ? 2 : 4) + (type == 3 ? le(0, 2) : "");
    return "II*\0"s + le(8, 4) + ifd + le(0, 4) + data;
}

// A width x height gray TIFF of 8- or 16-bit samples in one strip, or in tw x th tiles when tw > 0: the first
// strip or tile holds 16 zero bytes, and that is all the file holds.
inline std::string gray_tiff(uint32_t width, uint32_t height, int bits, uint32_t tw = 0, uint32_t th = 0) {
    const uint32_t data = 8 + 2 + 12 * (tw ? 10 : 9) + 4;
    std::vector<std::array<uint32_t, 4>> e = {{256, 4, 1, width}, {257, 4, 1, height}, {258, 3, 1, uint32_t(bits)},
                                              {259, 3, 1, 1},     {262, 3, 1, 1},      {277, 3, 1, 1}};
    if (tw)
        e.insert(e.end(), {{322, 4, 1, tw}, {323, 4, 1, th}, {324, 4, 1, data}, {325, 4, 1, 16}});
    else
        e.insert(e.end(), {{273, 4, 1, data}, {278, 4, 1, height}, {279, 4, 1, 16}});
    return tiff(e, std::string(16, '\0'));
}

// A PNG chunk with its length and checksum.
inline std::string png_chunk(const std::string &type, const std::string &data) {
    const std::string body = type + data;
    return be32(uint32_t(data.size())) + body +
           be32(uint32_t(crc32(0, reinterpret_cast<const Bytef *>(body.data()), uInt(body.size()))));
}

// A PNG declaring width x height pixels of the colour type and depth whose pixel data is one zero row.
inline std::string png(uint32_t width, uint32_t height, int depth, int color_type) {
    const std::string header = be32(width) + be32(height) + char(depth) + char(color_type) + std::string(3, '\0');
    const std::string zeros =
        "\x78\x01\x01\x08\0\xf7\xff"s + std::string(8, '\0') + be32(0x00080001);  // 8 stored bytes
    return "\x89PNG\r\n\x1a\n"s + png_chunk("IHDR", header) + png_chunk("IDAT", zeros) + png_chunk("IEND", "");
}

// jpeg with its frame header's height and width replaced.
inline std::string jpeg_sized(std::string jpeg, uint16_t width, uint16_t height) {
    for (size_t at = 2; at + 9 <= jpeg.size() && uint8_t(jpeg[at]) == 0xFF;) {
        const int marker = uint8_t(jpeg[at + 1]);
        if (marker >= 0xC0 && marker <= 0xC2) {
            jpeg.replace(at + 5, 4, {char(height >> 8), char(height), char(width >> 8), char(width)});
            break;
        }
        at += 2 + (size_t(uint8_t(jpeg[at + 2])) << 8 | uint8_t(jpeg[at + 3]));
    }
    return jpeg;
}

}  // namespace hostile

#endif  // BILATERAL_TESTS_TOOLS_HOSTILE_FILES_H
