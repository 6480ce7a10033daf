#include "image/pixel_source.h"

#include <cstring>
#include <vector>

namespace qpimg {
namespace {

uint8_t OverWhite(unsigned c, unsigned a) { return static_cast<uint8_t>((c * a + 255 * (255 - a) + 127) / 255); }

// Grey pictures are 8-bit palette pictures whose index i is the grey i; colour pictures
// are 24-bit blue, green, red or 32-bit blue, green, red and a byte that is not looked
// at. Red-first rows are swapped on the way, and pixels with alpha are laid over white
// (paper): c a / 255 + 255 (255 - a) / 255, rounded, so that transparent pixels show
// white and opaque ones their colour.
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
        const bool alpha = layout_ == PixelLayout::kRgba32 || layout_ == PixelLayout::kBgra32;
        if (layout_ != PixelLayout::kRgb24 && !alpha) return row;
        const size_t step = PixelBytes(layout_);
        const bool swap = layout_ != PixelLayout::kBgra32;
        uint8_t* out = scratch;
        for (uint32_t x = 0; x < format_.width; ++x, row += step, out += step) {
            const uint8_t blue = row[swap ? 2 : 0], green = row[1], red = row[swap ? 0 : 2];
            if (!alpha) {
                out[0] = blue, out[1] = green, out[2] = red;
                continue;
            }
            const unsigned a = row[3];
            out[0] = OverWhite(blue, a), out[1] = OverWhite(green, a), out[2] = OverWhite(red, a);
            out[3] = 255;
        }
        return scratch;
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
