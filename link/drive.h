// The drive route: the controller behind the operating system's storage pass-through.
#pragma once
#include <string>
#include <utility>
#include <vector>

#include "link/run_lock.h"
#include "link/transport.h"

// Opens the drive at the path (as DrivePath gives it); returns the drive handle, or
// INVALID_HANDLE_VALUE. Linux opens it for reading only (INQUIRY and, with
// CAP_SYS_RAWIO, the vendor blocks need no more), Windows for read and write.
HANDLE OpenDrive(const std::string& path);

// What the system records of a drive before anything opens it.
enum class DriveRecord {
    kAbsent,      // no such drive
    kOther,       // a drive whose recorded identity is not the controller's (*identity holds it)
    kController,  // the controller, by its recorded identity
    kUnknown,     // nothing is recorded (Windows): only opening it tells
};
DriveRecord LookUpDrive(const std::string& path, std::string* identity);
// The drives to try after the letters A to Z: their names as printed ("AA") and paths.
// Linux: the SCSI disks past /dev/sdz whose recorded identity is the controller's.
std::vector<std::pair<std::string, std::string>> DrivesPastZ();
// Tells why a drive that is the controller, or may be, could not be opened, when it is
// for want of rights (a line on standard error, once).
void HintUnopenedDrive(const std::string& path, DriveRecord record);
// The end of the drive search that found no controller: Windows tells once that drives
// were refused for want of administrator rights.
void DriveSearchFoundNothing();
void CloseDrive(HANDLE drive);
// The platform's storage pass-through call, with the device-control signature.
BOOL DriveIoControl(HANDLE device, DWORD controlCode, void* inBuffer, DWORD inSize, void* outBuffer,
                    DWORD outSize, DWORD* bytesReturned, LPOVERLAPPED overlapped);
// Value printed for a failed open ("%d: No device connected.").
int FailedHandleValue(HANDLE drive);
// The path of the drive with the given letter, as OpenDrive opens it.
std::string DrivePath(char letter);
#if defined(_WIN32)
// The system calls of the Windows drive route, in one table so that tests can stand in
// for the system.
struct DriveApi {
    HANDLE(WINAPI* CreateFileA)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
    BOOL(WINAPI* DeviceIoControl)(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
    BOOL(WINAPI* CloseHandle)(HANDLE);
    UINT(WINAPI* SetErrorMode)(UINT);
};
// Replaces the system's calls (null: the system's own again).
void SetDriveApi(const DriveApi* api);
#endif

// One attempt to take the open drive's run lock (Linux: flock on the drive's descriptor).
LockTry TryLockDrive(HANDLE drive, std::string* why);
