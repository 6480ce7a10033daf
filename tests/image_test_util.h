// Helpers shared by the image tests: scratch files, BMP and JPEG writers, and a device
// state with a panel and an image buffer.
#pragma once
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

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

}  // namespace imgtest
