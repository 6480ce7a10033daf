// Helpers shared by the image tests: scratch files, a device state with a panel and an
// image buffer, whole pictures read through the decoders, and a reference fit.
#pragma once
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <cstdint>
#include <string>
#include <vector>

#include "image/image_service.h"
#include "link/device_state.h"
#include "tests/support/picture_files.h"

namespace imgtest {

// A folder of its own under the test's temporary directory, removed afterwards.
std::string ScratchDir();
std::string WriteFile(const std::string& name, const std::vector<uint8_t>& bytes);

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

// Runs `work` in a child process and measures it: wall time, and how much the child's
// peak resident memory grew beyond what it inherited. The child is killed after
// `limitMs`. Standard output and error of the child are discarded.
struct Bounded {
    bool finished = false;  // ended by itself within the limit
    double ms = 0;
    double peakGrowthMb = 0;
};
Bounded RunBounded(const std::function<void()>& work, int limitMs);
// LoadImageFile on a panel of its own (for a child of RunBounded).
void LoadInChild(const std::string& path, uint32_t panelWidth = 800, uint32_t panelHeight = 600);
// Sanitizer builds run several times slower; time bounds of tests are multiplied by this.
extern const int kSlowdown;
// ThreadSanitizer keeps four bytes of shadow for each byte of memory that instrumented
// code allocates; memory bounds of tests are multiplied by this.
extern const int kMemoryOverhead;

// A whole picture read through qpimg::OpenImage, row by row.
struct Decoded {
    bool ok = false;
    std::string why;              // OpenImage's reason, or the failing row's
    qpimg::PixelFormat format;    // as delivered
    uint32_t fileWidth = 0, fileHeight = 0;
    std::vector<uint8_t> bgr;     // every pixel as blue, green, red, rows from the top
};
Decoded DecodeFile(const std::string& path, uint32_t fitWidth = 0, uint32_t fitHeight = 0);

// The grey rule written out here, apart from the library: (red x 0.3 + green x 0.587) +
// blue x 0.114 in doubles, truncated.
uint8_t ReferenceGrey(uint8_t blue, uint8_t green, uint8_t red);
std::vector<uint8_t> ReferenceGreyOf(const std::vector<uint8_t>& bgr);

// The fit by its definition, slowly: each destination pixel of dw x dh is the average of
// the sw x sh source pixels (blue, green, red) weighted by the area they share with it,
// per channel, rounded half up. Blue, green, red out.
std::vector<uint8_t> ReferenceFit(const std::vector<uint8_t>& bgr, uint32_t sw, uint32_t sh, uint32_t dw, uint32_t dh);

}  // namespace imgtest
