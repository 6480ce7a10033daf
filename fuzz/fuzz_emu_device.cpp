// The emulator's side of the link: arbitrary command wrappers, data-out phases, reads of
// any capacity and stalls, in any order, into BulkOnlyDevice over a small emu::Model.
// The input is a list of steps; a step that sends a wrapper builds it from the input
// (valid signature and length byte most of the time, so that the commands get parsed).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "emu/bulk_only_device.h"
#include "fuzz/fuzz_support.h"
#include "link/endian.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::QuietProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // One model for the process: building one costs its 16 MiB of flash.
    static emu::Model* model = new emu::Model(fuzz::SmallModel());
    emu::BulkOnlyDevice device(*model);
    FuzzedDataProvider in(data, size);
    std::vector<uint8_t> answer;
    for (int step = 0; step < 64 && in.remaining_bytes() > 0; ++step) {
        switch (in.ConsumeIntegralInRange(0, 4)) {
        case 0: {  // a wrapper shaped like the tool's, fields from the input
            uint8_t cbw[emu::kCbwSize] = {};
            PutLe32(cbw, emu::kCbwSignature);
            PutLe32(cbw + 4, in.ConsumeIntegral<uint32_t>());
            PutLe32(cbw + 8, in.ConsumeBool() ? in.ConsumeIntegralInRange<uint32_t>(0, 0x20000)
                                              : in.ConsumeIntegral<uint32_t>());
            cbw[12] = in.ConsumeBool() ? 0x80 : 0x00;
            cbw[14] = 16;
            const std::vector<uint8_t> cdb = in.ConsumeBytes<uint8_t>(16);
            if (!cdb.empty()) std::memcpy(cbw + 15, cdb.data(), cdb.size());
            device.Out(cbw);
            break;
        }
        case 1: {  // raw bytes: a malformed wrapper or a data-out piece
            const std::vector<uint8_t> raw = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 70000));
            device.Out(raw);
            break;
        }
        case 2:  // a read of the next data-in piece or the status
            device.In(in.ConsumeIntegralInRange<size_t>(0, 0x20000), &answer);
            break;
        case 3:
            device.StallDataPhase();
            break;
        case 4:
            device.In(emu::kCswSize, &answer);
            break;
        }
    }
    return 0;
}
