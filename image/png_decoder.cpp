// PNG through libpng's simplified reading interface. The picture is decoded whole (PNG
// rows may be interlaced) into 8-bit blue, green, red, with a fourth byte when the file
// has an alpha channel, or into 8-bit grey for grey files.
#include <png.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "image/image_service.h"
#include "platform/platform.h"

namespace qpimg {
namespace {

class PngSource final : public RowSource {
public:
    bool Decode(FILE* file) {
        png_image image;
        memset(&image, 0, sizeof image);
        image.version = PNG_IMAGE_VERSION;
        if (!png_image_begin_read_from_stdio(&image, file)) return false;
        if (!SizeAcceptable(image.width, image.height)) {
            png_image_free(&image);
            return false;
        }
        const bool alpha = image.format & PNG_FORMAT_FLAG_ALPHA;
        const bool colour = image.format & PNG_FORMAT_FLAG_COLOR;
        if (!colour && !alpha) {
            image.format = PNG_FORMAT_GRAY;
            format_.depth = 8;
            format_.paletteSize = 256;
            for (int i = 0; i < 256; ++i) memset(format_.palette[i], i, 3);
        } else {
            image.format = alpha ? PNG_FORMAT_BGRA : PNG_FORMAT_BGR;
            format_.depth = alpha ? 32 : 24;
        }
        format_.width = fileWidth_ = image.width;
        format_.height = fileHeight_ = image.height;
        rowBytes_ = RowBytes(image.width, format_.depth);
        pixels_.resize(rowBytes_ * image.height);
        if (!png_image_finish_read(&image, nullptr, pixels_.data(), static_cast<png_int_32>(rowBytes_), nullptr)) {
            png_image_free(&image);
            return false;
        }
        return true;
    }

    bool ReadRow(uint8_t* row) override {
        if (next_ >= format_.height) return false;
        memcpy(row, pixels_.data() + next_++ * rowBytes_, rowBytes_);
        return true;
    }

private:
    std::vector<uint8_t> pixels_;
    size_t rowBytes_ = 0;
    uint32_t next_ = 0;
};

}  // namespace

std::unique_ptr<RowSource> OpenPng(int fd) {
    FILE* file = FileStream(fd);
    if (!file) {
        CloseFile(fd);
        return nullptr;
    }
    auto source = std::make_unique<PngSource>();
    const bool ok = source->Decode(file);
    fclose(file);
    if (!ok) return nullptr;
    return source;
}

}  // namespace qpimg
