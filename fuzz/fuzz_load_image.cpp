// "-load FILE" on arbitrary bytes (named .bmp: the content decides the format): format detection, decoding (BMP, JPEG, PNG, GIF, TIFF), the fit
// to a small panel, the grey conversion and the transfer, through LoadImageFile with
// the in-process fake controller installed; then the same bytes decoded from memory with
// the library's fits and orientation.
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
    // The same bytes from memory, with the library's fits and the EXIF orientation, into
    // a box that the input's length chooses.
    FitOptions fit;
    fit.mode = static_cast<FitMode>(size % 3);
    fit.orient = (size & 4) != 0;
    fit.boxWidth = 64 - (size & 3) * 13;
    fit.boxHeight = 48 - (size >> 2 & 3) * 11;
    try {
        DecodeBytesToGrey(data, size, fit);
    } catch (const RunEnded&) {
    }
    ResetDeviceState();
    return 0;
}
