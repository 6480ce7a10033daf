// The drive route: the controller behind the operating system's storage pass-through.
#pragma once
#include <string>

#include "link/run_lock.h"
#include "link/transport.h"

// Opens the drive with the given letter ('A'..'Z') for read and write; returns the drive
// handle, or INVALID_HANDLE_VALUE. On Linux letter X is /dev/sdx.
HANDLE OpenDrive(char letter);
void CloseDrive(HANDLE drive);
// The platform's storage pass-through call, with the device-control signature.
BOOL DriveIoControl(HANDLE device, DWORD controlCode, void* inBuffer, DWORD inSize, void* outBuffer,
                    DWORD outSize, DWORD* bytesReturned, LPOVERLAPPED overlapped);
// Value printed for a failed open ("%d: No device connected.").
int FailedHandleValue(HANDLE drive);
// The path of the drive with the given letter, as OpenDrive opens it.
std::string DrivePath(char letter);
// One attempt to take the open drive's run lock (Linux: flock on the drive's descriptor).
LockTry TryLockDrive(HANDLE drive, std::string* why);
