#include "tests/image_test_util.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "image/image.h"


// The image tests check what the pipeline hands to the area transfer, not how the transfer
// chunks it (that has tests of its own): this recording definition stands in for the
// library's. It wins because area_transfer.o, which defines nothing else, is then never
// pulled from the static library.
__attribute__((weak)) bool TransferImageArea(const uint8_t* source, uint32_t base, uint32_t x, uint32_t y,
                                             uint32_t w, uint32_t h) {
    imgtest::g_TransferCalls.push_back({source, base, x, y, w, h, std::vector<uint8_t>(source, source + size_t{w} * h)});
    return true;
}

namespace imgtest {

std::vector<TransferCall> g_TransferCalls;

namespace {
class ScratchEnvironment : public ::testing::Environment {
public:
    void TearDown() override {
        if (!dir.empty()) std::filesystem::remove_all(dir);
    }
    std::string dir;
};
ScratchEnvironment* g_Scratch =
    static_cast<ScratchEnvironment*>(::testing::AddGlobalTestEnvironment(new ScratchEnvironment));

}  // namespace

std::string ScratchDir() {
    if (g_Scratch->dir.empty()) {
        g_Scratch->dir = ::testing::TempDir() + "qp7730-image-" + std::to_string(getpid());
        std::filesystem::create_directories(g_Scratch->dir);
    }
    return g_Scratch->dir;
}

std::string WriteFile(const std::string& name, const std::vector<uint8_t>& bytes) {
    std::string path = ScratchDir() + "/" + name;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
}

void PanelFixture::SetPanel(uint32_t w, uint32_t h) {
    memset(&g_DeviceState, 0, sizeof g_DeviceState);
    g_DeviceState.PanelWidth = w;
    g_DeviceState.PanelHeight = h;
    g_DeviceState.SystemInfo[kSysInfoPanelWidth] = w;
    g_DeviceState.SystemInfo[kSysInfoPanelHeight] = h;
    g_DeviceState.SystemInfo[kSysInfoImageBufferAddress] = 0x00120000;
    buffer_.assign(size_t{w} * h, 0xEE);
    g_DeviceState.HostImageBuffer = buffer_.data();
    g_TransferCalls.clear();
}

void PanelFixture::TearDown() {
    memset(&g_DeviceState, 0, sizeof g_DeviceState);
    g_TransferCalls.clear();
}

}  // namespace imgtest
