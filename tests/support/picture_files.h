// BMP, JPEG, PNG, GIF and TIFF files made in memory for tests: the exact bytes a file of a given layout
// holds, so decoders and the tool can be checked against known pixels.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace imgtest {

// One BMP file, as stored: `data` is the pixel data exactly as it lies in the file.
struct BmpLayout {
    uint32_t headerSize = 40;
    int32_t width = 0;
    int32_t height = 0;  // negative: top-down
    uint16_t bpp = 24;
    uint32_t compression = 0;
    std::vector<std::array<uint8_t, 3>> palette;  // blue, green, red
    std::vector<uint32_t> masks;                  // red, green, blue (bit fields)
    std::vector<uint8_t> data;
    int64_t pixelOffset = -1;  // default: right after the palette
};
std::vector<uint8_t> MakeBmp(const BmpLayout& shape);
// Lays out unpadded rows (top row first) as a BMP stores them: each padded to 4 bytes,
// bottom row first unless topDown.
std::vector<uint8_t> StoreRows(const std::vector<std::vector<uint8_t>>& rows, bool topDown);

// A JPEG made with libjpeg from pixels given as blue, green, red (3 bytes a pixel),
// grey (1) or C, M, Y, K (4).
struct JpegLayout {
    JpegLayout() = default;
    JpegLayout(int w, int h, int components_ = 3, bool progressive_ = false, bool arithmetic_ = false,
             int restartInterval_ = 0, int quality_ = 95)
        : width(w), height(h), components(components_), progressive(progressive_), arithmetic(arithmetic_),
          restartInterval(restartInterval_), quality(quality_) {}
    int width = 0, height = 0;
    int components = 3;
    bool progressive = false;
    bool arithmetic = false;
    int restartInterval = 0;  // a restart marker every this many MCUs; 0: none
    int quality = 95;
    bool subsample = true;    // 2 x 2 chroma subsampling (libjpeg's default) or none
    // A scan script of its own: each scan as component indices (-1 ends the list), then
    // Ss, Se, Ah, Al. Empty: libjpeg's default for the coding.
    struct Scan {
        int components[4];
        int Ss, Se, Ah, Al;
    };
    std::vector<Scan> scans;
};
std::vector<uint8_t> MakeJpeg(const JpegLayout& shape, const std::vector<uint8_t>& pixels);

// The marker segments of a JPEG file: each from its 0xFF to the next marker (a scan's
// segment includes its entropy-coded data). `marker` is the byte after 0xFF.
struct JpegSegment {
    size_t begin, end;
    uint8_t marker;
};
std::vector<JpegSegment> JpegSegments(const std::vector<uint8_t>& file);
// The file with scan number `scan` (from 0) repeated `times` more times right after itself.
std::vector<uint8_t> RepeatJpegScan(const std::vector<uint8_t>& file, size_t scan, size_t times);
// The file with the size in its frame header changed (the data stays as it was).
std::vector<uint8_t> WithJpegSize(std::vector<uint8_t> file, uint16_t width, uint16_t height);

// A PNG made with libpng. Samples are given row after row from the top, one value per
// channel (grey; grey, alpha; red, green, blue; red, green, blue, alpha; or a palette
// index), each below 2^bitDepth.
struct PngLayout {
    PngLayout() = default;
    PngLayout(uint32_t w, uint32_t h, int colourType_ = 2, int bitDepth_ = 8)
        : width(w), height(h), colourType(colourType_), bitDepth(bitDepth_) {}
    uint32_t width = 0, height = 0;
    int colourType = 2;  // 0 grey, 2 RGB, 3 palette, 4 grey + alpha, 6 RGBA
    int bitDepth = 8;
    bool interlaced = false;
    std::vector<std::array<uint8_t, 3>> palette;  // red, green, blue
    std::vector<uint8_t> paletteAlpha;            // tRNS for palette files
    double gamma = 0;                             // gAMA chunk when not 0
    bool srgb = false;                            // sRGB chunk
};
std::vector<uint8_t> MakePng(const PngLayout& shape, const std::vector<uint16_t>& samples);

// A GIF made with giflib: one frame of indices (row after row from the top) at (left,
// top) on a screen of screenWidth x screenHeight; an interlaced frame is written in its
// four passes.
struct GifLayout {
    uint32_t screenWidth = 0, screenHeight = 0;
    uint32_t left = 0, top = 0, width = 0, height = 0;
    std::vector<std::array<uint8_t, 3>> globalMap, localMap;  // red, green, blue; sizes 2^n
    int transparent = -1;  // index, or -1 for no graphic control block
    bool interlaced = false;
};
std::vector<uint8_t> MakeGif(const GifLayout& shape, const std::vector<uint8_t>& indices);

// A TIFF made with libtiff. Samples are given pixel after pixel (each pixel's samples side
// by side, spp of them), row after row from the top, each below 2^bits; the file stores
// them as the layout says.
struct TiffLayout {
    uint32_t width = 0, height = 0;
    uint16_t bits = 8, spp = 1;
    uint16_t photometric = 1;  // 0 min-is-white, 1 min-is-black, 2 RGB, 3 palette, 5 CMYK, 6 YCbCr
    bool separate = false;     // planes rather than interleaved samples
    uint32_t tileWidth = 0, tileHeight = 0;  // tiled when not 0 (multiples of 16)
    uint32_t rowsPerStrip = 0;               // 0: libtiff's default
    uint16_t compression = 1;  // 1 none, 5 LZW, 8 deflate, 32773 PackBits, 7 JPEG
    uint16_t predictor = 1;
    std::vector<uint16_t> extraSamples;      // their kinds: 0 unspecified, 1 associated, 2 unassociated alpha
    std::vector<std::array<uint16_t, 3>> colourMap;  // red, green, blue, 2^bits entries
    bool bigEndian = false, bigTiff = false;
    uint16_t orientation = 0;  // written when not 0
    uint16_t sampleFormat = 0;  // written when not 0
};
std::vector<uint8_t> MakeTiff(const TiffLayout& shape, const std::vector<uint16_t>& samples);

}  // namespace imgtest
