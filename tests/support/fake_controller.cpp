#include "tests/support/fake_controller.h"

#include <algorithm>
#include <cstring>

#include "commands/commands.h"
#include "link/endian.h"

namespace {
constexpr size_t kMemorySize = 8u << 20;
constexpr size_t kFlashSize = 4u << 20;

// The fake sits behind the transport entry; its pipe backend only has to close.
void* NoOpen(const std::string&) { return nullptr; }
TransferResult NoTransfer(void*, uint8_t, uint8_t*, uint32_t, uint32_t*) { return TransferResult::kError; }
int NoError(void*) { return 0; }
void NoClose(void*) {}
std::string NoLocation(void*) { return "fake"; }
const PipeBackend kFakeBackend = {"fake", NoOpen, NoTransfer, NoError, NoClose, NoLocation, nullptr, nullptr, nullptr, nullptr, nullptr};
}

FakeController::FakeController() : memory(kMemorySize, 0), flash(kFlashSize, 0xFF) {}

FakeController::~FakeController() {
    if (handle_ != nullptr && g_DeviceState.hDevice == handle_) ResetDeviceState();
}

void FakeController::Install(uint32_t panelWidth, uint32_t panelHeight, uint32_t imageBuffer) {
    ResetDeviceState();
    systemInfo[kSysInfoPanelWidth] = panelWidth;
    systemInfo[kSysInfoPanelHeight] = panelHeight;
    systemInfo[kSysInfoImageBufferAddress] = imageBuffer;
    systemInfo[kSysInfoWaveformAddress] = 0x200000;
    g_DeviceState.TransportKind = kTransportBulkOnly;
    handle_ = new PipeDevice{&kFakeBackend, this};
    g_DeviceState.hDevice = handle_;
    g_DeviceState.TransportFn = Transport;
    GetSystemInfo(g_DeviceState.SystemInfo);
    log.clear();
}

std::vector<const RecordedCommand*> FakeController::WithSubCommand(uint8_t sub) const {
    std::vector<const RecordedCommand*> out;
    for (const auto& c : log)
        if (c.cdb[0] == 0xFE && c.SubCommand() == sub) out.push_back(&c);
    return out;
}

BOOL FakeController::Transport(HANDLE device, DWORD, void* in, DWORD, void*, DWORD, DWORD* bytesReturned,
                               LPOVERLAPPED) {
    auto* self = static_cast<FakeController*>(static_cast<PipeDevice*>(device)->Device);
    auto& sptd = *static_cast<SCSI_PASS_THROUGH_DIRECT*>(in);
    RecordedCommand cmd;
    std::memcpy(cmd.cdb.data(), sptd.Cdb, 16);
    cmd.recordLength = sptd.Length;
    cmd.cdbLength = sptd.CdbLength;
    cmd.dataIn = sptd.DataIn;
    cmd.length = sptd.DataTransferLength;
    cmd.buffer = sptd.DataBuffer;
    cmd.timeout = sptd.TimeOutValue;
    if (sptd.DataIn == 0 && sptd.DataTransferLength != 0 && sptd.DataBuffer != nullptr) {
        auto* p = static_cast<const uint8_t*>(sptd.DataBuffer);
        cmd.dataOut.assign(p, p + sptd.DataTransferLength);
    }
    self->log.push_back(cmd);
    const size_t index = self->log.size() - 1;
    if (self->accept && !self->accept(cmd, index)) return 0;
    uint32_t returned = cmd.length;
    if (!(self->ignore && self->ignore(cmd, index)) &&
        !self->Execute(cmd, sptd.DataIn == 1 ? static_cast<uint8_t*>(sptd.DataBuffer) : nullptr, &returned))
        return 0;
    if (bytesReturned) *bytesReturned = returned;
    return 1;
}

bool FakeController::Execute(const RecordedCommand& cmd, uint8_t* dataIn, uint32_t* returned) {
    const auto& out = cmd.dataOut;
    auto inMemory = [&](uint64_t a, uint64_t n) { return a + n <= memory.size(); };
    auto inFlash = [&](uint64_t a, uint64_t n) { return a + n <= flash.size(); };
    if (cmd.cdb[0] == 0x12) {
        std::memset(dataIn, 0, cmd.length);
        std::memcpy(dataIn + 8, identity.data(), std::min<size_t>(identity.size(), cmd.length - 8));
        return true;
    }
    const uint32_t blockAddress = GetBe32(cmd.cdb.data() + 2);
    switch (cmd.SubCommand()) {
    case 0x80: {
        uint8_t reply[sizeof systemInfo];
        for (int i = 0; i < kSystemInfoWords; ++i) PutBe32(reply + 4 * i, systemInfo[i]);
        *returned = std::min<uint32_t>({cmd.length, systemInfoBytes, sizeof reply});
        std::memcpy(dataIn, reply, *returned);
        return true;
    }
    case 0x81:
        if (!inMemory(blockAddress, cmd.length)) return false;
        std::memcpy(dataIn, memory.data() + blockAddress, cmd.length);
        return true;
    case 0xA5:
        if (!inMemory(blockAddress, out.size())) return false;
        std::memcpy(memory.data() + blockAddress, out.data(), out.size());
        return true;
    case 0xA2: {
        if (out.size() < 20) return false;
        const uint32_t base = GetBe32(&out[0]), x = GetBe32(&out[4]), y = GetBe32(&out[8]);
        const uint32_t w = GetBe32(&out[12]), h = GetBe32(&out[16]);
        const uint32_t pitch = systemInfo[kSysInfoPanelWidth];
        for (uint32_t r = 0; r < h; ++r) {
            const uint64_t at = uint64_t{base} + uint64_t{y + r} * pitch + x;
            if (!inMemory(at, w)) return false;
            std::memcpy(memory.data() + at, &out[20 + size_t{r} * w], w);
        }
        return true;
    }
    case 0x96: {
        const uint32_t a = GetBe32(&out[0]), n = GetBe32(&out[4]);
        if (!inFlash(a, n)) return false;
        std::memset(flash.data() + a, 0xFF, n);
        return true;
    }
    case 0x97:
    case 0x98: {
        const uint32_t f = GetBe32(&out[0]), m = GetBe32(&out[4]), n = GetBe32(&out[8]);
        if (!inFlash(f, n) || !inMemory(m, n)) return false;
        if (cmd.SubCommand() == 0x97)
            std::memcpy(memory.data() + m, flash.data() + f, n);
        else
            for (uint32_t i = 0; i < n; ++i) flash[f + i] &= memory[m + i];
        return true;
    }
    case 0xA3:
        if (cmd.cdb[9] == 2) vcom = GetBe16(cmd.cdb.data() + 7);
        if (cmd.cdb[10] == 1) powerState = cmd.cdb[11];
        std::memset(dataIn, 0, cmd.length);
        PutBe16(dataIn, vcom);
        return true;
    case 0xAD:
        PutBe32(dataIn, engine[0]);
        PutBe32(dataIn + 4, engine[1]);
        return true;
    default:
        if (cmd.dataIn == 1 && reply) reply(cmd, dataIn);
        return true;
    }
}

std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<uint8_t> out;
    for (int v : values) out.push_back(static_cast<uint8_t>(v));
    return out;
}

std::string Hex(const uint8_t* data, size_t n) {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        if (i) s += ' ';
        s += digits[data[i] >> 4];
        s += digits[data[i] & 15];
    }
    return s;
}
