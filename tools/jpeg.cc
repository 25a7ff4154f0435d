// jpeg.cc: JPEG through libjpeg, whose errors unwind through setjmp back to
// the call so a bad file becomes a message. Images are encoded as bands of
// rows on several threads and joined into one stream.
#include <cstdio>  // jpeglib.h uses FILE and size_t without including their header
#include <jpeglib.h>

#include <climits>
#include <csetjmp>
#include <cstdlib>
#include <vector>

#include "bands.h"
#include "codecs.h"
#include "exif.h"

namespace image_io::detail {
namespace {
// libjpeg error manager with a jump back to the caller and the last message.
struct JpegError {
    jpeg_error_mgr manager;
    jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
    std::string refusal;  // a refusal of the reader's own, set before it jumps
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

// The ICC profile split over APP2 markers: parts numbered 1..n, each once and
// each giving the same n, joined in order into icc. False (icc untouched)
// when the markers do not make a whole profile.
bool read_icc_markers(jpeg_saved_marker_ptr list, std::vector<uint8_t> &icc) {
    const size_t head = sizeof kIcc + 2;  // then the part's number and the count of parts
    std::vector<jpeg_saved_marker_ptr> parts;
    for (jpeg_saved_marker_ptr m = list; m; m = m->next) {
        if (m->marker != JPEG_APP0 + 2 || !starts_with(m, kIcc, sizeof kIcc)) continue;
        if (m->data_length < head) return false;
        const size_t number = m->data[head - 2], count = m->data[head - 1];
        if (parts.empty()) parts.assign(count, nullptr);
        if (number == 0 || count != parts.size() || number > count || parts[number - 1] != nullptr) return false;
        parts[number - 1] = m;
    }
    if (std::find(parts.begin(), parts.end(), nullptr) != parts.end()) return false;
    for (jpeg_saved_marker_ptr m : parts) icc.insert(icc.end(), m->data + head, m->data + m->data_length);
    return true;
}

// Copies the density, EXIF, ICC profile and other APP markers read with the
// header into m; a damaged profile is left out with a warning.
void read_jpeg_metadata(jpeg_decompress_struct &cinfo, Metadata &m, std::vector<std::string> *warnings) {
    if (cinfo.saw_JFIF_marker && cinfo.X_density > 0 && cinfo.Y_density > 0 &&
        (cinfo.density_unit != 0 || cinfo.X_density != cinfo.Y_density)) {  // 1:1 without a unit says nothing
        m.x_resolution = cinfo.X_density;
        m.y_resolution = cinfo.Y_density;
        m.resolution_unit = cinfo.density_unit == 1   ? Metadata::Unit::inch
                            : cinfo.density_unit == 2 ? Metadata::Unit::centimetre
                                                      : Metadata::Unit::none;
    }
    if (!read_icc_markers(cinfo.marker_list, m.icc))
        add_warning(warnings, "damaged ICC profile (its APP2 parts are missing, repeated or misnumbered) left out");
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

// Progressive files may hold any number of scans, each a pass over the whole
// image; more than any encoder writes is refused.
constexpr int kMaxScans = 500;

// The decoder's progress monitor: stops at the scan beyond kMaxScans.
void check_scans(j_common_ptr cinfo) {
    auto *d = reinterpret_cast<j_decompress_ptr>(cinfo);
    if (d->input_scan_number <= kMaxScans) return;
    auto *error = reinterpret_cast<JpegError *>(cinfo->err);
    error->refusal = "corrupt JPEG: more than " + std::to_string(kMaxScans) + " scans";
    longjmp(error->jump, 1);
}

}  // namespace

// Decodes an open JPEG file into image (gray stays gray, colour becomes RGB).
// The shape is checked before libjpeg sizes its buffers, which may take no
// more than decoder_memory (beyond it libjpeg would need a backing store,
// which it reports as an error).
std::string load_jpeg(FILE *file, Image &image, const LoadOptions &options) {
    jpeg_decompress_struct cinfo;
    JpegError error;
    jpeg_progress_mgr progress{};
    install_jpeg_errors(reinterpret_cast<jpeg_common_struct *>(&cinfo), error);
    if (setjmp(error.jump)) {
        jpeg_destroy_decompress(&cinfo);
        if (!error.refusal.empty()) return error.refusal;
        if (std::strstr(error.message, "Backing store") != nullptr) return kNoMemory;
        return std::string("corrupt or truncated JPEG: ") + error.message;
    }
    jpeg_create_decompress(&cinfo);
    cinfo.mem->max_memory_to_use = long(std::min(decoder_memory(options), double(LONG_MAX)));
    progress.progress_monitor = check_scans;
    cinfo.progress = &progress;
    jpeg_stdio_src(&cinfo, file);
    for (int n = 1; n <= 15; ++n) jpeg_save_markers(&cinfo, JPEG_APP0 + n, 0xFFFF);
    jpeg_read_header(&cinfo, TRUE);
    if (cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK) {
        jpeg_destroy_decompress(&cinfo);
        return "unsupported JPEG colour space: CMYK";
    }
    cinfo.out_color_space = cinfo.num_components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_calc_output_dimensions(&cinfo);
    image.width = int(std::min<JDIMENSION>(cinfo.output_width, INT_MAX));
    image.height = int(std::min<JDIMENSION>(cinfo.output_height, INT_MAX));
    image.channels = cinfo.output_components;
    error.refusal = check_size(cinfo.output_width, cinfo.output_height, cinfo.output_components, 1, options);
    if (error.refusal.empty() && !allocate_samples(image, 8)) error.refusal = kNoMemory;
    if (!error.refusal.empty()) longjmp(error.jump, 1);
    jpeg_start_decompress(&cinfo);
    const size_t row_bytes = size_t(image.width) * image.channels;
    while (cinfo.output_scanline < cinfo.output_height) {  // as many rows a call as the decoder gives
        JSAMPROW rows[16];
        const JDIMENSION n = std::min<JDIMENSION>(16, cinfo.output_height - cinfo.output_scanline);
        for (JDIMENSION r = 0; r < n; ++r) rows[r] = image.data.data() + (cinfo.output_scanline + r) * row_bytes;
        jpeg_read_scanlines(&cinfo, rows, n);
    }
    if (!guarded([&] { read_jpeg_metadata(cinfo, image.metadata, options.warnings); })) {
        error.refusal = kNoMemory;
        longjmp(error.jump, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return "";
}

namespace {

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

// The payload of the EXIF marker for m (empty for none).
std::vector<JOCTET> exif_marker(const Metadata &m) {
    const std::vector<uint8_t> block = exif_to_write(m);
    if (block.empty()) return {};
    std::vector<JOCTET> payload(kExif, kExif + sizeof kExif);
    payload.insert(payload.end(), block.begin(), block.end());
    return payload;
}

// The largest marker payload: the length field counts its own two bytes.
constexpr size_t kMaxMarker = 65533;

// The EXIF marker's payload for m: its block, or when that does not fit in
// one marker, a block holding just its orientation (with a warning).
std::vector<JOCTET> exif_to_fit(const Metadata &m, std::vector<std::string> *warnings) {
    const std::vector<JOCTET> exif = exif_marker(m);
    if (exif.size() <= kMaxMarker) return exif;
    Metadata orientation;
    orientation.orientation = m.orientation != 0 ? m.orientation : exif_orientation(m.exif);
    add_warning(warnings, "EXIF block of " + std::to_string(exif.size() - sizeof kExif) +
                              " bytes left out (a JPEG marker holds " + std::to_string(kMaxMarker - sizeof kExif) +
                              ")" + (exif_to_write(orientation).empty() ? "" : ", all but its orientation"));
    return exif_marker(orientation);
}

// Warns about each item of m that write_jpeg_markers leaves out because a
// JPEG cannot hold it.
void warn_about_markers(const Metadata &m, std::vector<std::string> *warnings) {
    if (m.icc.size() > kMaxIccBytes)
        add_warning(warnings, "ICC profile of " + std::to_string(m.icc.size()) +
                                  " bytes left out (255 JPEG markers hold " + std::to_string(kMaxIccBytes) + ")");
    for (const Metadata::Marker &marker : m.jpeg_markers)
        if (marker.data.size() > kMaxMarker)
            add_warning(warnings, "APP" + std::to_string(marker.code - JPEG_APP0) + " marker of " +
                                      std::to_string(marker.data.size()) + " bytes left out");
}

// Writes the EXIF marker (its payload made beforehand), the ICC profile and
// the other APP markers of m; call between jpeg_start_compress and the first
// scanline. What a JPEG cannot hold is left out: anything beyond one marker,
// a profile beyond 255 of them (whose count would wrap).
void write_jpeg_markers(jpeg_compress_struct &cinfo, const Metadata &m, const std::vector<JOCTET> &exif) {
    if (!exif.empty() && exif.size() <= kMaxMarker)
        jpeg_write_marker(&cinfo, JPEG_APP0 + 1, exif.data(), unsigned(exif.size()));
    if (!m.icc.empty() && m.icc.size() <= kMaxIccBytes)
        jpeg_write_icc_profile(&cinfo, m.icc.data(), unsigned(m.icc.size()));
    for (const Metadata::Marker &marker : m.jpeg_markers)
        if (marker.data.size() <= kMaxMarker)
            jpeg_write_marker(&cinfo, marker.code, marker.data.data(), unsigned(marker.data.size()));
}

// One band of rows encoded as a JPEG of its own, in memory.
struct JpegBand {
    unsigned char *buffer = nullptr;  // from jpeg_mem_dest, freed with the band
    unsigned long size = 0;
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
// row of blocks; band 0 (first) carries the density and the metadata markers.
void encode_jpeg_band(const Image &image, const SaveOptions &options, int y0, int y1, const std::vector<JOCTET> *first,
                      JpegBand &band) {
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
    if (first) write_jpeg_markers(cinfo, image.metadata, *first);
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

}  // namespace

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
    const std::vector<JOCTET> exif = exif_to_fit(image.metadata, options.warnings);
    warn_about_markers(image.metadata, options.warnings);
    std::vector<JpegBand> slots(bands_at_once(options.threads, bands));
    int restarts = 0;  // restart markers so far
    std::string message = in_bands(
        bands, int(slots.size()),
        [&](int b, int k) {
            slots[k].reset();
            encode_jpeg_band(image, options, b * rows_per_band, std::min(image.height, (b + 1) * rows_per_band),
                             b == 0 ? &exif : nullptr, slots[k]);
        },
        [&](int b, int k) -> std::string {
            JpegBand &band = slots[k];
            if (!band.ok) return "JPEG encoding failed: " + (band.error.empty() ? kNoMemory : band.error);
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

}  // namespace image_io::detail
