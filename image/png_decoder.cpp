// PNG through libpng's row interface, one row at a time: every colour type and bit depth,
// delivered as 8-bit grey (grey files) or blue, green, red (the others). Palettes are
// looked up; alpha channels and transparency chunks are dropped, as the grey conversion
// does not use them. 16-bit samples are scaled to 8 bits (v x 255 / 65535, rounded).
//
// No colour management: samples are taken as they are stored, whatever gAMA, cHRM, sRGB
// or iCCP chunks say, as the BMP and JPEG decoders do. An 8-bit sample of 128 gives 128
// with or without a gAMA chunk.
//
// Interlaced (Adam7) files cannot be handed out row by row before the last pass has been
// read; they are decoded whole, within the memory a file of their size may take.
//
// Errors: libpng reports a fatal error through the error function, which must not
// return; it longjmps back to the one libpng call under way. As with libjpeg, every libpng
// call is made from a small function of its own that holds nothing needing destruction.
#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "image/image_service.h"
#include "platform/platform.h"

namespace qpimg {
namespace {

struct ErrorText {
    char text[200] = {};
};

[[noreturn]] void OnError(png_structp png, png_const_charp message) {
    auto* e = static_cast<ErrorText*>(png_get_error_ptr(png));
    snprintf(e->text, sizeof e->text, "%s", message);
    png_longjmp(png, 1);
}
void OnWarning(png_structp, png_const_charp) {}  // warnings are not printed

struct Header {
    png_uint_32 width = 0, height = 0;
    int bitDepth = 0, colourType = 0, interlace = 0;
    int channels = 0;  // per pixel after the transformations
    int passes = 1;
};

// Each wrapper returns false when libpng raised a fatal error.
bool SafeReadInfo(png_structp png, png_infop info, Header& h) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_read_info(png, info);
    png_get_IHDR(png, info, &h.width, &h.height, &h.bitDepth, &h.colourType, &h.interlace, nullptr, nullptr);
    return true;
}
bool SafeSetTransforms(png_structp png, png_infop info, Header& h) {
    if (setjmp(png_jmpbuf(png))) return false;
    if (h.colourType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if (h.colourType == PNG_COLOR_TYPE_GRAY && h.bitDepth < 8) png_set_expand_gray_1_2_4_to_8(png);
    png_set_strip_alpha(png);
    if (h.bitDepth == 16) png_set_scale_16(png);
    png_set_bgr(png);
    h.passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    h.channels = png_get_channels(png, info);
    return true;
}
bool SafeReadRow(png_structp png, png_bytep row) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_read_row(png, row, nullptr);
    return true;
}
bool SafeReadImage(png_structp png, png_bytepp rows) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_read_image(png, rows);
    return true;
}

// Bytes in memory handed to libpng as it asks for them.
struct MemoryInput {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
};

void ReadFromMemory(png_structp png, png_bytep out, png_size_t n) {
    auto* in = static_cast<MemoryInput*>(png_get_io_ptr(png));
    if (n > in->size - in->at) png_error(png, "Read Error");  // what libpng says for a file cut short
    memcpy(out, in->data + in->at, n);
    in->at += n;
}

class PngSource final : public RowSource {
public:
    // Reads `file` (taken over), or when it is null `size` bytes at `data`.
    PngSource(FILE* file, const uint8_t* data, size_t size) : file_(file), memory_{data, size} {}
    ~PngSource() override {
        if (png_) png_destroy_read_struct(&png_, info_ ? &info_ : nullptr, nullptr);
        if (file_) fclose(file_);
    }

    bool Open(const PictureHints& hints, std::string& why) {
        png_ = png_create_read_struct(PNG_LIBPNG_VER_STRING, &error_, OnError, OnWarning);
        if (png_) info_ = png_create_info_struct(png_);
        if (!png_ || !info_) {
            why = "out of memory";
            return false;
        }
        if (file_)
            png_init_io(png_, file_);
        else
            png_set_read_fn(png_, &memory_, ReadFromMemory);
        Header h;
        if (!SafeReadInfo(png_, info_, h)) {
            why = std::string("not a readable PNG: ") + error_.text;
            return false;
        }
        if (hints.orientation) {
            png_uint_32 length = 0;
            png_bytep exif = nullptr;
            if (png_get_eXIf_1(png_, info_, &length, &exif) != 0) orientation_ = ExifOrientation(exif, length);
        }
        if (!SizeAcceptable(h.width, h.height)) {
            why = SizeRefusal(h.width, h.height);
            return false;
        }
        if (!SafeSetTransforms(png_, info_, h)) {
            why = std::string("not a readable PNG: ") + error_.text;
            return false;
        }
        if (h.channels == 1) {
            format_ = PixelFormat::Grey8(h.width, h.height);
        } else {
            format_.width = h.width;
            format_.height = h.height;
            format_.depth = 24;
        }
        fileWidth_ = h.width;
        fileHeight_ = h.height;
        rowBytes_ = RowBytes(h.width, format_.depth);
        if (png_get_rowbytes(png_, info_) != rowBytes_) {
            why = "unexpected PNG row layout";
            return false;
        }
        interlaced_ = h.passes > 1;
        if (interlaced_) {
            uint64_t fileBytes = memory_.size;
            if (file_ && !FileLength(fileno(file_), &fileBytes)) fileBytes = 0;
            const uint64_t need = uint64_t{rowBytes_} * h.height, allowed = MemoryAllowed(fileBytes);
            if (need > allowed) {
                why = "interlaced: " + MemoryRefusal(need, allowed, fileBytes);
                return false;
            }
        }
        return true;
    }

    bool ReadRow(uint8_t* row) override {
        if (!failure_.empty() || next_ >= format_.height) return false;
        if (interlaced_) {
            if (whole_.empty() && !ReadWhole()) return false;
            memcpy(row, whole_.data() + size_t{next_} * rowBytes_, rowBytes_);
        } else if (!SafeReadRow(png_, row)) {
            failure_ = "corrupt PNG data at row " + std::to_string(next_) + ": " + error_.text;
            return false;
        }
        ++next_;
        return true;
    }

private:
    bool ReadWhole() {
        whole_.resize(rowBytes_ * format_.height);
        std::vector<png_bytep> rows(format_.height);
        for (uint32_t r = 0; r < format_.height; ++r) rows[r] = whole_.data() + static_cast<size_t>(r) * rowBytes_;
        if (SafeReadImage(png_, rows.data())) return true;
        failure_ = std::string("corrupt PNG data: ") + error_.text;
        return false;
    }

    FILE* file_;
    MemoryInput memory_;
    png_structp png_ = nullptr;
    png_infop info_ = nullptr;
    ErrorText error_;
    size_t rowBytes_ = 0;
    bool interlaced_ = false;
    std::vector<uint8_t> whole_;
    uint32_t next_ = 0;
};

}  // namespace

std::unique_ptr<RowSource> OpenPng(PictureBytes bytes, const PictureHints& hints, std::string& why) {
    FILE* file = nullptr;
    if (!bytes.Stream(file, why)) return nullptr;
    auto source = std::make_unique<PngSource>(file, bytes.data, bytes.data ? bytes.size : 0);
    if (!source->Open(hints, why)) return nullptr;
    return source;
}

}  // namespace qpimg
