// The controller's USB interface through WinUSB: found by SetupAPI among the device
// interfaces of its class whose path holds the match string, opened for overlapped I/O,
// and moved over one bulk pipe at a time with a bounded wait.
#pragma once
#include <windows.h>
#include <setupapi.h>
#include <winusb.h>

#include <cstdint>

// What identifies the controller's interface.
struct DeviceMatch {
    const wchar_t* MatchString;  // must occur, case-sensitively, in the interface's path
    GUID InterfaceClass;
};
extern const DeviceMatch kDeviceMatch;

constexpr size_t kDevicePathChars = MAX_PATH;  // 260, the terminator included

// An open device; created by WinUsbOpen, released only by WinUsbClose.
struct WinUsbDevice {
    HANDLE FileHandle;                     // INVALID_HANDLE_VALUE when absent
    WINUSB_INTERFACE_HANDLE WinUsbHandle;  // null when absent
    wchar_t DevicePath[kDevicePathChars];
    DWORD LastError;  // the system's error code of the last failed transfer
};

// The system calls of this route, in one table so that tests can stand in for the
// system (there is no device to talk to on a test machine).
struct WinUsbApi {
    HDEVINFO(WINAPI* SetupDiGetClassDevsW)(const GUID*, PCWSTR, HWND, DWORD);
    BOOL(WINAPI* SetupDiEnumDeviceInterfaces)(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD,
                                              PSP_DEVICE_INTERFACE_DATA);
    BOOL(WINAPI* SetupDiGetDeviceInterfaceDetailW)(HDEVINFO, PSP_DEVICE_INTERFACE_DATA,
                                                   PSP_DEVICE_INTERFACE_DETAIL_DATA_W, DWORD, PDWORD,
                                                   PSP_DEVINFO_DATA);
    BOOL(WINAPI* SetupDiDestroyDeviceInfoList)(HDEVINFO);
    HANDLE(WINAPI* CreateFileW)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
    BOOL(WINAPI* CloseHandle)(HANDLE);
    BOOL(WINAPI* WinUsb_Initialize)(HANDLE, PWINUSB_INTERFACE_HANDLE);
    BOOL(WINAPI* WinUsb_Free)(WINUSB_INTERFACE_HANDLE);
    BOOL(WINAPI* WinUsb_ReadPipe)(WINUSB_INTERFACE_HANDLE, UCHAR, PUCHAR, ULONG, PULONG, LPOVERLAPPED);
    BOOL(WINAPI* WinUsb_WritePipe)(WINUSB_INTERFACE_HANDLE, UCHAR, PUCHAR, ULONG, PULONG, LPOVERLAPPED);
    BOOL(WINAPI* WinUsb_GetOverlappedResult)(WINUSB_INTERFACE_HANDLE, LPOVERLAPPED, LPDWORD, BOOL);
    BOOL(WINAPI* WinUsb_AbortPipe)(WINUSB_INTERFACE_HANDLE, UCHAR);
    BOOL(WINAPI* WinUsb_FlushPipe)(WINUSB_INTERFACE_HANDLE, UCHAR);
    BOOL(WINAPI* WinUsb_ResetPipe)(WINUSB_INTERFACE_HANDLE, UCHAR);
    BOOL(WINAPI* WinUsb_ControlTransfer)(WINUSB_INTERFACE_HANDLE, WINUSB_SETUP_PACKET, PUCHAR, ULONG, PULONG,
                                         LPOVERLAPPED);
};
// Replaces the system's calls (null: the system's own again).
void SetWinUsbApi(const WinUsbApi* api);

// Opens the first interface that `match` identifies; null when there is none or it
// cannot be opened. Prints nothing and leaves nothing open on failure.
WinUsbDevice* WinUsbOpen(const DeviceMatch& match);
// Releases the WinUSB handle, closes the file and frees the record; null does nothing.
void WinUsbClose(WinUsbDevice* device);
// Searches the interfaces of the class for the first path holding the match string and
// copies it into device->DevicePath. Any failure while one interface is examined (a
// path of 260 characters or more included) ends the search with false.
bool FindDevicePath(WinUsbDevice* device, const wchar_t* match, const GUID& interfaceClass);
// One bulk transfer of len bytes on the pipe (bit 7 set: IN, read into buf), waited on
// for at most 6,000 ms. True when it completed, also when short; *moved (may be null)
// then holds the bytes moved. A failed or unfinished transfer is aborted and the pipe
// flushed.
bool WinUsbPipeTransfer(WinUsbDevice* device, uint8_t pipe, uint8_t* buf, uint32_t len, uint32_t* moved);
// Clears a halted pipe: WinUsb_ResetPipe resets the host's side and sends the device
// CLEAR_FEATURE(ENDPOINT_HALT).
bool WinUsbClearHalt(WinUsbDevice* device, uint8_t pipe);
// The class request Bulk-Only Mass Storage Reset to the interface, through
// WinUsb_ControlTransfer, waited on for at most 6,000 ms.
bool WinUsbClassReset(WinUsbDevice* device);
