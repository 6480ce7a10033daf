// "-load FILE" on arbitrary bytes (named .bmp: the content decides the format): format detection, decoding (BMP, JPEG, PNG), the fit
// to a small panel, the grey conversion and the transfer, through LoadImageFile with
// the in-process fake controller installed.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "image/image.h"
#include "link/device_state.h"
#include "tests/support/fake_controller.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::QuietProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static FakeController* fake = new FakeController;
    const std::string path = fuzz::WriteInput(data, size, "picture.bmp");
    fake->log.clear();
    fake->Install(64, 48, 0x1000);
    g_DeviceState.HostImageBuffer = new uint8_t[64 * 48];
    try {
        LoadImageFile(path.c_str());
    } catch (const RunEnded&) {
    }
    ResetDeviceState();
    return 0;
}
