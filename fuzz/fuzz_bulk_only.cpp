// The tool's bulk-only adapter against a device that answers with arbitrary messages:
// status wrappers of any size and content, data phases shorter or longer than asked,
// failed transfers anywhere. Each input runs a few commands of either direction and
// also the discovery that reads the identity through the same adapter.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "link/device_state.h"
#include "link/pipe.h"
#include "link/transport.h"
#include "tests/support/scripted_pipe.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::QuietProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    ScriptedPipe pipe;
    const int messages = in.ConsumeIntegralInRange(0, 8);
    for (int i = 0; i < messages; ++i) {
        // Mostly status-sized messages, now and then a data phase of any length.
        const size_t n = in.ConsumeBool() ? in.ConsumeIntegralInRange<size_t>(0, 16)
                                          : in.ConsumeIntegralInRange<size_t>(0, 70000);
        pipe.inQueue.push_back(in.ConsumeBytes<uint8_t>(n));
    }
    for (int i = in.ConsumeIntegralInRange(0, 3); i > 0; --i) pipe.failAt.insert(in.ConsumeIntegralInRange(0, 12));

    if (in.ConsumeBool()) {
        // Discovery: INQUIRY through the adapter, then the identity check.
        const PipeBackend* const routes[] = {&ScriptedPipe::kBackend};
        SetPipeBackends(routes, 1);
        FindPipeController(ScriptedPipe::kBackend);
        CloseDevice();
        SetPipeBackends(nullptr, 0);
        return 0;
    }
    PipeDevice device{&ScriptedPipe::kBackend, &pipe};
    for (int c = in.ConsumeIntegralInRange(1, 3); c > 0; --c) {
        const uint8_t dataIn = in.ConsumeBool();
        const uint32_t length = in.ConsumeIntegralInRange<uint32_t>(0, 140000);
        std::vector<uint8_t> buffer(length, 0x5A);
        SCSI_PASS_THROUGH_DIRECT sptd;
        FillPassThrough(sptd, kVendorOpcode, 0xA5, dataIn, length, buffer.data());
        DWORD returned = 0;
        BulkOnlyTransport(&device, IOCTL_SCSI_PASS_THROUGH_DIRECT, &sptd, sizeof sptd, &sptd, sizeof sptd, &returned,
                          nullptr);
        if (returned > length) __builtin_trap();  // more returned than the buffer holds
    }
    return 0;
}
