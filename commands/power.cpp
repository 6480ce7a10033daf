// Power-management control: VCOM and the panel power supply.
#include "commands/commands.h"
#include "link/device_state.h"
#include "link/endian.h"

uint8_t PmicControl(PMICctrl& request) {
    SCSI_PASS_THROUGH_DIRECT stSPTDBuf;
    FillPassThrough(stSPTDBuf, kVendorOpcode, kCmdPmic, 1, 8, TransferBuffer);
    PutBe16(stSPTDBuf.Cdb + 7, request.Vcom);
    stSPTDBuf.Cdb[9] = request.SetVcom;
    stSPTDBuf.Cdb[10] = request.SwitchPower;
    stSPTDBuf.Cdb[11] = request.PowerState;
    const uint8_t result = CallTransport(stSPTDBuf);
    if (result) request.Vcom = GetBe16(TransferBuffer);
    return result;
}
