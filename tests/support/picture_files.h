// BMP and JPEG files made in memory for tests: the exact bytes a file of a given layout
// holds, so decoders and the tool can be checked against known pixels.
#pragma once
#include <array>
#include <cstdint>
#include <vector>

namespace imgtest {

// One BMP file, as stored: `data` is the pixel data exactly as it lies in the file.
struct BmpSpec {
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
std::vector<uint8_t> MakeBmp(const BmpSpec& shape);
// Lays out unpadded rows (top row first) as a BMP stores them: each padded to 4 bytes,
// bottom row first unless topDown.
std::vector<uint8_t> StoreRows(const std::vector<std::vector<uint8_t>>& rows, bool topDown);

// A JPEG made with libjpeg from pixels given as blue, green, red (3 bytes a pixel),
// grey (1) or C, M, Y, K (4).
struct JpegSpec {
    int width = 0, height = 0;
    int components = 3;
    bool progressive = false;
    bool arithmetic = false;
    int restartInterval = 0;  // a restart marker every this many MCUs; 0: none
    int quality = 95;
};
std::vector<uint8_t> MakeJpeg(const JpegSpec& shape, const std::vector<uint8_t>& pixels);

}  // namespace imgtest
