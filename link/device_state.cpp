#include "link/device_state.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "link/drive.h"
#include "link/endian.h"
#include "link/pipe.h"
#include "link/report.h"
#include "link/run_lock.h"

DeviceState g_DeviceState;

namespace {

constexpr uint8_t kInquiryOpcode = 0x12;
constexpr uint32_t kInquiryLength = 40;
constexpr uint32_t kSystemInfoLength = 112;
constexpr size_t kSystemInfoBytes = kSystemInfoWords * 4;

const PipeBackend* const* g_pipeBackends = nullptr;
char g_driveLetter = 0;  // letter of the open drive, for its run lock
int g_pipeBackendCount = 0;

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

void SetPipeBackends(const PipeBackend* const* backends, int count) {
    g_pipeBackends = backends;
    g_pipeBackendCount = backends ? count : 0;
}

[[noreturn]] void EndRun(int status, RunError error) { throw RunEnded{status, error}; }

bool IsDeviceOpen() {
    HANDLE h = g_DeviceState.hDevice;
    return h != nullptr && h != INVALID_HANDLE_VALUE;
}

uint8_t Inquiry() {
    SCSI_PASS_THROUGH_DIRECT stSPTDBuf;
    FillPassThrough(stSPTDBuf, kInquiryOpcode, 0, 1, kInquiryLength, TransferBuffer);
    return CallTransport(stSPTDBuf);
}

bool InquiryTextMatches() {
    TransferBuffer[36] = 0;
    return std::strcmp(reinterpret_cast<const char*>(TransferBuffer + 8), kControllerIdentity) == 0;
}

void GetSystemInfo(uint32_t (&systemInfo)[kSystemInfoWords]) {
    SCSI_PASS_THROUGH_DIRECT stSPTDBuf;
    FillPassThrough(stSPTDBuf, kVendorOpcode, 0x80, 1, kSystemInfoLength, TransferBuffer);
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

bool FindDevice() {
    DeviceState& ds = g_DeviceState;
    const PipeBackend* const* backends = g_pipeBackends ? g_pipeBackends : kPipeBackends;
    const int count = g_pipeBackends ? g_pipeBackendCount : kPipeBackendCount;
    for (int i = 0; i < count; ++i) {
        if (FindPipeController(*backends[i])) return true;
    }

    ds.TransportFn = DriveIoControl;
    for (int index = 0; index < 26; ++index) {
        if (TryDrive(static_cast<char>('A' + index))) return true;
    }
    return false;
}

bool TryDrive(char letter) {
    DeviceState& ds = g_DeviceState;
    ds.TransportFn = DriveIoControl;
    ds.hDevice = OpenDrive(letter);
    Say("\nSearching for device in %c:// ...\n", letter);
    if (ds.hDevice == INVALID_HANDLE_VALUE) {
        Say("%d: No device connected.\n", FailedHandleValue(ds.hDevice));
    } else {
        if (Inquiry()) {
            const bool matches = InquiryTextMatches();
            Say("Device found.\n");
            Say("DevName: %s\n", reinterpret_cast<const char*>(TransferBuffer + 8));
            if (matches) {
                ds.TransportKind = kTransportDrive;
                g_driveLetter = letter;
                return true;
            }
        }
        CloseDrive(ds.hDevice);
    }
    ds.hDevice = nullptr;
    return false;
}

// Where the open device is, naming its run lock.
std::string DeviceLocation() {
    const DeviceState& ds = g_DeviceState;
    if (ds.TransportKind == kTransportDrive) return DrivePath(g_driveLetter);
    const auto* pipe = static_cast<const PipeDevice*>(ds.hDevice);
    return pipe->Backend->Location ? pipe->Backend->Location(pipe->Device) : pipe->Backend->Name;
}

void StartDevice() {
    DeviceState& ds = g_DeviceState;
    FindDevice();
    if (!IsDeviceOpen()) Say("QP7730 not found!\n");
    // The run has the controller to itself from its first command after the
    // identification on; a run that cannot have it ends before sending anything.
    if (IsDeviceOpen() && !AcquireRunLock()) EndRun(-1, RunError::kBusy);

    GetSystemInfo(ds.SystemInfo);
    Say("Panel width = %d\n", static_cast<int>(ds.SystemInfo[kSysInfoPanelWidth]));
    Say("Panel height = %d\n", static_cast<int>(ds.SystemInfo[kSysInfoPanelHeight]));
    Say("Image Buffer Address = 0x%X\n", ds.SystemInfo[kSysInfoImageBufferAddress]);
    if (!AllocateHostImageBuffer()) Say("Image buffer allocate failed!\n");
}

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
    ForgetNamedRoute();
    g_driveLetter = 0;
}

void ResetDeviceState() {
    CloseDevice();
    FreeHostImageBuffer();
    std::memset(&g_DeviceState, 0, sizeof g_DeviceState);
    std::memset(TransferBuffer, 0, sizeof TransferBuffer);
}
