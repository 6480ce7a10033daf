// The drive route on Windows: the storage pass-through on "\\.\X:".
#include <windows.h>

#include <cstddef>
#include <cstdio>

#include "link/drive.h"
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

HANDLE OpenDrive(const std::string& path) {
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

DriveRecord LookUpDrive(const std::string&, std::string*) { return DriveRecord::kUnknown; }
std::vector<std::pair<std::string, std::string>> DrivesPastZ() { return {}; }
void HintUnopenedDrive(const std::string&, DriveRecord) {}
void DriveSearchFoundNothing() {}

void CloseDrive(HANDLE drive) {
    if (drive != nullptr && drive != INVALID_HANDLE_VALUE) CloseHandle(drive);
}

int FailedHandleValue(HANDLE drive) { return static_cast<int>(reinterpret_cast<intptr_t>(drive)); }

BOOL DriveIoControl(HANDLE device, DWORD controlCode, void* inBuffer, DWORD inSize, void* outBuffer, DWORD outSize,
                    DWORD* bytesReturned, LPOVERLAPPED overlapped) {
    DWORD recordBytes = 0;
    const BOOL ok =
        DeviceIoControl(device, controlCode, inBuffer, inSize, outBuffer, outSize, &recordBytes, overlapped);
    // DeviceIoControl counts the bytes of the record it hands back. Callers want the data
    // bytes the command moved (as on Linux: length less residue), which the driver leaves
    // in the returned record's DataTransferLength.
    if (ok && bytesReturned != nullptr && outBuffer != nullptr && outSize >= sizeof(SCSI_PASS_THROUGH_DIRECT)) {
        *bytesReturned = static_cast<const SCSI_PASS_THROUGH_DIRECT*>(outBuffer)->DataTransferLength;
    }
    return ok;
}
