// exif.cc: the TIFF structure of EXIF blocks, read with bounds checks and
// written little-endian.
#include "exif.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace image_io::detail {
namespace {

// Value bytes read from one IFD at most: far beyond what EXIF holds, small
// enough that a damaged count allocates nothing absurd and offsets stay 32-bit.
constexpr uint64_t kMaxIfdBytes = uint64_t(1) << 24;

// Fields that point at other IFDs (Exif, GPS, interoperability, sub-images).
bool is_pointer(uint16_t tag) { return tag == kExifIfdTag || tag == 0x8825 || tag == 0xA005 || tag == 0x014A; }

// The part of an element that the byte order reverses: a rational's halves each.
size_t unit_size(uint16_t type) { return type == kRational || type == kSRational ? 4 : exif_type_size(type); }

// An n-byte unsigned integer at p in the given byte order.
uint32_t get(const uint8_t *p, size_t n, bool big_endian) {
    uint32_t v = 0;
    for (size_t k = 0; k < n; ++k) v |= uint32_t(p[big_endian ? n - 1 - k : k]) << (8 * k);
    return v;
}

// Appends v as n little-endian bytes.
void put(std::vector<uint8_t> &out, uint64_t v, size_t n) {
    for (size_t k = 0; k < n; ++k) out.push_back(uint8_t(v >> (8 * k)));
}

// Appends an IFD (word-aligned) holding fields sorted by tag, the first of
// each tag only, and then the values too long for their entries; returns the
// IFD's offset.
size_t put_ifd(std::vector<uint8_t> &out, std::vector<ExifField> fields) {
    const auto before = [](const ExifField &a, const ExifField &b) { return a.tag < b.tag; };
    const auto same = [](const ExifField &a, const ExifField &b) { return a.tag == b.tag; };
    std::stable_sort(fields.begin(), fields.end(), before);
    fields.erase(std::unique(fields.begin(), fields.end(), same), fields.end());
    if (out.size() % 2 != 0) out.push_back(0);
    const size_t at = out.size(), data = at + 2 + 12 * fields.size() + 4;
    std::vector<uint8_t> values;
    put(out, fields.size(), 2);
    for (const ExifField &f : fields) {
        put(out, f.tag, 2), put(out, f.type, 2), put(out, f.count, 4);
        if (f.value.size() <= 4) {
            out.insert(out.end(), f.value.begin(), f.value.end());
            out.resize(out.size() + 4 - f.value.size());
        } else {
            put(out, data + values.size(), 4);
            values.insert(values.end(), f.value.begin(), f.value.end());
            if (values.size() % 2 != 0) values.push_back(0);
        }
    }
    put(out, 0, 4);  // no next IFD
    out.insert(out.end(), values.begin(), values.end());
    return at;
}

}  // namespace

size_t exif_type_size(uint16_t type) {
    static const uint8_t sizes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
    return type < sizeof sizes ? sizes[type] : 0;
}

bool ExifField::numeric() const { return exif_type_size(type) != 0 && type != kAscii && type != kUndefined; }

double ExifField::number(size_t i) const {
    const size_t size = exif_type_size(type);
    if (!numeric() || i >= count || value.size() < (i + 1) * size) return 0;
    const uint8_t *p = value.data() + i * size;
    const uint32_t low = get(p, std::min<size_t>(size, 4), false), high = size == 8 ? get(p + 4, 4, false) : 0;
    switch (type) {
        case kSByte: return int8_t(low);
        case kSShort: return int16_t(low);
        case kSLong: return int32_t(low);
        case kRational: return high != 0 ? double(low) / high : 0;
        case kSRational: return high != 0 ? double(int32_t(low)) / int32_t(high) : 0;
        case kFloat: {
            float f;
            std::memcpy(&f, &low, 4);
            return f;
        }
        case kDouble: {
            const uint64_t bits = uint64_t(high) << 32 | low;
            double d;
            std::memcpy(&d, &bits, 8);
            return d;
        }
        default: return low;  // BYTE, SHORT, LONG, IFD
    }
}

std::string ExifField::text() const {
    return std::string(value.begin(), std::find(value.begin(), value.end(), uint8_t(0)));
}

bool read_ifd(const ReadAt &read, bool big_endian, uint64_t at, std::vector<ExifField> &fields, uint64_t *exif_ifd,
              bool (*keep)(uint16_t tag)) {
    uint8_t head[2];
    if (!read(at, 2, head)) return false;
    std::vector<uint8_t> entries(12 * size_t(get(head, 2, big_endian)));
    if (!read(at + 2, entries.size(), entries.data())) return false;
    uint64_t total = 0;
    for (size_t k = 0; k < entries.size(); k += 12) {
        const uint8_t *e = &entries[k];
        ExifField f;
        f.tag = uint16_t(get(e, 2, big_endian));
        f.type = uint16_t(get(e + 2, 2, big_endian));
        f.count = get(e + 4, 4, big_endian);
        const size_t size = exif_type_size(f.type), unit = unit_size(f.type);
        if (f.tag == kExifIfdTag && exif_ifd != nullptr && (f.type == kLong || f.type == kIfd) && f.count == 1)
            *exif_ifd = get(e + 8, 4, big_endian);
        if (is_pointer(f.tag) || f.type == kIfd || size == 0 || f.count == 0 || (keep != nullptr && !keep(f.tag)))
            continue;
        const uint64_t bytes = uint64_t(f.count) * size;
        if (bytes > kMaxIfdBytes - total) continue;
        f.value.resize(bytes);
        if (bytes <= 4)
            std::memcpy(f.value.data(), e + 8, bytes);
        else if (!read(get(e + 8, 4, big_endian), bytes, f.value.data()))
            continue;
        total += bytes;
        if (big_endian)
            for (size_t u = 0; u < bytes; u += unit) std::reverse(&f.value[u], &f.value[u] + unit);
        fields.push_back(std::move(f));
    }
    return true;
}

bool parse_exif(const std::vector<uint8_t> &block, Exif &exif) {
    exif = Exif();
    if (block.size() < 8 || block[0] != block[1] || (block[0] != 'I' && block[0] != 'M')) return false;
    const bool big_endian = block[0] == 'M';
    if (get(&block[2], 2, big_endian) != 42) return false;
    const ReadAt read = [&block](uint64_t at, size_t n, uint8_t *to) {
        if (at > block.size() || n > block.size() - at) return false;
        if (n > 0) std::memcpy(to, block.data() + at, n);
        return true;
    };
    uint64_t exif_ifd = 0;
    if (!read_ifd(read, big_endian, get(&block[4], 4, big_endian), exif.main, &exif_ifd)) return false;
    if (exif_ifd != 0 && !read_ifd(read, big_endian, exif_ifd, exif.exif, nullptr)) exif.exif.clear();
    return true;
}

std::vector<uint8_t> build_exif(const Exif &exif) {
    if (exif.main.empty() && exif.exif.empty()) return {};
    std::vector<uint8_t> out = {'I', 'I', 42, 0, 8, 0, 0, 0};
    std::vector<ExifField> main = exif.main;
    if (!exif.exif.empty()) main.push_back({kExifIfdTag, kLong, 1, {0, 0, 0, 0}});  // its offset follows
    const size_t ifd0 = put_ifd(out, main);
    if (exif.exif.empty()) return out;
    const size_t exif_ifd = put_ifd(out, exif.exif);
    for (size_t entry = ifd0 + 2; entry + 12 <= out.size(); entry += 12) {
        if (get(&out[entry], 2, false) == kExifIfdTag) {
            for (size_t k = 0; k < 4; ++k) out[entry + 8 + k] = uint8_t(exif_ifd >> (8 * k));
            break;
        }
    }
    return out;
}

int exif_orientation(const std::vector<uint8_t> &block) {
    Exif exif;
    return parse_exif(block, exif) ? exif_orientation(exif) : 0;
}

int exif_orientation(const Exif &exif) {
    for (const ExifField &f : exif.main) {
        if (f.tag == kOrientationTag && f.numeric() && f.count >= 1) {
            const double v = f.number(0);
            return v >= 1 && v <= 8 && v == std::floor(v) ? int(v) : 0;
        }
    }
    return 0;
}

std::vector<uint8_t> exif_to_write(const Metadata &m) {
    if (!m.exif.empty() || m.orientation < 1 || m.orientation > 8) return m.exif;
    Exif exif;
    exif.main.push_back({kOrientationTag, kShort, 1, {uint8_t(m.orientation), 0}});
    return build_exif(exif);
}

bool is_descriptive_tag(uint16_t tag) {
    return tag == 0x010E || tag == 0x010F || tag == 0x0110 || tag == 0x0131 || tag == 0x0132 || tag == 0x013B ||
           tag == 0x8298;
}

}  // namespace image_io::detail
