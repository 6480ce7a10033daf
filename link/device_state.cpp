#include "link/device_state.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "commands/commands.h"
#include "link/drive.h"
#include "link/pipe.h"
#include "link/report.h"
#include "link/run_lock.h"

DeviceState g_DeviceState;

namespace {

void CloseOpenDevice() {
    DeviceState& ds = g_DeviceState;
    if (!IsDeviceOpen()) return;
    if (ds.TransportKind == kTransportBulkOnly) {
        auto* pipe = static_cast<PipeDevice*>(ds.hDevice);
        pipe->Backend->Close(pipe->Device);
        delete pipe;
    } else if (ds.TransportKind == kTransportDrive) {
        CloseDrive(ds.hDevice);
    }
}

}  // namespace

[[noreturn]] void EndRun(int status, RunError error) { throw RunEnded{status, error}; }

bool IsDeviceOpen() {
    HANDLE h = g_DeviceState.hDevice;
    return h != nullptr && h != INVALID_HANDLE_VALUE;
}

StartOutcome StartDevice(const StartRules& rules) {
    DeviceState& ds = g_DeviceState;
    const bool named = rules.Route != nullptr && rules.Route[0] != '\0';
    const bool found = named ? FindDeviceAt(rules.Route) : FindDevice();
    if (!found) {
        if (rules.Strict) return StartOutcome::kNotFound;
        Say("QP7730 not found!\n");
    }
    // The run has the controller to itself from its first command after the
    // identification on; a run that cannot have it ends before sending anything.
    if (found && !AcquireRunLock()) EndRun(-1, RunError::kBusy);

    GetSystemInfo(ds.SystemInfo);
    // Every address the library uses comes from the system information.
    if (rules.Strict && !ds.SystemInfoComplete) return StartOutcome::kNoSystemInfo;
    Say("Panel width = %d\n", static_cast<int>(ds.SystemInfo[kSysInfoPanelWidth]));
    Say("Panel height = %d\n", static_cast<int>(ds.SystemInfo[kSysInfoPanelHeight]));
    Say("Image Buffer Address = 0x%X\n", ds.SystemInfo[kSysInfoImageBufferAddress]);
    if (!AllocateHostImageBuffer()) {
        Say("Image buffer allocate failed!\n");
        return StartOutcome::kNoImageBuffer;
    }
    return found ? StartOutcome::kStarted : StartOutcome::kNotFound;
}

void StartDevice() { StartDevice(StartRules{}); }

bool AllocateHostImageBuffer() {
    DeviceState& ds = g_DeviceState;
    FreeHostImageBuffer();
    // The product is a 32-bit quantity: one that does not fit is a failed allocation,
    // never a wrapped (small) buffer.
    const uint64_t size = uint64_t{ds.PanelWidth} * ds.PanelHeight;
    if (size <= 0xFFFFFFFFu) ds.HostImageBuffer = new (std::nothrow) uint8_t[size];
    return ds.HostImageBuffer != nullptr;
}

void FreeHostImageBuffer() {
    delete[] g_DeviceState.HostImageBuffer;
    g_DeviceState.HostImageBuffer = nullptr;
}

void CloseDevice() {
    CloseOpenDevice();
    g_DeviceState.hDevice = nullptr;
    g_DeviceState.TransportKind = kTransportNone;
    ReleaseRunLock();
    ForgetDiscovery();
    ForgetHints();
}

void ResetDeviceState() {
    CloseDevice();
    FreeHostImageBuffer();
    std::memset(&g_DeviceState, 0, sizeof g_DeviceState);
    std::memset(TransferBuffer, 0, sizeof TransferBuffer);
}
