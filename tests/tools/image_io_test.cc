// Catches metadata (ICC, EXIF, resolution, PNG colour chunks, JPEG APP markers) lost or garbled between an input
// and the tool's output, save options that do not reach the encoders, and PNG or JPEG bands that do not join up.
#include <gtest/gtest.h>
#include <jpeglib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "image_io.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using image_io::Image;
using image_io::Metadata;

const fs::path kDir = fs::temp_directory_path() / ("bilateral-io-" + std::to_string(::getpid()));

std::string read(const fs::path &name) {
    std::ifstream file(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

std::string be32(uint32_t v) { return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; }
std::string be16(uint16_t v) { return {char(v >> 8), char(v)}; }

// A big-endian IFD entry whose value (up to four bytes, or an offset) is left-justified.
std::string entry(uint16_t tag, uint16_t type, uint32_t count, const std::string &value) {
    return be16(tag) + be16(type) + be32(count) + value + std::string(4 - value.size(), '\0');
}

// A display profile of `size` bytes, RGB against XYZ under D50, one tag over the rest, which is varied enough
// that the profile compresses to over 100 bytes (libpng drops shorter iCCP chunks).
std::vector<uint8_t> icc_profile(uint32_t size) {
    std::string p = be32(size) + "none"s + "\x02\x10\0\0"s + "mntrRGB XYZ "s + std::string(12, '\0') + "acsp";
    p += std::string(28, '\0') + be32(0xF6D6) + be32(0x10000) + be32(0xD32D) + std::string(48, '\0');
    p += be32(1) + "wtpt"s + be32(144) + be32(size - 144) + "XYZ ";
    for (uint32_t k = 148; k < size; ++k) p += char(k * k % 251);
    return std::vector<uint8_t>(p.begin(), p.end());
}

// Big-endian EXIF block with one entry: orientation 6 (rotate 90 degrees to view).
const std::string kExif = "MM\0\x2a\0\0\0\x08\0\x01\x01\x12\0\x03\0\0\0\x01\0\x06\0\0\0\0\0\0"s;
// Big-endian EXIF block: IFD0 holds the camera's maker, orientation 6 and the Exif IFD (at 56), which holds an
// exposure time of 1/2 and the date taken.
const std::string kCameraExif = "MM\0\x2a"s + be32(8) + be16(3) + entry(0x010F, 2, 6, be32(50)) +
                                entry(0x0112, 3, 1, be16(6)) + entry(0x8769, 4, 1, be32(56)) + be32(0) + "Maker\0"s +
                                be16(2) + entry(0x829A, 5, 1, be32(86)) + entry(0x9003, 2, 20, be32(94)) + be32(0) +
                                be32(1) + be32(2) + "2024:05:06 07:08:09\0"s;
// Orientation 6 as this host's libtiff writes the tag, and as a block of its own in an output without EXIF.
const std::string kOrientationTag = "\x12\x01\x03\0\x01\0\0\0\x06\0\0\0"s;
const std::string kOrientationExif = "II*\0\x08\0\0\0\x01\0"s + kOrientationTag + "\0\0\0\0"s;
const std::string kXmp = "http://ns.adobe.com/xap/1.0/\0<x:xmpmeta/>"s;
const std::string kAdobe = "Adobe\0\x64\0\0\0\0\x01"s;  // the encoder's own colour transform: never copied

void set_icc(Metadata &m) { m.icc = icc_profile(600); }
void set_exif(Metadata &m) { m.exif.assign(kExif.begin(), kExif.end()); }
void set_camera_exif(Metadata &m) { m.exif.assign(kCameraExif.begin(), kCameraExif.end()); }
void set_orientation(Metadata &m) { m.orientation = 6; }
void set_300_dpi(Metadata &m) { m.x_resolution = m.y_resolution = 300, m.resolution_unit = Metadata::Unit::inch; }
void set_2835_ppm(Metadata &m) { m.x_resolution = m.y_resolution = 28.35, m.resolution_unit = Metadata::Unit::centimetre; }

struct Case {
    const char *in, *out;
    void (*set)(Metadata &);
    std::vector<std::string> present;
    std::string absent{};
};

// Each input is written with its metadata, filtered by the tool, and the output's bytes searched for the item
// as the output format spells it (TIFF little-endian, as written on this host).
TEST(ImageIo, ToolCarriesMetadataIntoEachFormat) {
    const std::string exif_app1 = "Exif\0\0"s + kExif, icc_app2 = "ICC_PROFILE\0\x01\x01"s;
    const std::vector<uint8_t> profile = icc_profile(600);
    const std::string icc(profile.begin(), profile.end());
    const std::string phys_2835 = "pHYs"s + be32(2835) + be32(2835) + "\x01"s;
    const Case cases[] = {
        {".jpg", ".jpg",
         [](Metadata &m) {
             set_exif(m);
             m.jpeg_markers = {{JPEG_APP0 + 1, {kXmp.begin(), kXmp.end()}}, {JPEG_APP0 + 14, {kAdobe.begin(), kAdobe.end()}}};
         },
         {exif_app1, kXmp}, "Adobe"},
        {".png", ".jpg", set_exif, {exif_app1}},
        {".jpg", ".png", set_exif, {"eXIf"s + kExif}},
        {".jpg", ".jpg", set_icc, {icc_app2 + icc}},
        {".jpg", ".jpg", [](Metadata &m) { m.icc = icc_profile(70000); }, {"ICC_PROFILE\0\x01\x02"s, "ICC_PROFILE\0\x02\x02"s}},
        {".tif", ".jpg", set_icc, {icc_app2 + icc}},
        {".png", ".tif", set_icc, {icc}},
        {".jpg", ".png", set_icc, {"iCCP" "ICC profile\0\0"s}},
        {".png", ".png", set_2835_ppm, {phys_2835}},
        {".jpg", ".png", set_300_dpi, {"pHYs"s + be32(11811) + be32(11811) + "\x01"s}},
        {".png", ".jpg", set_2835_ppm, {"JFIF\0\x01\x01\x01\0\x48\0\x48"s}},  // 72 dpi
        {".tif", ".jpg", set_300_dpi, {"JFIF\0\x01\x01\x01\x01\x2c\x01\x2c"s}},
        {".jpg", ".tif", set_300_dpi, {"\x2c\x01\0\0\x01\0\0\0"s, "\x28\x01\x03\0\x01\0\0\0\x02\0"s}},
        {".png", ".png",
         [](Metadata &m) { m.srgb_intent = 1, m.gamma = 45455, m.chromaticities = {31270, 32900, 64000, 33000, 30000, 60000, 15000, 6000}; },
         {"sRGB\x01"s, "gAMA"s + be32(45455), "cHRM"s + be32(31270) + be32(32900) + be32(64000)}},
        {".jpg", ".tif", set_exif, {kOrientationTag}},
        {".tif", ".jpg", set_orientation, {"Exif\0\0"s + kOrientationExif}},
        {".tif", ".png", set_orientation, {"eXIf"s + kOrientationExif}},
        {".tif", ".tif", set_orientation, {kOrientationTag}},
        {".tif", ".jpg", set_camera_exif,  // the Exif IFD written into the TIFF and read out of it, little-endian
         {"Exif\0\0II*\0"s, "Maker\0"s, kOrientationTag, "\x01\0\0\0\x02\0\0\0"s, "2024:05:06 07:08:09\0"s}},
    };
    fs::create_directories(kDir);
    Image img{24, 16, 3, std::vector<uint8_t>(24 * 16 * 3), {}};
    for (size_t k = 0; k < img.data.size(); ++k) img.data[k] = uint8_t(k * 7 % 251);
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.in) + " -> " + c.out + ", expecting " + std::to_string(c.present.size()) + " items");
        img.metadata = Metadata();
        c.set(img.metadata);
        const fs::path in = kDir / ("in"s + c.in), out = kDir / ("out"s + c.out);
        ASSERT_EQ(image_io::save(in.string(), img), "");
        const std::string command = BILATERAL_TOOL " -q "s + in.string() + " " + out.string();
        ASSERT_EQ(std::system(command.c_str()), 0);
        const std::string bytes = read(out);
        for (const std::string &item : c.present) EXPECT_NE(bytes.find(item), std::string::npos) << item.substr(0, 12);
        if (!c.absent.empty()) {
            EXPECT_EQ(bytes.find(c.absent), std::string::npos);
        }
        Image back, input;
        ASSERT_EQ(image_io::load(out.string(), back) + image_io::load(in.string(), input), "");
        EXPECT_EQ(back.metadata.icc, img.metadata.icc);
        EXPECT_EQ(back.metadata.orientation, input.metadata.orientation);
    }
    fs::remove_all(kDir);
}

// JPEG quality and subsampling as the file's first quantiser entry and the luma sampling factors.
TEST(ImageIo, SaveOptionsReachTheJpegEncoder) {
    struct Row {
        image_io::SaveOptions options;
        size_t marker_offset;  // from the marker: DQT's first entry, or SOF's first component's factors
        std::string marker;
        int expected;
    };
    const Row rows[] = {{{1, 95, 444, 0}, 5, "\xff\xdb", 2},    {{1, 50, 444, 0}, 5, "\xff\xdb", 16},
                        {{1, 95, 444, 0}, 11, "\xff\xc0", 0x11}, {{1, 95, 422, 0}, 11, "\xff\xc0", 0x21},
                        {{1, 95, 420, 0}, 11, "\xff\xc0", 0x22}};
    fs::create_directories(kDir);
    const Image img{32, 32, 3, std::vector<uint8_t>(32 * 32 * 3, 90), {}};
    const std::string name = (kDir / "q.jpg").string();
    for (const Row &r : rows) {
        ASSERT_EQ(image_io::save(name, img, r.options), "");
        const std::string bytes = read(name);
        const size_t at = bytes.find(r.marker);
        ASSERT_NE(at, std::string::npos);
        EXPECT_EQ(uint8_t(bytes.at(at + r.marker_offset)), r.expected) << r.options.jpeg_quality << " " << r.options.jpeg_subsampling;
    }
    EXPECT_NE(image_io::save(name, img, {1, 95, 411, 0}), "");
    fs::remove_all(kDir);
}

// PNG levels 0 (stored), 1 (banded, several bands on two threads) and 9 (libpng's own path) give the same
// samples back, 16-bit RGBA and 8-bit gray one pixel wide; sizes must follow the level.
TEST(ImageIo, PngLevelsRoundTripAcrossBands) {
    Image wide{700, 800, 4, {}, std::vector<uint16_t>(700 * 800 * 4)};  // 4.5 MB of rows: five bands
    for (size_t k = 0; k < wide.data16.size(); ++k) wide.data16[k] = uint16_t(k % 2800 * 23 + (k * 2654435761u >> 28));
    Image thin{1, 3000, 1, std::vector<uint8_t>(3000), {}};
    for (size_t k = 0; k < thin.data.size(); ++k) thin.data[k] = uint8_t(k / 40);
    fs::create_directories(kDir);
    const std::string name = (kDir / "p.png").string();
    for (const Image *img : {&wide, &thin}) {
        uintmax_t sizes[3];
        const int levels[3] = {0, 1, 9};
        for (int k = 0; k < 3; ++k) {
            Image back;
            ASSERT_EQ(image_io::save(name, *img, {levels[k], 95, 444, 2}), "");
            ASSERT_EQ(image_io::load(name, back), "");
            EXPECT_TRUE(back.data == img->data && back.data16 == img->data16) << "level " << levels[k];
            sizes[k] = fs::file_size(name);
        }
        EXPECT_GT(sizes[0], img->data.size() + img->data16.size() * 2);
        EXPECT_LT(sizes[1], sizes[0]);
        EXPECT_LE(sizes[2], sizes[1]);
    }
    fs::remove_all(kDir);
}

// Orientation read from EXIF in either byte order; a damaged block, or a TIFF's Exif IFD offset pointing
// anywhere, never stops an image from being written or read, and a readable orientation stays.
TEST(ImageIo, DamagedExifKeepsTheImageAndWhatCanBeRead) {
    const std::pair<std::string, int> rows[] = {
        {kExif, 6},
        {kOrientationExif, 6},
        {kCameraExif, 6},
        {kExif.substr(0, 20), 0},                                       // the entry cut short
        {"MM\0\x2a"s + be32(4000) + kExif.substr(8), 0},                // IFD0 beyond the block
        {"MM\0\x2a"s + be32(8) + be16(0xFFFF) + kExif.substr(10), 0},   // more entries than the block holds
        {"MM\0\x2a"s + be32(8) + be16(1) + entry(0x0112, 3, 1, be16(9)) + be32(0), 0},  // no such orientation
        {"MM\0\x2b"s + kExif.substr(4), 0},                             // not TIFF-structured
    };
    fs::create_directories(kDir);
    const std::string jpg = (kDir / "e.jpg").string(), tif = (kDir / "e.tif").string();
    Image img{8, 8, 1, std::vector<uint8_t>(64, 50), {}}, back;
    for (const auto &[block, orientation] : rows) {
        SCOPED_TRACE(block.size());
        img.metadata.exif.assign(block.begin(), block.end());
        ASSERT_EQ(image_io::save(jpg, img), "");
        ASSERT_EQ(image_io::load(jpg, back), "");
        EXPECT_EQ(back.metadata.orientation, orientation);
        ASSERT_EQ(image_io::save(tif, back), "");
        ASSERT_EQ(image_io::load(tif, back), "");
        EXPECT_EQ(back.metadata.orientation, orientation);
    }
    for (size_t n = 0; n < kCameraExif.size(); ++n) {  // every truncation of a block with an Exif IFD
        img.metadata.exif.assign(kCameraExif.begin(), kCameraExif.begin() + n);
        ASSERT_EQ(image_io::save(tif, img) + image_io::load(tif, back), "") << n;
    }
    set_camera_exif(img.metadata);
    ASSERT_EQ(image_io::save(tif, img), "");
    std::string bytes = read(tif);
    const size_t pointer = bytes.find("\x69\x87\x0d\0\x01\0\0\0"s);  // the Exif IFD's entry in IFD0
    ASSERT_NE(pointer, std::string::npos);
    for (uint32_t offset : {uint32_t(bytes.size() + 100), 0xFFFFFFF0u, 9u}) {
        for (int k = 0; k < 4; ++k) bytes[pointer + 8 + k] = char(offset >> (8 * k));
        std::ofstream(tif, std::ios::binary) << bytes;
        ASSERT_EQ(image_io::load(tif, back), "") << offset;
        EXPECT_TRUE(back.data == img.data && back.metadata.orientation == 6) << offset;
    }
    fs::remove_all(kDir);
}

// JPEG bands joined into one stream: the same bytes on 1 and 3 threads, read back without a warning (a
// misnumbered restart marker draws one), every band in its place (a ramp, so a misplaced band is far off).
TEST(ImageIo, JpegBandsJoinIntoOneStream) {
    Image ramp{1000, 1210, 3, std::vector<uint8_t>(1000 * 1210 * 3), {}};  // four bands at 4:2:0
    for (size_t k = 0; k < ramp.data.size(); ++k) ramp.data[k] = uint8_t(k / 3000 * 200 / 1209 + k % 3 * 20);
    fs::create_directories(kDir);
    const std::string one = (kDir / "1.jpg").string(), three = (kDir / "3.jpg").string();
    ASSERT_EQ(image_io::save(one, ramp, {1, 95, 420, 1}), "");
    ASSERT_EQ(image_io::save(three, ramp, {1, 95, 420, 3}), "");
    EXPECT_EQ(read(one), read(three));
    Image back;
    ASSERT_EQ(image_io::load(three, back), "");
    ASSERT_EQ(back.height, ramp.height);
    int worst = 0;
    for (size_t k = 0; k < ramp.data.size(); ++k) worst = std::max(worst, std::abs(back.data[k] - ramp.data[k]));
    EXPECT_LE(worst, 12);
    fs::remove_all(kDir);
}

// What a save writes loads again, with a warning for each item it left out: a profile as large as 255 JPEG
// markers hold is kept in every format and one byte more in none (its marker count would wrap to 0); EXIF beyond
// one JPEG marker keeps only its orientation there; an APP marker beyond 65533 bytes is left out; an orientation
// outside 1..8 is not written.
TEST(ImageIo, EveryFormatReadsBackWhatItWritesAndWarnsOfWhatItLeftOut) {
    static const std::vector<uint8_t> largest = icc_profile(uint32_t(image_io::kMaxIccBytes)),
                                      too_large = icc_profile(uint32_t(image_io::kMaxIccBytes + 1));
    const std::string big_exif = kExif + std::string(70000, '\0');  // orientation 6, then padding
    struct Row {
        std::function<void(Metadata &)> set;
        bool icc_kept;
        int orientation;
        std::string jpeg_warning, other_warning;
    };
    const Row rows[] = {
        {[](Metadata &m) { m.icc = largest; }, true, 0, "", ""},
        {[](Metadata &m) { m.icc = too_large; }, false, 0, "ICC profile of 16707346 bytes left out",
         "ICC profile of 16707346 bytes left out"},
        {[&](Metadata &m) { m.exif.assign(big_exif.begin(), big_exif.end()); }, false, 6,
         "EXIF block of 70026 bytes left out", ""},
        {[](Metadata &m) { m.jpeg_markers = {{JPEG_APP0 + 1, std::vector<uint8_t>(70000, 'x')}}; }, false, 0,
         "APP1 marker of 70000 bytes left out", ""},
        {[](Metadata &m) { m.orientation = 255; }, false, 0, "", ""},
    };
    fs::create_directories(kDir);
    Image img{24, 16, 3, std::vector<uint8_t>(24 * 16 * 3, 99), {}};
    for (const Row &row : rows) {
        for (const char *ext : {".jpg", ".png", ".tif"}) {
            SCOPED_TRACE(ext + (" " + row.jpeg_warning));
            img.metadata = Metadata();
            row.set(img.metadata);
            std::vector<std::string> warnings;
            image_io::SaveOptions options;
            options.warnings = &warnings;
            const std::string name = (kDir / ("m"s + ext)).string();
            ASSERT_EQ(image_io::save(name, img, options), "");
            const std::string &warning = ext == ".jpg"s ? row.jpeg_warning : row.other_warning;
            EXPECT_EQ(warnings.size(), warning.empty() ? 0u : 1u);
            if (!warning.empty()) {
                EXPECT_NE(warnings.at(0).find(warning), std::string::npos) << warnings.at(0);
            }
            Image back;
            ASSERT_EQ(image_io::load(name, back), "");
            EXPECT_EQ(back.metadata.icc, row.icc_kept ? img.metadata.icc : std::vector<uint8_t>());
            EXPECT_EQ(back.metadata.orientation, row.orientation);
        }
    }
    fs::remove_all(kDir);
}

// ICC markers that do not make a whole profile (a part numbered 0 or repeated, counts that differ or are 0,
// a part missing, a header cut short) cost the profile, with a warning, not the picture; parts out of order join.
TEST(ImageIo, DamagedIccMarkersCostTheProfileNotThePicture) {
    auto part = [](int number, int count, const std::string &bytes, size_t keep = std::string::npos) {
        const std::string data = ("ICC_PROFILE\0"s + char(number) + char(count) + bytes).substr(0, keep);
        return Metadata::Marker{JPEG_APP0 + 2, {data.begin(), data.end()}};
    };
    const std::vector<Metadata::Marker> rows[] = {
        {part(2, 2, "cd"), part(1, 2, "ab")}, {part(0, 1, "ab")},
        {part(1, 2, "ab"), part(1, 2, "cd")}, {part(1, 2, "ab"), part(2, 3, "cd")},
        {part(1, 2, "ab")},                   {part(1, 0, "ab")},
        {part(1, 1, "", 13)},
    };
    fs::create_directories(kDir);
    const std::string name = (kDir / "icc.jpg").string();
    Image img{8, 8, 1, std::vector<uint8_t>(64, 50), {}}, back;
    for (const auto &markers : rows) {
        img.metadata.jpeg_markers = markers;
        ASSERT_EQ(image_io::save(name, img), "");
        std::vector<std::string> warnings;
        ASSERT_EQ(image_io::load(name, back, {image_io::kDefaultMaxPixels, &warnings}), "") << markers.size();
        const bool whole = &markers == &rows[0];
        EXPECT_EQ(std::string(back.metadata.icc.begin(), back.metadata.icc.end()), whole ? "abcd" : "");
        EXPECT_EQ(warnings.size(), whole ? 0u : 1u);
        EXPECT_TRUE(back.data == img.data);
    }
    fs::remove_all(kDir);
}

// A save over a file keeps its mode (and owner, when the test may give files away); through a symbolic link,
// relative, chained or dangling, it writes the link's target and the link stays; a link loop or a target that
// is not a regular file is refused and left alone.
TEST(ImageIo, ReplacingAFileKeepsItsModeOwnerAndLinks) {
    fs::create_directories(kDir / "sub");
    const fs::path target = kDir / "sub" / "t.png";
    Image img{8, 8, 1, std::vector<uint8_t>(64, 1), {}}, back;
    ASSERT_EQ(image_io::save(target.string(), img), "");
    ASSERT_EQ(chmod(target.c_str(), 0600), 0);
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown(target.c_str(), 65534, 65534), 0);
    }
    fs::create_symlink("sub/t.png", kDir / "a.png");
    fs::create_symlink(kDir / "a.png", kDir / "b.png");
    fs::create_symlink("sub/new.png", kDir / "c.png");
    for (const char *name : {"sub/t.png", "a.png", "b.png", "c.png"}) {
        SCOPED_TRACE(name);
        img.data.assign(64, uint8_t(img.data[0] + 1));
        ASSERT_EQ(image_io::save((kDir / name).string(), img), "");
        const fs::path written = name == "c.png"s ? kDir / "sub" / "new.png" : target;
        ASSERT_EQ(image_io::load(written.string(), back), "");
        EXPECT_TRUE(back.data == img.data);
        EXPECT_TRUE(name == "sub/t.png"s || fs::is_symlink(kDir / name));
        struct stat info;
        ASSERT_EQ(stat(target.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0600u);
        if (root) {
            EXPECT_TRUE(info.st_uid == 65534 && info.st_gid == 65534);
        }
    }
    fs::create_symlink("l2.png", kDir / "l1.png");
    fs::create_symlink("l1.png", kDir / "l2.png");
    ASSERT_EQ(mkfifo((kDir / "fifo.png").c_str(), 0600), 0);
    EXPECT_NE(image_io::save((kDir / "l1.png").string(), img).find("symbolic links"), std::string::npos);
    EXPECT_NE(image_io::save((kDir / "fifo.png").string(), img).find("not a regular file"), std::string::npos);
    EXPECT_TRUE(fs::is_symlink(kDir / "l1.png") && fs::is_fifo(kDir / "fifo.png"));
    EXPECT_EQ(std::distance(fs::directory_iterator(kDir / "sub"), {}), 2);  // no temporary left
    fs::remove_all(kDir);
}

}  // namespace
