// The image service: decodes BMP, JPEG and PNG files (recognised by content, not by name)
// and stretches bitmaps with area averaging.
//
// Two ways in:
//  - RowSource: a decoder that hands out the picture one row at a time from the top, so
//    that the pipeline never holds the whole decoded picture. AreaResampler reads a
//    RowSource and hands out the stretched rows, again one at a time.
//  - Bitmap: the whole picture in memory (load, size and depth, row address, create,
//    stretch, release), built on the same decoders and the same resampler.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace qpimg {

// Largest picture any decoder accepts: sides up to 65,535 and at most 2^27 pixels
// (134 million, e.g. 16,384 x 8,192). Files declaring more are refused before anything is
// allocated for them.
constexpr uint32_t kMaxSide = 65535;
constexpr uint64_t kMaxPixels = uint64_t{1} << 27;

inline bool SizeAcceptable(uint64_t w, uint64_t h) {
    return w >= 1 && h >= 1 && w <= kMaxSide && h <= kMaxSide && w * h <= kMaxPixels;
}

// Layout of decoded rows, the device-independent bitmap layouts:
//  depth 1, 2, 4, 8: palette indices packed most significant bits first;
//  depth 24: blue, green, red; depth 32: blue, green, red and an unused byte.
// Rows hold no padding here: a row is RowBytes(width, depth) bytes.
struct PixelFormat {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t depth = 0;
    uint32_t paletteSize = 0;      // entries in use (indices at or past it are black)
    uint8_t palette[256][4] = {};  // blue, green, red, 0
    bool IsIndexed() const { return depth <= 8; }
    // True when every palette entry is a grey (blue = green = red).
    bool GreyPalette() const;
};

inline size_t RowBytes(uint32_t width, uint32_t depth) { return (size_t{width} * depth + 7) / 8; }

// One decoded picture, handed out row by row from the top.
class RowSource {
public:
    virtual ~RowSource() = default;
    const PixelFormat& Format() const { return format_; }
    // Size of the picture in the file; Format() may be smaller when the decoder reduced
    // it on the way (JPEG DCT scaling).
    uint32_t FileWidth() const { return fileWidth_; }
    uint32_t FileHeight() const { return fileHeight_; }
    // Writes the next row (RowBytes(width, depth) bytes) to `row`. False when the file
    // turns out to be undecodable part way; the picture is then not usable.
    virtual bool ReadRow(uint8_t* row) = 0;

protected:
    PixelFormat format_;
    uint32_t fileWidth_ = 0;
    uint32_t fileHeight_ = 0;
};

// Opens the picture in `path`, recognising BMP, JPEG and PNG by their first bytes.
// (fitWidth, fitHeight), when not zero, is the size the caller will reduce the picture
// to: a JPEG at least twice as large in both directions is then decoded at a reduced
// DCT scale that still gives at least that size. Null when the file is missing, is none
// of these formats or cannot be decoded.
std::unique_ptr<RowSource> OpenImage(const char* path, uint32_t fitWidth = 0, uint32_t fitHeight = 0);

// The decoders behind OpenImage. Each takes over the open file (and closes it), and
// returns null when the content is not its format or cannot be decoded.
std::unique_ptr<RowSource> OpenBmp(int fd);
std::unique_ptr<RowSource> OpenJpeg(int fd, uint32_t fitWidth, uint32_t fitHeight);
std::unique_ptr<RowSource> OpenPng(int fd);

// Area-averaging ("halftone") stretch of a RowSource to dstWidth x dstHeight, up or down
// in each direction independently.
//
// Source pixel i covers [i, i + 1) and destination pixel j covers [j s/d, (j + 1) s/d)
// along each axis (s source size, d destination size). A destination pixel is the
// average of the source colours weighted by the area each source pixel shares with it,
// exactly (integer weights, no floating point), per channel, rounded to nearest with
// halves rounded up. Palette pictures are averaged in their palette colours; pictures
// whose palette is all grey, and grey pictures, are averaged in one channel.
class AreaResampler {
public:
    AreaResampler(RowSource& source, uint32_t dstWidth, uint32_t dstHeight);
    ~AreaResampler();
    // 1 (grey: one byte a pixel) or 3 (blue, green, red).
    int Channels() const { return channels_; }
    // Writes the next destination row (Channels() x dstWidth bytes). False when the
    // source failed.
    bool NextRow(uint8_t* out);

private:
    struct Axis;
    bool FetchSourceRow();
    RowSource& source_;
    int channels_;
    uint32_t dstWidth_, dstHeight_;
    std::unique_ptr<Axis> xAxis_, yAxis_;
    std::vector<uint8_t> raw_;        // one source row as decoded
    std::vector<uint8_t> colours_;    // the same row as 1 or 3 channels
    std::vector<uint32_t> hRow_;      // the last source row, stretched horizontally
    std::vector<uint64_t> acc_;       // destination row being summed
    uint32_t nextSourceRow_ = 0;      // rows read from the source so far
    uint32_t nextDestRow_ = 0;
};

// Converts a decoded row to 1 channel (grey pictures) or 3 (blue, green, red).
void RowToColours(const PixelFormat& format, int channels, const uint8_t* row, uint8_t* out);
// Unpacks palette indices packed at `depth` bits into one byte each.
void UnpackIndices(const uint8_t* row, uint32_t depth, uint32_t width, uint8_t* out);

// The whole-picture service.
struct Bitmap {
    PixelFormat format;
    size_t pitch = 0;  // bytes from one row to the next
    std::vector<uint8_t> pixels;
};

// Decodes the whole picture at its own size; null when it cannot be decoded.
Bitmap* LoadBitmap(const char* path);
// Size and depth; a missing bitmap reads as 0, 0, 0.
uint32_t BitmapWidth(const Bitmap* bitmap);
uint32_t BitmapHeight(const Bitmap* bitmap);
uint32_t BitmapDepth(const Bitmap* bitmap);
// Address of the first byte of row r (0 = top).
const uint8_t* BitmapRow(const Bitmap* bitmap, uint32_t r);
// An empty 32-bit bitmap (blue, green, red, unused) of w x h, or null when the size is
// not acceptable.
Bitmap* CreateBitmap(uint32_t w, uint32_t h);
// Stretches the whole of `source` onto the rectangle (0, 0, w, h) of `dest` (a 32-bit
// bitmap at least that large) with the area averaging of AreaResampler.
bool StretchBitmap(const Bitmap& source, Bitmap& dest, uint32_t w, uint32_t h);
void ReleaseBitmap(Bitmap* bitmap);

}  // namespace qpimg
