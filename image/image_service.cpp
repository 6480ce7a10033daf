// Format recognition, row conversion and the whole-picture bitmap operations.
#include <cstring>

#include "image/image_service.h"
#include "platform/platform.h"

namespace qpimg {

bool PixelFormat::GreyPalette() const {
    for (uint32_t i = 0; i < paletteSize; ++i) {
        if (palette[i][0] != palette[i][1] || palette[i][1] != palette[i][2]) return false;
    }
    return true;  // indices past the palette are black, a grey too
}

std::unique_ptr<RowSource> OpenImage(const char* path, uint32_t fitWidth, uint32_t fitHeight) {
    const int fd = OpenFileForReading(path);
    if (fd < 0) return nullptr;
    uint8_t magic[8] = {};
    if (ReadFileAt(fd, magic, sizeof magic, 0) < 3) {
        CloseFile(fd);
        return nullptr;
    }
    if (magic[0] == 'B' && magic[1] == 'M') return OpenBmp(fd);
    if (magic[0] == 0xFF && magic[1] == 0xD8 && magic[2] == 0xFF) return OpenJpeg(fd, fitWidth, fitHeight);
    static const uint8_t kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (memcmp(magic, kPng, 8) == 0) return OpenPng(fd);
    CloseFile(fd);
    return nullptr;
}

void UnpackIndices(const uint8_t* row, uint32_t depth, uint32_t width, uint8_t* out) {
    switch (depth) {
    case 8:
        memcpy(out, row, width);
        break;
    case 4:
        for (uint32_t x = 0; x < width; ++x) out[x] = x & 1 ? row[x / 2] & 0x0F : row[x / 2] >> 4;
        break;
    case 2:
        for (uint32_t x = 0; x < width; ++x) out[x] = (row[x / 4] >> (6 - 2 * (x & 3))) & 3;
        break;
    case 1:
        for (uint32_t x = 0; x < width; ++x) out[x] = (row[x / 8] >> (7 - (x & 7))) & 1;
        break;
    default:
        memset(out, 0, width);
    }
}

void RowToColours(const PixelFormat& f, int channels, const uint8_t* row, uint8_t* out) {
    const uint32_t w = f.width;
    if (f.IsIndexed()) {
        // Unpack in place at the end of `out` (channels x w bytes), then look up.
        uint8_t* idx = out + size_t{w} * (channels - 1);
        UnpackIndices(row, f.depth, w, idx);
        static const uint8_t kBlack[4] = {};
        if (channels == 1) {
            for (uint32_t x = 0; x < w; ++x) out[x] = idx[x] < f.paletteSize ? f.palette[idx[x]][0] : 0;
        } else {
            for (uint32_t x = 0; x < w; ++x) {
                const uint8_t i = idx[x];  // read before the write below may overwrite it
                const uint8_t* c = i < f.paletteSize ? f.palette[i] : kBlack;
                out[3 * x] = c[0], out[3 * x + 1] = c[1], out[3 * x + 2] = c[2];
            }
        }
    } else if (f.depth == 24) {
        memcpy(out, row, size_t{w} * 3);
    } else {
        for (uint32_t x = 0; x < w; ++x) memcpy(out + 3 * x, row + 4 * x, 3);
    }
}

namespace {

// Hands out a bitmap's rows, for stretching.
class BitmapSource final : public RowSource {
public:
    explicit BitmapSource(const Bitmap& b) : bitmap_(b) {
        format_ = b.format;
        fileWidth_ = format_.width;
        fileHeight_ = format_.height;
    }
    bool ReadRow(uint8_t* row) override {
        if (next_ >= format_.height) return false;
        memcpy(row, bitmap_.pixels.data() + next_++ * bitmap_.pitch, RowBytes(format_.width, format_.depth));
        return true;
    }

private:
    const Bitmap& bitmap_;
    uint32_t next_ = 0;
};

size_t DibPitch(uint32_t width, uint32_t depth) { return (size_t{width} * depth + 31) / 32 * 4; }

}  // namespace

Bitmap* LoadBitmap(const char* path) {
    auto source = OpenImage(path);
    if (!source) return nullptr;
    auto bitmap = std::make_unique<Bitmap>();
    bitmap->format = source->Format();
    bitmap->pitch = DibPitch(bitmap->format.width, bitmap->format.depth);
    bitmap->pixels.assign(bitmap->pitch * bitmap->format.height, 0);
    for (uint32_t r = 0; r < bitmap->format.height; ++r) {
        if (!source->ReadRow(bitmap->pixels.data() + r * bitmap->pitch)) return nullptr;
    }
    return bitmap.release();
}

uint32_t BitmapWidth(const Bitmap* b) { return b ? b->format.width : 0; }
uint32_t BitmapHeight(const Bitmap* b) { return b ? b->format.height : 0; }
uint32_t BitmapDepth(const Bitmap* b) { return b ? b->format.depth : 0; }

const uint8_t* BitmapRow(const Bitmap* b, uint32_t r) {
    if (!b || r >= b->format.height) return nullptr;
    return b->pixels.data() + r * b->pitch;
}

Bitmap* CreateBitmap(uint32_t w, uint32_t h) {
    if (!SizeAcceptable(w, h)) return nullptr;
    auto* b = new Bitmap;
    b->format.width = w;
    b->format.height = h;
    b->format.depth = 32;
    b->pitch = size_t{w} * 4;
    b->pixels.assign(b->pitch * h, 0);
    return b;
}

bool StretchBitmap(const Bitmap& source, Bitmap& dest, uint32_t w, uint32_t h) {
    if (dest.format.depth != 32 || w > dest.format.width || h > dest.format.height) return false;
    BitmapSource rows(source);
    AreaResampler resampler(rows, w, h);
    std::vector<uint8_t> line(size_t{w} * 3);
    for (uint32_t r = 0; r < h; ++r) {
        if (!resampler.NextRow(line.data())) return false;
        uint8_t* d = dest.pixels.data() + r * dest.pitch;
        for (uint32_t x = 0; x < w; ++x) {
            if (resampler.Channels() == 1) {
                memset(d + 4 * x, line[x], 3);
            } else {
                memcpy(d + 4 * x, line.data() + 3 * x, 3);
            }
            d[4 * x + 3] = 0;
        }
    }
    return true;
}

void ReleaseBitmap(Bitmap* bitmap) { delete bitmap; }

}  // namespace qpimg
