// exif.h: EXIF as JPEG's APP1 and PNG's eXIf hold it: a TIFF structure (a
// header, IFD0 and the Exif IFD it points to) taken apart into fields and put
// together again. Every offset and count is checked against what there is to
// read, so a damaged block or file gives the fields that could be read and
// never a read beyond it.
#ifndef BILATERAL_TOOLS_EXIF_H
#define BILATERAL_TOOLS_EXIF_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "image_io.h"

namespace image_io::detail {

// TIFF field types.
enum ExifType : uint16_t {
    kByte = 1, kAscii = 2, kShort = 3, kLong = 4, kRational = 5, kSByte = 6, kUndefined = 7,
    kSShort = 8, kSLong = 9, kSRational = 10, kFloat = 11, kDouble = 12, kIfd = 13
};

constexpr uint16_t kOrientationTag = 0x0112;
constexpr uint16_t kExifIfdTag = 0x8769;

// One field: its tag, type, count, and the count elements' bytes, each
// element little-endian (a rational's numerator and denominator each).
struct ExifField {
    uint16_t tag = 0;
    uint16_t type = 0;
    uint32_t count = 0;
    std::vector<uint8_t> value;

    bool numeric() const;         // integer, rational or floating-point elements
    double number(size_t i) const;  // element i of a numeric field, a rational as its quotient
    std::string text() const;       // the bytes up to the first NUL
};

// The fields of IFD0 and of the Exif IFD, without the pointers between IFDs
// (their offsets mean nothing once the fields move).
struct Exif {
    std::vector<ExifField> main, exif;
};

// Bytes of one element of a field type; 0 for a type no EXIF field has.
size_t exif_type_size(uint16_t type);

// Reads n bytes at offset `at` into `to`; false if they are not all there.
using ReadAt = std::function<bool(uint64_t at, size_t n, uint8_t *to)>;

// Reads the classic TIFF IFD at `at` into fields (those keep(tag) accepts, all
// for a null keep), in the given byte order, and the Exif IFD's offset into
// *exif_ifd if asked for and present. Fields whose value cannot be read are
// left out; false if the IFD itself cannot be read.
bool read_ifd(const ReadAt &read, bool big_endian, uint64_t at, std::vector<ExifField> &fields, uint64_t *exif_ifd,
              bool (*keep)(uint16_t tag) = nullptr);

// Reads an EXIF block from its TIFF header on; false if the header or IFD0
// cannot be read (a damaged Exif IFD is left out).
bool parse_exif(const std::vector<uint8_t> &block, Exif &exif);

// A little-endian EXIF block holding exif's fields, each IFD sorted by tag;
// empty if there are none.
std::vector<uint8_t> build_exif(const Exif &exif);

// The orientation (1..8) of IFD0 in an EXIF block; 0 if there is none or it
// cannot be read.
int exif_orientation(const std::vector<uint8_t> &block);
int exif_orientation(const Exif &exif);

// The EXIF block an output carries: m.exif, or, without one, a block holding
// just m.orientation so that viewers still turn the image.
std::vector<uint8_t> exif_to_write(const Metadata &m);

// IFD0 tags that describe the picture (its description, camera, software,
// date, artist and copyright) and move between EXIF and a TIFF's own IFD0.
bool is_descriptive_tag(uint16_t tag);

}  // namespace image_io::detail

#endif  // BILATERAL_TOOLS_EXIF_H
