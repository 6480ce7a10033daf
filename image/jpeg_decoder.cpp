// JPEG through libjpeg-turbo: baseline, progressive, arithmetic coding, restart markers,
// greyscale, RGB, YCbCr, CMYK and YCCK.
//
// Errors: libjpeg reports a fatal error by calling error_exit, which must not return; it
// longjmps back to the one libjpeg call that is under way. Every libjpeg call is made
// from a small function of its own that holds nothing needing destruction, so the jump
// never skips a C++ destructor. Most warnings (corrupt or truncated entropy data, for
// which libjpeg substitutes blank data) are not fatal: a truncated file that still has
// its headers decodes, its missing part coming out as libjpeg fills it. A progression
// that refines the same coefficients again is fatal: it serves no picture, and each such
// scan makes libjpeg walk the whole picture once more.
//
// Bounds on what a hostile file can make libjpeg do, checked before the work is done:
//  - memory: files with several scans are decoded into whole-picture coefficient buffers
//    (128 bytes per 8 x 8 block); their size must be within MemoryAllowed(file size);
//  - work: each scan walks its components' blocks and, in each block, the coefficients
//    of its spectral band. The sum over the scans may not exceed kWorkFloor plus
//    kWorkPerFileByte for each byte of the file (a standard progression takes 128 per
//    block, two passes over each coefficient);
//  - at most kMaxScans scans.

#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "image/image_service.h"
#include "platform/platform.h"

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>
#include <jerror.h>

namespace qpimg {
namespace {

constexpr int kMaxScans = 1000;
constexpr uint64_t kWorkFloor = uint64_t{512} << 20;
constexpr uint64_t kWorkPerFileByte = 256;

struct ErrorManager {
    jpeg_error_mgr pub;
    jmp_buf jump;
    char text[JMSG_LENGTH_MAX + 160] = {};  // why the decoder stopped
};

struct WorkMeter {
    jpeg_progress_mgr pub;
    uint64_t budget = 0;
    uint64_t spent = 0;
    int scan = 0;  // the last scan counted
};

[[noreturn]] void Fail(j_common_ptr cinfo) { longjmp(reinterpret_cast<ErrorManager*>(cinfo->err)->jump, 1); }

[[noreturn]] void OnError(j_common_ptr cinfo) {
    auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->text);
    Fail(cinfo);
}

// Warnings (level -1) are not printed; the one that says the progression refines
// coefficients out of order is made fatal.
void OnMessage(j_common_ptr cinfo, int level) {
    if (level < 0 && cinfo->err->msg_code == JWRN_BOGUS_PROGRESSION) {
        auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
        char message[JMSG_LENGTH_MAX];
        (*cinfo->err->format_message)(cinfo, message);
        snprintf(err->text, sizeof err->text, "corrupt JPEG data in scan %d: %s",
                 reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number, message);
        Fail(cinfo);
    }
}

// Called by libjpeg while it reads the scans: counts each scan's work once.
void OnProgress(j_common_ptr cinfo) {
    auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
    auto* meter = reinterpret_cast<WorkMeter*>(d->progress);
    auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    if (d->input_scan_number == meter->scan || d->comps_in_scan <= 0) return;
    meter->scan = d->input_scan_number;
    if (meter->scan > kMaxScans) {
        snprintf(err->text, sizeof err->text, "more than %d scans", kMaxScans);
        Fail(cinfo);
    }
    uint64_t blocks = 0;
    for (int c = 0; c < d->comps_in_scan && c < MAX_COMPS_IN_SCAN; ++c) {
        const jpeg_component_info* comp = d->cur_comp_info[c];
        if (comp) blocks += uint64_t{comp->width_in_blocks} * comp->height_in_blocks;
    }
    const int band = d->progressive_mode ? d->Se - d->Ss + 1 : DCTSIZE2;
    meter->spent += blocks * static_cast<uint64_t>(band > 0 ? band : 1);
    if (meter->spent > meter->budget) {
        snprintf(err->text, sizeof err->text,
                 "decoding it would take more work than a file of its size may ask for: by scan %d its scans walk "
                 "%llu million coefficients, the limit is %llu million",
                 meter->scan, static_cast<unsigned long long>(meter->spent / 1000000),
                 static_cast<unsigned long long>(meter->budget / 1000000));
        Fail(cinfo);
    }
}

// Each wrapper returns false when libjpeg raised a fatal error.
bool SafeReadHeader(j_decompress_ptr cinfo) {
    auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    if (setjmp(err->jump)) return false;
    if (jpeg_read_header(cinfo, TRUE) == JPEG_HEADER_OK) return true;
    snprintf(err->text, sizeof err->text, "no image in the file");
    return false;
}
bool SafeStart(j_decompress_ptr cinfo) {
    auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    if (setjmp(err->jump)) return false;
    return jpeg_start_decompress(cinfo) == TRUE;
}
bool SafeReadScanline(j_decompress_ptr cinfo, JSAMPROW row) {
    auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    if (setjmp(err->jump)) return false;
    JSAMPROW rows[1] = {row};
    return jpeg_read_scanlines(cinfo, rows, 1) == 1;
}

// Bytes of the whole-picture coefficient buffers libjpeg allocates for a file with
// several scans (none for a single-scan file). Valid after the header has been read.
uint64_t CoefficientBufferBytes(j_decompress_ptr d) {
    if (!jpeg_has_multiple_scans(d)) return 0;
    uint64_t bytes = 0;
    for (int c = 0; c < d->num_components; ++c) {
        const jpeg_component_info& comp = d->comp_info[c];
        const uint64_t h = comp.h_samp_factor > 0 ? comp.h_samp_factor : 1;
        const uint64_t v = comp.v_samp_factor > 0 ? comp.v_samp_factor : 1;
        const uint64_t wide = (comp.width_in_blocks + h - 1) / h * h;
        const uint64_t high = (comp.height_in_blocks + v - 1) / v * v;
        bytes += wide * high * DCTSIZE2 * sizeof(JCOEF);
    }
    return bytes;
}

// Reduced-scale decoding for pictures at least twice the fit size in both directions:
// the smallest of the scales 1/8, 2/8 and 4/8 that keeps both sides at least the fit
// size (libjpeg-turbo has vectorised inverse transforms for exactly these; 3/8 would
// often do but decodes slower than 4/8). The area averaging then brings the result to
// the exact size.
unsigned ChooseScale(uint32_t w, uint32_t h, uint32_t fitW, uint32_t fitH) {
    if (fitW == 0 || fitH == 0 || uint64_t{w} < 2ull * fitW || uint64_t{h} < 2ull * fitH) return 8;
    for (unsigned n = 1; n < 8; n *= 2) {
        if ((uint64_t{w} * n + 7) / 8 >= fitW && (uint64_t{h} * n + 7) / 8 >= fitH) return n;
    }
    return 8;
}

class JpegSource final : public RowSource {
public:
    // Reads `file` (taken over), or when it is null `size` bytes at `data`.
    JpegSource(FILE* file, const uint8_t* data, size_t size) : file_(file) {
        cinfo_.err = jpeg_std_error(&err_.pub);
        err_.pub.error_exit = OnError;
        err_.pub.emit_message = OnMessage;
        meter_.pub.progress_monitor = OnProgress;
        jpeg_create_decompress(&cinfo_);  // cannot fail: it only allocates small tables
        created_ = true;
        cinfo_.progress = &meter_.pub;
        if (!file_) {
            fileBytes_ = size;
        } else if (!FileLength(fileno(file_), &fileBytes_)) {
            fileBytes_ = 0;
        }
        // libjpeg's own limit on its whole-picture buffers, behind the check in Open.
        cinfo_.mem->max_memory_to_use = static_cast<long>(MemoryAllowed(fileBytes_));
        meter_.budget = kWorkFloor + kWorkPerFileByte * fileBytes_;
        if (file_)
            jpeg_stdio_src(&cinfo_, file_);
        else
            jpeg_mem_src(&cinfo_, data, static_cast<unsigned long>(size));  // not empty: OpenJpeg checks
    }
    ~JpegSource() override {
        if (created_) jpeg_destroy_decompress(&cinfo_);
        if (file_) fclose(file_);
    }

    bool Open(const PictureHints& hints, std::string& why) {
        // APP1 segments are kept only when the orientation is asked for; they hold the
        // EXIF block.
        if (hints.orientation) jpeg_save_markers(&cinfo_, JPEG_APP0 + 1, 0xFFFF);
        if (!SafeReadHeader(&cinfo_)) {
            why = std::string("not a readable JPEG: ") + err_.text;
            return false;
        }
        if (hints.orientation) orientation_ = SavedOrientation();
        if (!SizeAcceptable(cinfo_.image_width, cinfo_.image_height)) {
            why = SizeRefusal(cinfo_.image_width, cinfo_.image_height);
            return false;
        }
        const uint64_t buffers = CoefficientBufferBytes(&cinfo_), allowed = MemoryAllowed(fileBytes_);
        if (buffers > allowed) {
            why = (cinfo_.progressive_mode ? "progressive: " : "several scans: ") +
                  MemoryRefusal(buffers, allowed, fileBytes_);
            return false;
        }
        fileWidth_ = cinfo_.image_width;
        fileHeight_ = cinfo_.image_height;
        switch (cinfo_.jpeg_color_space) {
        case JCS_GRAYSCALE:
            cinfo_.out_color_space = JCS_GRAYSCALE;
            break;
        case JCS_CMYK:
        case JCS_YCCK:
            cinfo_.out_color_space = JCS_CMYK;
            cmyk_ = true;
            break;
        default:
            cinfo_.out_color_space = JCS_EXT_BGR;
            break;
        }
        cinfo_.scale_num = ChooseScale(fileWidth_, fileHeight_, hints.fitWidth, hints.fitHeight);
        cinfo_.scale_denom = 8;
        if (!SafeStart(&cinfo_)) {
            why = err_.text;
            return false;
        }
        scaleNum_ = cinfo_.scale_num;
        scaleDenom_ = cinfo_.scale_denom;
        if (cinfo_.out_color_space == JCS_GRAYSCALE) {
            format_ = PixelFormat::Grey8(cinfo_.output_width, cinfo_.output_height);
        } else {
            format_.width = cinfo_.output_width;
            format_.height = cinfo_.output_height;
            format_.depth = 24;
        }
        rowBytes_ = RowBytes(format_.width, format_.depth);
        decoded_.resize(size_t{format_.width} * (cmyk_ ? 4 : format_.depth / 8) + 2 * kOffAlignment);
        if (cmyk_) converted_.resize(rowBytes_);
        return true;
    }

    // The row is decoded into this source's own buffer and handed out from there.
    const uint8_t* NextRowAddress(uint8_t*) override { return Decode(nullptr); }

    // A row address that libjpeg-turbo will not write past the caches (see DecodeTarget)
    // is decoded into directly.
    bool ReadRow(uint8_t* row) override {
        const bool direct = !cmyk_ && reinterpret_cast<uintptr_t>(row) % 16 != 0;
        const uint8_t* p = Decode(direct ? row : nullptr);
        if (p && p != row) memcpy(row, p, rowBytes_);
        return p != nullptr;
    }

private:
    // The orientation of the first APP1 segment that holds an EXIF block.
    uint32_t SavedOrientation() const {
        static const uint8_t kExif[6] = {'E', 'x', 'i', 'f', 0, 0};
        for (jpeg_saved_marker_ptr m = cinfo_.marker_list; m != nullptr; m = m->next) {
            if (m->marker != JPEG_APP0 + 1 || m->data_length < sizeof kExif || memcmp(m->data, kExif, 6) != 0) continue;
            return ExifOrientation(m->data + 6, m->data_length - 6);
        }
        return 1;
    }

    // libjpeg-turbo stores output rows whose address is a multiple of 16 with
    // non-temporal stores, which go past the caches to memory; the rows are read again at
    // once, so they are decoded at an address that is not (8 bytes past one that is).
    static constexpr size_t kOffAlignment = 8;
    uint8_t* DecodeTarget() {
        const auto at = reinterpret_cast<uintptr_t>(decoded_.data());
        return decoded_.data() + (16 - at % 16) % 16 + kOffAlignment;
    }

    // Decodes the next row into `target`, or this source's own buffer when null; returns
    // where the row (as blue, green, red or grey) is.
    const uint8_t* Decode(uint8_t* target) {
        if (!failure_.empty() || cinfo_.output_scanline >= cinfo_.output_height) return nullptr;
        if (!target) target = DecodeTarget();
        if (!SafeReadScanline(&cinfo_, target)) {
            failure_ = "corrupt JPEG data at row " + std::to_string(cinfo_.output_scanline) + ": " + err_.text;
            return nullptr;
        }
        if (!cmyk_) return target;
        // Adobe writes CMYK inverted (0 = full ink), and says so with its marker.
        const bool inverted = cinfo_.saw_Adobe_marker;
        const uint8_t* p = target;
        uint8_t* row = converted_.data();
        for (uint32_t x = 0; x < format_.width; ++x, p += 4, row += 3) {
            unsigned c = p[0], m = p[1], y = p[2], k = p[3];
            if (!inverted) c = 255 - c, m = 255 - m, y = 255 - y, k = 255 - k;
            row[0] = static_cast<uint8_t>((y * k + 127) / 255);
            row[1] = static_cast<uint8_t>((m * k + 127) / 255);
            row[2] = static_cast<uint8_t>((c * k + 127) / 255);
        }
        return converted_.data();
    }

    FILE* file_;
    jpeg_decompress_struct cinfo_{};
    ErrorManager err_{};
    WorkMeter meter_{};
    uint64_t fileBytes_ = 0;
    bool created_ = false;
    bool cmyk_ = false;
    size_t rowBytes_ = 0;
    std::vector<uint8_t> decoded_;    // libjpeg's output row (C, M, Y, K for CMYK files)
    std::vector<uint8_t> converted_;  // CMYK rows as blue, green, red
};

}  // namespace

std::unique_ptr<RowSource> OpenJpeg(PictureBytes bytes, const PictureHints& hints, std::string& why) {
    FILE* file = nullptr;
    if (!bytes.Stream(file, why)) return nullptr;
    if (bytes.InMemory() && (bytes.data == nullptr || bytes.size == 0)) {
        why = "the file is empty";
        return nullptr;
    }
    auto source = std::make_unique<JpegSource>(file, bytes.data, bytes.size);
    if (!source->Open(hints, why)) return nullptr;
    return source;
}

}  // namespace qpimg
