// "-upgrade 1|2 FILE" on arbitrary firmware and waveform files against the in-process
// fake controller: header check, erase, program, read-back and the header's handling.
// The first input byte chooses the type word and the file's extension.
#include <cstddef>
#include <cstdint>
#include <string>

#include "cli/numbers.h"
#include "flash/flash_upgrade.h"
#include "fuzz/fuzz_support.h"
#include "link/device_state.h"
#include "tests/support/fake_controller.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::QuietProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static FakeController* fake = new FakeController;
    const uint8_t choice = data[0];
    const char* type = (choice & 1) ? "2" : "1";
    const std::string name = (choice & 2) ? "image.bin" : "image.wbf";
    const std::string path = fuzz::WriteInput(data + 1, size - 1, name);
    fake->log.clear();
    fake->Install(64, 48, 0x1000);
    // Now and then a controller without waveform support, or one whose waveform area
    // sits at the start of flash.
    if (choice & 4) g_DeviceState.SystemInfo[kSysInfoWaveformAddress] = (choice & 8) ? kNoWaveformSupport : 0;
    try {
        UpgradeFlash(AtoI(type), path.c_str());
    } catch (const RunEnded&) {
    }
    ResetDeviceState();
    return 0;
}
