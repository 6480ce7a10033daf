// The drive route on Windows: the storage pass-through on "\\.\X:".
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

#include "link/drive.h"
#include "link/report.h"
#include "link/sptd_layout.h"

// The record the Linux build defines for itself must be the platform's, field for field:
// the commands fill one and the same layout on both systems.
#define QP7730_SAME_OFFSET(field)                                                         \
    static_assert(offsetof(PassThroughDirectLayout, field) == offsetof(SCSI_PASS_THROUGH_DIRECT, field) && \
                      sizeof(PassThroughDirectLayout::field) == sizeof(SCSI_PASS_THROUGH_DIRECT::field), \
                  "PassThroughDirectLayout::" #field " differs from the platform's record")
QP7730_SAME_OFFSET(Length);
QP7730_SAME_OFFSET(ScsiStatus);
QP7730_SAME_OFFSET(PathId);
QP7730_SAME_OFFSET(TargetId);
QP7730_SAME_OFFSET(Lun);
QP7730_SAME_OFFSET(CdbLength);
QP7730_SAME_OFFSET(SenseInfoLength);
QP7730_SAME_OFFSET(DataIn);
QP7730_SAME_OFFSET(DataTransferLength);
QP7730_SAME_OFFSET(TimeOutValue);
QP7730_SAME_OFFSET(DataBuffer);
QP7730_SAME_OFFSET(SenseInfoOffset);
QP7730_SAME_OFFSET(Cdb);
#undef QP7730_SAME_OFFSET
static_assert(sizeof(PassThroughDirectLayout) == sizeof(SCSI_PASS_THROUGH_DIRECT));
static_assert(IOCTL_SCSI_PASS_THROUGH_DIRECT == 0x4D014);

std::string DrivePath(char letter) {
    char cstrDriveName[8];
    snprintf(cstrDriveName, sizeof cstrDriveName, "\\\\.\\%c:", letter);
    return cstrDriveName;
}

namespace {

const DriveApi kSystemApi = {::CreateFileA, ::DeviceIoControl, ::CloseHandle, ::SetErrorMode};
const DriveApi* g_api = &kSystemApi;

// The alignment mask of each open drive's adapter: data buffers of a pass-through must
// start on a multiple of mask + 1.
std::map<HANDLE, DWORD> g_alignment;
bool g_accessDenied = false;  // a drive of this search was refused for want of rights

// The adapter's alignment mask: the storage adapter descriptor, else the SCSI port's
// capabilities, else none.
DWORD AlignmentMask(HANDLE drive) {
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = StorageAdapterProperty;
    query.QueryType = PropertyStandardQuery;
    STORAGE_ADAPTER_DESCRIPTOR adapter{};
    DWORD bytes = 0;
    if (g_api->DeviceIoControl(drive, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &adapter, sizeof adapter,
                               &bytes, nullptr) &&
        bytes >= offsetof(STORAGE_ADAPTER_DESCRIPTOR, AlignmentMask) + sizeof adapter.AlignmentMask)
        return adapter.AlignmentMask;
    IO_SCSI_CAPABILITIES capabilities{};
    if (g_api->DeviceIoControl(drive, IOCTL_SCSI_GET_CAPABILITIES, nullptr, 0, &capabilities, sizeof capabilities,
                               &bytes, nullptr) &&
        bytes >= offsetof(IO_SCSI_CAPABILITIES, AlignmentMask) + sizeof capabilities.AlignmentMask)
        return capabilities.AlignmentMask;
    return 0;
}

}  // namespace

void SetDriveApi(const DriveApi* api) { g_api = api ? api : &kSystemApi; }

// An empty card reader must not stop the search with a system dialog: critical errors go
// to the caller for the length of the open.
HANDLE OpenDrive(const std::string& path) {
    const UINT previous = g_api->SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    const HANDLE drive = g_api->CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    const DWORD error = GetLastError();
    g_api->SetErrorMode(previous);
    if (drive == INVALID_HANDLE_VALUE) {
        g_accessDenied = g_accessDenied || error == ERROR_ACCESS_DENIED;
        return drive;
    }
    g_alignment[drive] = AlignmentMask(drive);
    return drive;
}

DriveRecord LookUpDrive(const std::string&, std::string*) { return DriveRecord::kUnknown; }
std::vector<std::pair<std::string, std::string>> DrivesPastZ() { return {}; }
void HintUnopenedDrive(const std::string&, DriveRecord) {}
void DriveSearchFoundNothing() {
    if (g_accessDenied)
        Hint("qp7730: drives could not be opened for want of administrator rights (access denied): run qp7730 as "
             "administrator to reach the controller behind a drive letter\n");
    g_accessDenied = false;
}

void CloseDrive(HANDLE drive) {
    if (drive == nullptr || drive == INVALID_HANDLE_VALUE) return;
    g_alignment.erase(drive);
    g_api->CloseHandle(drive);
}

int FailedHandleValue(HANDLE drive) { return static_cast<int>(reinterpret_cast<intptr_t>(drive)); }

// A data buffer the adapter cannot take where it is goes through an aligned copy of it:
// the record sent names the copy, and the caller's record gets back what the driver wrote.
BOOL DriveIoControl(HANDLE device, DWORD controlCode, void* inBuffer, DWORD inSize, void* outBuffer, DWORD outSize,
                    DWORD* bytesReturned, LPOVERLAPPED overlapped) {
    const auto found = g_alignment.find(device);
    const DWORD mask = found != g_alignment.end() ? found->second : 0;
    auto* caller = static_cast<SCSI_PASS_THROUGH_DIRECT*>(inBuffer);
    SCSI_PASS_THROUGH_DIRECT record{};
    std::unique_ptr<uint8_t[]> copy;
    void* in = inBuffer;
    void* out = outBuffer;
    const bool bounce = caller != nullptr && inSize >= sizeof record && caller->DataBuffer != nullptr &&
                        caller->DataTransferLength != 0 &&
                        (reinterpret_cast<uintptr_t>(caller->DataBuffer) & mask) != 0;
    uint8_t* aligned = nullptr;
    if (bounce) {
        copy.reset(new uint8_t[caller->DataTransferLength + mask]);
        aligned = reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(copy.get()) + mask) & ~uintptr_t{mask});
        if (caller->DataIn != 1) std::memcpy(aligned, caller->DataBuffer, caller->DataTransferLength);
        record = *caller;
        record.DataBuffer = aligned;
        in = &record;
        out = &record;
    }
    DWORD recordBytes = 0;
    const BOOL ok = g_api->DeviceIoControl(device, controlCode, in, inSize, out, outSize, &recordBytes, overlapped);
    if (bounce) {
        if (ok && caller->DataIn == 1) std::memcpy(caller->DataBuffer, aligned, caller->DataTransferLength);
        void* const callerBuffer = caller->DataBuffer;
        if (outBuffer != nullptr && outSize >= sizeof record) {
            *static_cast<SCSI_PASS_THROUGH_DIRECT*>(outBuffer) = record;
            static_cast<SCSI_PASS_THROUGH_DIRECT*>(outBuffer)->DataBuffer = callerBuffer;
        }
    }
    // DeviceIoControl counts the bytes of the record it hands back. Callers want the data
    // bytes the command moved (as on Linux: length less residue), which the driver leaves
    // in the returned record's DataTransferLength.
    if (ok && bytesReturned != nullptr && outBuffer != nullptr && outSize >= sizeof(SCSI_PASS_THROUGH_DIRECT)) {
        *bytesReturned = static_cast<const SCSI_PASS_THROUGH_DIRECT*>(outBuffer)->DataTransferLength;
    }
    return ok;
}
