// Helpers shared by the image tests: scratch files, BMP and JPEG writers, and a device
// state with a panel and an image buffer.
#pragma once
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "link/device_state.h"

namespace imgtest {

// A folder of its own under the test's temporary directory, removed afterwards.
std::string ScratchDir();
std::string WriteFile(const std::string& name, const std::vector<uint8_t>& bytes);

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

// Device state for a panel of w x h with an image buffer; restores the state afterwards.
class PanelFixture : public ::testing::Test {
protected:
    void SetPanel(uint32_t w, uint32_t h);
    void SetUp() override { SetPanel(800, 600); }
    void TearDown() override;
    std::vector<uint8_t> buffer_;
};

// Calls that LoadImageFile made to TransferImageArea in this test program.
struct TransferCall {
    const uint8_t* source;
    uint32_t base, x, y, w, h;
    std::vector<uint8_t> pixels;  // w x h bytes, copied at the call
};
extern std::vector<TransferCall> g_TransferCalls;

}  // namespace imgtest
