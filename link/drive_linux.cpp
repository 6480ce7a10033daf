// The drive route on Linux: drive letter X is the SCSI disk /dev/sdx, and the
// pass-through record travels in an SG_IO request (same block, direction, length,
// buffer and timeout).
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "link/discovery.h"
#include "link/drive.h"
#include "link/system_records.h"
#include "link/report.h"
#include "platform/platform.h"

namespace {

struct LinuxDrive {
    int fd;
    char name[16];
    bool gone;  // the disk went away: later requests fail at once, without a report
};

bool g_permissionHintGiven = false;
int g_openError = 0;  // errno of the last failed open

constexpr unsigned kDriverSense = 0x08;
constexpr unsigned kHostNoConnect = 0x01;
constexpr const char* kGone = ": the controller is gone; no further commands are sent";

// What the SCSI layer's host status says, for the ones a USB disk gives.
const char* HostStatusText(unsigned status) {
    switch (status) {
        case 0x01: return ", no device";
        case 0x03: return ", timed out";
        case 0x05: return ", aborted";
        case 0x07: return ", transport error";
        case 0x08: return ", reset";
        default: return "";
    }
}

}  // namespace

std::string DrivePath(char letter) { return std::string("/dev/sd") + static_cast<char>(letter - 'A' + 'a'); }

// Read-only: the kernel allows INQUIRY on such a descriptor, the vendor blocks need
// CAP_SYS_RAWIO whatever the mode, and closing a descriptor that could not write sets off
// no re-probe of the disk by udev.
HANDLE OpenDrive(const std::string& path) {
    auto* drive = new LinuxDrive{};
    snprintf(drive->name, sizeof drive->name, "%s", path.c_str());
    drive->fd = open(drive->name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (drive->fd < 0) {
        g_openError = errno;
        delete drive;
        return INVALID_HANDLE_VALUE;
    }
    return drive;
}

// The kernel keeps each SCSI disk's INQUIRY identity in sysfs: only a disk recorded as the
// controller is ever opened, so the user's other disks are left alone.
DriveRecord LookUpDrive(const std::string& path, std::string* identity) {
    *identity = DiskIdentity(path.substr(5));  // "/dev/sdb" -> "sdb"
    if (identity->empty()) return DriveRecord::kAbsent;
    return *identity == kControllerIdentity ? DriveRecord::kController : DriveRecord::kOther;
}

std::vector<std::pair<std::string, std::string>> DrivesPastZ() {
    std::vector<std::pair<std::string, std::string>> drives;
    for (const std::string& disk : ::DisksPastZ()) {
        if (DiskIdentity(disk) != kControllerIdentity) continue;
        std::string letters = disk.substr(2);
        for (char& c : letters) c = static_cast<char>(c - 'a' + 'A');
        drives.emplace_back(letters, "/dev/" + disk);
    }
    return drives;
}

void HintUnopenedDrive(const std::string& path, DriveRecord record) {
    if (record != DriveRecord::kController || (g_openError != EACCES && g_openError != EPERM)) return;
    Hint("qp7730: %s is the controller, but this user may not open it (%s). Use it on USB with the udev rule "
         "70-qp7730.rules (the user at the seat may open the USB device), or run as root\n",
         path.c_str(), std::strerror(g_openError));
}

void DriveSearchFoundNothing() {}

void CloseDrive(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
    auto* drive = static_cast<LinuxDrive*>(handle);
    close(drive->fd);
    delete drive;
}

// The run lock of a drive is an exclusive flock on the drive's own descriptor, the
// convention for block devices that udev and systemd follow (udev leaves a disk it finds
// locked alone meanwhile). Only a user who may open the node can hold it; the kernel
// drops it when the descriptor closes, with the device or with the process.
LockTry TryLockDrive(HANDLE handle, std::string* why) {
    auto* drive = static_cast<LinuxDrive*>(handle);
    int rc;
    do rc = flock(drive->fd, LOCK_EX | LOCK_NB);
    while (rc != 0 && errno == EINTR);
    if (rc == 0) return LockTry::kTaken;
    if (errno == EWOULDBLOCK) return LockTry::kHeld;
    *why = std::string(drive->name) + ": " + std::strerror(errno);
    return LockTry::kFailed;
}

int FailedHandleValue(HANDLE handle) { return static_cast<int>(reinterpret_cast<intptr_t>(handle)); }

BOOL DriveIoControl(HANDLE handle, DWORD, void* inBuffer, DWORD, void*, DWORD, DWORD* bytesReturned, LPOVERLAPPED) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || inBuffer == nullptr) return 0;
    auto* drive = static_cast<LinuxDrive*>(handle);
    if (drive->gone) return 0;
    auto& sptd = *static_cast<SCSI_PASS_THROUGH_DIRECT*>(inBuffer);

    sg_io_hdr_t io{};
    io.interface_id = 'S';
    io.cmd_len = sptd.CdbLength;
    io.cmdp = sptd.Cdb;
    io.dxfer_len = sptd.DataTransferLength;
    io.dxferp = sptd.DataBuffer;
    if (sptd.DataTransferLength == 0)
        io.dxfer_direction = SG_DXFER_NONE;
    else
        io.dxfer_direction = sptd.DataIn == 1 ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV;
    io.timeout = sptd.TimeOutValue * 1000;
    io.mx_sb_len = 0;
    io.sbp = nullptr;

    if (ioctl(drive->fd, SG_IO, &io) != 0) {
        const int error = errno;
        if (error == EPERM || error == EACCES) {
            // The kernel lets anyone with write access send an INQUIRY, but vendor blocks
            // need CAP_SYS_RAWIO. Say once what to do; standard output stays as it is.
            if (sptd.Cdb[0] == kVendorOpcode && !g_permissionHintGiven) {
                g_permissionHintGiven = true;
                Warn("qp7730: %s refused a controller command (permission denied). Run as root, or grant the "
                     "capability: setcap cap_sys_rawio+ep qp7730\n",
                     drive->name);
            }
            Explain("%s refused a controller command: %s; vendor commands need root or the capability "
                    "cap_sys_rawio", drive->name, OsErrorText(error).c_str());
        } else {
            drive->gone = error == ENODEV || error == ENXIO;
            Warn("[FAIL] %s SG_IO (%s)%s\n", drive->name, strerror(error), drive->gone ? kGone : "");
            Explain("%s: the exchange failed: %s%s", drive->name, OsErrorText(error).c_str(), drive->gone ? kGone : "");
        }
        return 0;
    }
    // Like the platform pass-through, the call succeeds when the request reached the
    // device and completed; the SCSI status itself is not looked at. An exchange that
    // broke on the way (time-out, transport error, device gone) fails, with one line on
    // standard error like the pipe routes' diagnostics.
    if (io.host_status != 0) {
        drive->gone = io.host_status == kHostNoConnect;
        Warn("[FAIL] %s SG_IO (host status 0x%02X%s)%s\n", drive->name, io.host_status,
             HostStatusText(io.host_status), drive->gone ? kGone : "");
        Explain("%s: the exchange broke (host status 0x%02X%s)%s", drive->name, io.host_status,
                HostStatusText(io.host_status), drive->gone ? kGone : "");
        return 0;
    }
    if ((io.driver_status & ~kDriverSense) != 0) {
        Warn("[FAIL] %s SG_IO (driver status 0x%02X)\n", drive->name, io.driver_status);
        Explain("%s: the exchange failed (driver status 0x%02X)", drive->name, io.driver_status);
        return 0;
    }
    if (bytesReturned) *bytesReturned = sptd.DataTransferLength - static_cast<DWORD>(io.resid);
    sptd.ScsiStatus = io.status;
    return 1;
}
