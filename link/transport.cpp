#include "link/transport.h"

#include <cstring>

#include "link/device_state.h"

uint8_t TransferBuffer[kTransferBufferSize];

void FillPassThrough(SCSI_PASS_THROUGH_DIRECT& sptd, uint8_t opcode, uint8_t subCommand, uint8_t dataIn,
                     uint32_t length, void* buffer) {
    std::memset(&sptd, 0, sizeof sptd);
    sptd.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    sptd.CdbLength = 16;
    sptd.SenseInfoLength = 0;
    sptd.DataIn = dataIn;
    sptd.DataTransferLength = length;
    sptd.TimeOutValue = kPassThroughTimeout;
    sptd.DataBuffer = length != 0 ? buffer : nullptr;
    sptd.SenseInfoOffset = 0;
    sptd.Cdb[0] = opcode;
    if (opcode == kVendorOpcode) sptd.Cdb[6] = subCommand;
}

uint8_t CallTransport(SCSI_PASS_THROUGH_DIRECT& sptd, DWORD* returned) {
    DWORD dwReturnBytes = 0;
    if (returned) *returned = 0;
    if (g_DeviceState.TransportFn == nullptr) return 0;
    BOOL ok = g_DeviceState.TransportFn(g_DeviceState.hDevice, IOCTL_SCSI_PASS_THROUGH_DIRECT, &sptd, sizeof sptd,
                                        &sptd, sizeof sptd, &dwReturnBytes, nullptr);
    if (returned && ok) *returned = dwReturnBytes;
    return static_cast<uint8_t>(ok);
}
