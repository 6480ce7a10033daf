#include "image/pixel_source.h"

#include <cstring>
#include <vector>

namespace qpimg {
namespace {

// Grey pictures are 8-bit palette pictures whose index i is the grey i; colour pictures
// are 24-bit blue, green, red or 32-bit blue, green, red and a byte that is not looked
// at (where a file's alpha channel would be). Red-first rows are swapped on the way.
class PixelSource final : public RowSource {
public:
    PixelSource(const uint8_t* pixels, uint32_t width, uint32_t height, size_t stride, PixelLayout layout)
        : pixels_(pixels), stride_(stride), layout_(layout) {
        format_ = PixelFormat::Grey8(width, height);
        fileWidth_ = width;
        fileHeight_ = height;
        if (layout != PixelLayout::kGrey8) {
            format_.depth = static_cast<uint32_t>(8 * PixelBytes(layout));
            format_.paletteSize = 0;
        }
    }

    bool ReadRow(uint8_t* row) override {
        const uint8_t* p = NextRowAddress(row);
        if (p != nullptr && p != row) std::memcpy(row, p, RowBytes(format_.width, format_.depth));
        return p != nullptr;
    }

    const uint8_t* NextRowAddress(uint8_t* scratch) override {
        if (next_ >= format_.height) return nullptr;
        const uint8_t* row = pixels_ + next_++ * stride_;
        if (layout_ != PixelLayout::kRgb24 && layout_ != PixelLayout::kRgba32) return row;
        const size_t step = PixelBytes(layout_);
        for (uint32_t x = 0; x < format_.width; ++x, row += step, scratch += step) {
            scratch[0] = row[2];
            scratch[1] = row[1];
            scratch[2] = row[0];
            if (step == 4) scratch[3] = row[3];
        }
        return scratch - static_cast<size_t>(format_.width) * step;
    }

private:
    const uint8_t* pixels_;
    size_t stride_;
    PixelLayout layout_;
    uint32_t next_ = 0;
};

}  // namespace

std::unique_ptr<RowSource> OpenPixels(const uint8_t* pixels, uint32_t width, uint32_t height, size_t stride,
                                      PixelLayout layout, std::string& why) {
    if (!SizeAcceptable(width, height)) {
        why = SizeRefusal(width, height);
        return nullptr;
    }
    return std::make_unique<PixelSource>(pixels, width, height, stride, layout);
}

}  // namespace qpimg
