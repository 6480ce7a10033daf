// Core controller commands: memory read and write, load image area, display area,
// engine information and the low-speed switch.
#include <cstdio>
#include <cstring>

#include "commands/commands.h"
#include "link/device_state.h"
#include "link/endian.h"
#include "link/report.h"

namespace {

// The address-and-length block of 0x81 and 0xA5.
void FillAddressLength(SCSI_PASS_THROUGH_DIRECT& sptd, uint32_t address, uint16_t length) {
    PutBe32(sptd.Cdb + 2, address);
    PutBe16(sptd.Cdb + 7, length);
}

constexpr uint32_t kLdImgInfoSize = 20;

}  // namespace

bool ReadMemoryInFull(uint32_t address, uint16_t length, uint8_t* destination) {
    SCSI_PASS_THROUGH_DIRECT stSPTDBuf;
    FillPassThrough(stSPTDBuf, kVendorOpcode, kCmdReadMemory, 1, length, destination);
    FillAddressLength(stSPTDBuf, address, length);
    DWORD dwReturnBytes = 0;
    return CallTransport(stSPTDBuf, &dwReturnBytes) != 0 && dwReturnBytes >= length;
}

uint8_t ReadMemory(uint32_t address, uint16_t length, uint8_t* destination) {
    ReadMemoryInFull(address, length, destination);
    return 1;
}

uint8_t WriteMemory(uint32_t address, uint16_t length, const uint8_t* source) {
    SCSI_PASS_THROUGH_DIRECT stSPTDBuf;
    FillPassThrough(stSPTDBuf, kVendorOpcode, kCmdWriteMemory, 0, length, const_cast<uint8_t*>(source));
    FillAddressLength(stSPTDBuf, address, length);
    return CallTransport(stSPTDBuf);
}

uint8_t LoadImageArea(LdImgInfo& header, const uint8_t* pixels) {
    // The pixel count travels as a 16-bit quantity.
    const uint16_t n = static_cast<uint16_t>(header.W * header.H);
    SCSI_PASS_THROUGH_DIRECT stSPTDBuf;
    FillPassThrough(stSPTDBuf, kVendorOpcode, kCmdLoadImageArea, 0, n + kLdImgInfoSize, TransferBuffer);

    header.ImageBufferAddress = HostToBe32(header.ImageBufferAddress);
    header.X = HostToBe32(header.X);
    header.Y = HostToBe32(header.Y);
    header.W = HostToBe32(header.W);
    header.H = HostToBe32(header.H);
    static_assert(sizeof(LdImgInfo) == kLdImgInfoSize);
    std::memcpy(TransferBuffer, &header, kLdImgInfoSize);
    if (n != 0) std::memcpy(TransferBuffer + kLdImgInfoSize, pixels, n);
    return CallTransport(stSPTDBuf);
}

uint8_t DisplayArea(uint32_t x, uint32_t y, uint32_t w, uint32_t h, uint32_t mode, uint32_t imageBufferAddress,
                    uint32_t enWait) {
    uint8_t stDrawUPDArgData[sizeof(DrawUPDArgData)];
    const uint32_t fields[] = {imageBufferAddress, mode, x, y, w, h, enWait};
    for (size_t i = 0; i < 7; ++i) PutBe32(stDrawUPDArgData + 4 * i, fields[i]);

    SCSI_PASS_THROUGH_DIRECT stSPTDBuf;
    FillPassThrough(stSPTDBuf, kVendorOpcode, kCmdDisplayArea, 0, sizeof stDrawUPDArgData, stDrawUPDArgData);
    return CallTransport(stSPTDBuf);
}

uint8_t GetEngineInfo() {
    SCSI_PASS_THROUGH_DIRECT stSPTDBuf;
    FillPassThrough(stSPTDBuf, kVendorOpcode, kCmdEngineInfo, 1, 8, TransferBuffer);
    const uint8_t result = CallTransport(stSPTDBuf);
    ENG eng{{GetBe32(TransferBuffer), GetBe32(TransferBuffer + 4)}};
    Say("%X\n", eng.Word[0]);
    Say("%X\n", eng.Word[1]);
    return result;
}

uint8_t LowSpeedUsb() {
    SCSI_PASS_THROUGH_DIRECT stSPTDBuf;
    FillPassThrough(stSPTDBuf, kVendorOpcode, kCmdLowSpeedUsb, 0, 0, nullptr);
    return CallTransport(stSPTDBuf);
}
