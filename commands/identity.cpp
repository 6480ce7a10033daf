// The two commands of start-up: the standard INQUIRY that proves the identity, and the
// system-information command that gives the panel size and the controller's addresses.
#include <cstring>

#include "commands/commands.h"
#include "link/device_state.h"
#include "link/endian.h"

namespace {

constexpr uint8_t kInquiryOpcode = 0x12;
constexpr uint32_t kInquiryLength = 40;
constexpr uint32_t kSystemInfoLength = 112;
constexpr size_t kSystemInfoBytes = kSystemInfoWords * 4;

}  // namespace

uint8_t Inquiry() {
    SCSI_PASS_THROUGH_DIRECT stSPTDBuf;
    FillPassThrough(stSPTDBuf, kInquiryOpcode, 0, 1, kInquiryLength, TransferBuffer);
    return CallTransport(stSPTDBuf);
}

void GetSystemInfo(uint32_t (&systemInfo)[kSystemInfoWords]) {
    SCSI_PASS_THROUGH_DIRECT stSPTDBuf;
    FillPassThrough(stSPTDBuf, kVendorOpcode, kCmdSystemInfo, 1, kSystemInfoLength, TransferBuffer);
    stSPTDBuf.Cdb[2] = '7';
    stSPTDBuf.Cdb[3] = '7';
    stSPTDBuf.Cdb[4] = '3';
    stSPTDBuf.Cdb[5] = '0';
    stSPTDBuf.Cdb[8] = 0x01;
    stSPTDBuf.Cdb[10] = 0x02;
    DWORD dwReturnBytes = 0;
    const uint8_t ok = CallTransport(stSPTDBuf, &dwReturnBytes);

    // Only the words that really arrived are taken: a failed command leaves all of them
    // zero and a short reply the ones it did not carry, rather than whatever an earlier
    // command left in the shared buffer. Anything less than the whole reply is recorded,
    // so that nothing relies on an address the controller never gave.
    const uint32_t arrived = ok ? (dwReturnBytes < kSystemInfoLength ? dwReturnBytes : kSystemInfoLength) : 0;
    std::memset(systemInfo, 0, kSystemInfoBytes);
    for (uint32_t i = 0; i < arrived / 4; ++i) systemInfo[i] = GetBe32(TransferBuffer + 4 * i);
    // On the drive route a command the controller refused (CHECK CONDITION) still counts as
    // a completed exchange; its data phase is no reply all the same.
    g_DeviceState.SystemInfoComplete = arrived == kSystemInfoLength && stSPTDBuf.ScsiStatus == 0;
    g_DeviceState.PanelWidth = systemInfo[kSysInfoPanelWidth];
    g_DeviceState.PanelHeight = systemInfo[kSysInfoPanelHeight];
}
