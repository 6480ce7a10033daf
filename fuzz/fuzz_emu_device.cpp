// The emulator's side of the link: arbitrary command wrappers, data-out phases, reads of
// any capacity, stalls, halt clears and resets, in any order, into BulkOnlyDevice over a
// small emu::Model, on its USB view or its socket view (the first byte picks), with faults
// from the input. The input is a list of steps; a step that sends a wrapper builds it from
// the input (valid signature and length most of the time, a standard SCSI opcode or the
// vendor one, so that the commands get parsed). What a host may rely on is checked: no
// transfer longer than asked, no stall on a socket.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "emu/bulk_only_device.h"
#include "fuzz/fuzz_support.h"
#include "link/endian.h"

namespace {

// Faults, each for the command the input names.
struct InputFaults : emu::CommandListener {
    explicit InputFaults(FuzzedDataProvider& in) : in(in) {}
    std::optional<emu::FaultKind> OnWrapper() override {
        if (in.remaining_bytes() == 0 || in.ConsumeIntegralInRange(0, 7) != 0) return std::nullopt;
        return static_cast<emu::FaultKind>(in.ConsumeIntegralInRange(0, emu::kFaultKinds - 1));
    }
    void OnOutcome(const emu::CommandOutcome& o) override {
        if (o.wellFormed != (o.command != nullptr)) abort();
    }
    FuzzedDataProvider& in;
};

constexpr uint8_t kOpcodes[] = {0x00, 0x03, 0x08, 0x12, 0x15, 0x1A, 0x1B, 0x1E, 0x25, 0x28,
                                0x2A, 0x35, 0x55, 0x5A, 0x9E, 0xA8, 0xFE, 0x4D};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::QuietProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // One model for the process: building one costs its 16 MiB of flash.
    static emu::Model* model = new emu::Model(fuzz::SmallModel());
    FuzzedDataProvider in(data, size);
    const emu::DeviceView view = in.ConsumeBool() ? emu::DeviceView::Usb : emu::DeviceView::Socket;
    InputFaults faults(in);
    emu::BulkOnlyDevice device(*model, view, &faults);
    std::vector<uint8_t> answer;
    for (int step = 0; step < 64 && in.remaining_bytes() > 0; ++step) {
        switch (in.ConsumeIntegralInRange(0, 8)) {
        case 0: {  // a wrapper, fields from the input
            uint8_t cbw[emu::kCbwSize] = {};
            PutLe32(cbw, in.ConsumeIntegralInRange(0, 15) ? emu::kCbwSignature : in.ConsumeIntegral<uint32_t>());
            PutLe32(cbw + 4, in.ConsumeIntegral<uint32_t>());
            PutLe32(cbw + 8, in.ConsumeBool() ? in.ConsumeIntegralInRange<uint32_t>(0, 0x20000)
                                              : in.ConsumeIntegral<uint32_t>());
            cbw[12] = in.ConsumeBool() ? 0x80 : 0x00;
            if (in.ConsumeIntegralInRange(0, 15) == 0) cbw[13] = in.ConsumeIntegral<uint8_t>();
            cbw[14] = in.ConsumeBool() ? 16 : in.ConsumeIntegralInRange<uint8_t>(0, 17);
            const std::vector<uint8_t> cdb = in.ConsumeBytes<uint8_t>(16);
            if (!cdb.empty()) std::memcpy(cbw + 15, cdb.data(), cdb.size());
            if (in.ConsumeBool()) cbw[15] = kOpcodes[in.ConsumeIntegralInRange<size_t>(0, sizeof kOpcodes - 1)];
            if (device.Out(cbw) == emu::UsbStatus::Stall && view == emu::DeviceView::Socket) abort();
            break;
        }
        case 1: {  // raw bytes: a malformed wrapper or a data-out piece
            const std::vector<uint8_t> raw = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 70000));
            if (device.Out(raw) == emu::UsbStatus::Stall && view == emu::DeviceView::Socket) abort();
            break;
        }
        case 2:
        case 3: {  // a read of the next data-in piece or the status
            const size_t capacity = step % 2 ? emu::kCswSize : in.ConsumeIntegralInRange<size_t>(0, 0x20000);
            answer.clear();
            const emu::UsbStatus status = device.In(capacity, &answer);
            if (answer.size() > capacity || (status == emu::UsbStatus::Stall && view == emu::DeviceView::Socket)) abort();
            break;
        }
        case 4: device.StallDataPhase(); break;
        case 5: device.ClearHalt(in.ConsumeBool() ? 0x81 : 0x02); break;
        case 6: device.ClassReset(); break;
        case 7: device.BusReset(); break;
        case 8: device.Disconnect(); break;
        }
    }
    return 0;
}
