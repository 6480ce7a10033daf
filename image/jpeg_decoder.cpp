// JPEG through libjpeg-turbo: baseline, progressive, arithmetic coding, restart markers,
// greyscale, RGB, YCbCr, CMYK and YCCK.
//
// Errors: libjpeg reports a fatal error by calling error_exit, which must not return; it
// longjmps back to the one libjpeg call that is under way. Every libjpeg call is made
// from a small function of its own that holds nothing needing destruction, so the jump
// never skips a C++ destructor. Warnings (corrupt or truncated entropy data, for which
// libjpeg substitutes blank data) are not fatal: a truncated file that still has its
// headers decodes, its missing part coming out as libjpeg fills it.
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "image/image_service.h"
#include "platform/platform.h"

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>

namespace qpimg {
namespace {

// Bounds on what a hostile file can make libjpeg do: memory for its whole-image buffers
// (progressive files) and the number of scans it reads.
constexpr long kMaxDecoderMemory = 1L << 30;
constexpr int kMaxScans = 1000;

struct ErrorManager {
    jpeg_error_mgr pub;
    jmp_buf jump;
};

[[noreturn]] void OnError(j_common_ptr cinfo) {
    longjmp(reinterpret_cast<ErrorManager*>(cinfo->err)->jump, 1);
}
void OnMessage(j_common_ptr) {}  // warnings are not printed

void OnProgress(j_common_ptr cinfo) {
    auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
    if (d->input_scan_number > kMaxScans) OnError(cinfo);
}

// Each wrapper returns false when libjpeg raised a fatal error.
bool SafeReadHeader(j_decompress_ptr cinfo) {
    auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    if (setjmp(err->jump)) return false;
    return jpeg_read_header(cinfo, TRUE) == JPEG_HEADER_OK;
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
    explicit JpegSource(FILE* file) : file_(file) {
        cinfo_.err = jpeg_std_error(&err_.pub);
        err_.pub.error_exit = OnError;
        err_.pub.output_message = OnMessage;
        progress_.progress_monitor = OnProgress;
        jpeg_create_decompress(&cinfo_);  // cannot fail: it only allocates small tables
        created_ = true;
        cinfo_.progress = &progress_;
        cinfo_.mem->max_memory_to_use = kMaxDecoderMemory;
        jpeg_stdio_src(&cinfo_, file_);
    }
    ~JpegSource() override {
        if (created_) jpeg_destroy_decompress(&cinfo_);
        if (file_) fclose(file_);
    }

    bool Open(uint32_t fitW, uint32_t fitH) {
        if (!SafeReadHeader(&cinfo_)) return false;
        if (!SizeAcceptable(cinfo_.image_width, cinfo_.image_height)) return false;
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
        cinfo_.scale_num = ChooseScale(fileWidth_, fileHeight_, fitW, fitH);
        cinfo_.scale_denom = 8;
        if (!SafeStart(&cinfo_)) return false;
        format_.width = cinfo_.output_width;
        format_.height = cinfo_.output_height;
        if (cinfo_.out_color_space == JCS_GRAYSCALE) {
            format_.depth = 8;
            format_.paletteSize = 256;
            for (int i = 0; i < 256; ++i) memset(format_.palette[i], i, 3);
        } else {
            format_.depth = 24;
        }
        if (cmyk_) cmykRow_.resize(size_t{format_.width} * 4);
        return true;
    }

    bool ReadRow(uint8_t* row) override {
        if (failed_ || cinfo_.output_scanline >= cinfo_.output_height) return false;
        if (!SafeReadScanline(&cinfo_, cmyk_ ? cmykRow_.data() : row)) {
            failed_ = true;
            return false;
        }
        if (!cmyk_) return true;
        // Adobe writes CMYK inverted (0 = full ink), and says so with its marker.
        const bool inverted = cinfo_.saw_Adobe_marker;
        const uint8_t* p = cmykRow_.data();
        for (uint32_t x = 0; x < format_.width; ++x, p += 4, row += 3) {
            unsigned c = p[0], m = p[1], y = p[2], k = p[3];
            if (!inverted) c = 255 - c, m = 255 - m, y = 255 - y, k = 255 - k;
            row[0] = static_cast<uint8_t>((y * k + 127) / 255);
            row[1] = static_cast<uint8_t>((m * k + 127) / 255);
            row[2] = static_cast<uint8_t>((c * k + 127) / 255);
        }
        return true;
    }

private:
    FILE* file_;
    jpeg_decompress_struct cinfo_{};
    ErrorManager err_{};
    jpeg_progress_mgr progress_{};
    bool created_ = false;
    bool cmyk_ = false;
    bool failed_ = false;
    std::vector<uint8_t> cmykRow_;
};

}  // namespace

std::unique_ptr<RowSource> OpenJpeg(int fd, uint32_t fitWidth, uint32_t fitHeight) {
    FILE* file = FileStream(fd);
    if (!file) {
        CloseFile(fd);
        return nullptr;
    }
    auto source = std::make_unique<JpegSource>(file);
    if (!source->Open(fitWidth, fitHeight)) return nullptr;
    return source;
}

}  // namespace qpimg
