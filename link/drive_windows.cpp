// The drive route on Windows: the storage pass-through on "\\.\X:".
#include <windows.h>

#include <cstdio>

#include "link/drive.h"

std::string DrivePath(char letter) {
    char cstrDriveName[8];
    snprintf(cstrDriveName, sizeof cstrDriveName, "\\\\.\\%c:", letter);
    return cstrDriveName;
}

HANDLE OpenDrive(char letter) {
    char cstrDriveName[8];
    snprintf(cstrDriveName, sizeof cstrDriveName, "\\\\.\\%c:", letter);
    return CreateFileA(cstrDriveName, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

void CloseDrive(HANDLE drive) {
    if (drive != nullptr && drive != INVALID_HANDLE_VALUE) CloseHandle(drive);
}

int FailedHandleValue(HANDLE drive) { return static_cast<int>(reinterpret_cast<intptr_t>(drive)); }

BOOL DriveIoControl(HANDLE device, DWORD controlCode, void* inBuffer, DWORD inSize, void* outBuffer, DWORD outSize,
                    DWORD* bytesReturned, LPOVERLAPPED overlapped) {
    return DeviceIoControl(device, controlCode, inBuffer, inSize, outBuffer, outSize, bytesReturned, overlapped);
}
