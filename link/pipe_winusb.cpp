// The USB route on Windows: the controller's interface through WinUSB, as a pipe backend
// of the bulk-only adapter.
#include <cstddef>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "link/pipe.h"
#include "link/winusb.h"

// {6B1E93C4-2D57-4F80-A3E6-91C0B4D27F15}
const DeviceMatch kDeviceMatch = {
    L"vid_3a7c&pid_7730",
    {0x6B1E93C4, 0x2D57, 0x4F80, {0xA3, 0xE6, 0x91, 0xC0, 0xB4, 0xD2, 0x7F, 0x15}},
};

namespace {

const WinUsbApi kSystemApi = {
    ::SetupDiGetClassDevsW, ::SetupDiEnumDeviceInterfaces, ::SetupDiGetDeviceInterfaceDetailW,
    ::SetupDiDestroyDeviceInfoList, ::CreateFileW, ::CloseHandle, ::WinUsb_Initialize, ::WinUsb_Free,
    ::WinUsb_ReadPipe, ::WinUsb_WritePipe, ::WinUsb_GetOverlappedResult, ::WinUsb_AbortPipe, ::WinUsb_FlushPipe,
    ::WinUsb_ResetPipe, ::WinUsb_ControlTransfer,
};

const WinUsbApi* g_api = &kSystemApi;

// Looks at one enumerated interface: copies its path into the record. False when its
// detail cannot be had or the path does not fit the record.
bool ReadInterfacePath(HDEVINFO list, SP_DEVICE_INTERFACE_DATA& interfaceData, WinUsbDevice* device) {
    DWORD required = 0;
    g_api->SetupDiGetDeviceInterfaceDetailW(list, &interfaceData, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return false;
    auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(LocalAlloc(LMEM_FIXED, required));
    if (detail == nullptr) return false;
    // The size of the record's fixed part as this build lays it out: 8 in a 64-bit
    // program (6 in a 32-bit one).
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    bool copied = false;
    if (g_api->SetupDiGetDeviceInterfaceDetailW(list, &interfaceData, detail, required, nullptr, nullptr)) {
        const size_t chars = (required - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / sizeof(wchar_t);
        const size_t length = wcsnlen(detail->DevicePath, chars);
        if (length < kDevicePathChars && length < chars) {
            wmemcpy(device->DevicePath, detail->DevicePath, length + 1);
            copied = true;
        }
    }
    LocalFree(detail);
    return copied;
}

}  // namespace

void SetWinUsbApi(const WinUsbApi* api) { g_api = api ? api : &kSystemApi; }

bool FindDevicePath(WinUsbDevice* device, const wchar_t* match, const GUID& interfaceClass) {
    HDEVINFO list = g_api->SetupDiGetClassDevsW(&interfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (list == INVALID_HANDLE_VALUE) return false;
    // cbSize is this build's size of the record: 32 in a 64-bit program (28 in a 32-bit one).
    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof interfaceData;
    bool found = false;
    for (DWORD index = 0; g_api->SetupDiEnumDeviceInterfaces(list, nullptr, &interfaceClass, index, &interfaceData);
         ++index) {
        if (!ReadInterfacePath(list, interfaceData, device)) break;
        if (wcsstr(device->DevicePath, match) != nullptr) {
            found = true;
            break;
        }
    }
    g_api->SetupDiDestroyDeviceInfoList(list);
    return found;
}

void WinUsbClose(WinUsbDevice* device) {
    if (device == nullptr) return;
    if (device->WinUsbHandle != nullptr) g_api->WinUsb_Free(device->WinUsbHandle);
    if (device->FileHandle != INVALID_HANDLE_VALUE) g_api->CloseHandle(device->FileHandle);
    free(device);
}

WinUsbDevice* WinUsbOpen(const DeviceMatch& match) {
    auto* device = static_cast<WinUsbDevice*>(calloc(1, sizeof(WinUsbDevice)));
    if (device == nullptr) return nullptr;
    device->FileHandle = INVALID_HANDLE_VALUE;
    if (FindDevicePath(device, match.MatchString, match.InterfaceClass)) {
        device->FileHandle = g_api->CreateFileW(device->DevicePath, GENERIC_READ | GENERIC_WRITE,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
        if (device->FileHandle != INVALID_HANDLE_VALUE &&
            g_api->WinUsb_Initialize(device->FileHandle, &device->WinUsbHandle)) {
            return device;
        }
    }
    WinUsbClose(device);  // the WinUSB handle, then the file, then the record
    return nullptr;
}

bool WinUsbPipeTransfer(WinUsbDevice* device, uint8_t pipe, uint8_t* buf, uint32_t len, uint32_t* moved) {
    if (moved) *moved = 0;
    if (device == nullptr) return false;
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) {
        device->LastError = GetLastError();
        return false;
    }
    const WINUSB_INTERFACE_HANDLE usb = device->WinUsbHandle;
    ULONG started = 0;
    const BOOL immediate = (pipe & 0x80) ? g_api->WinUsb_ReadPipe(usb, pipe, buf, len, &started, &overlapped)
                                         : g_api->WinUsb_WritePipe(usb, pipe, buf, len, &started, &overlapped);
    // A start that failed outright queued nothing: there is nothing to wait for, and the
    // overlapped record would not tell the failure.
    const bool queued = immediate || GetLastError() == ERROR_IO_PENDING;
    DWORD transferred = 0;
    BOOL ok = FALSE;
    if (queued) {
        WaitForSingleObject(overlapped.hEvent, kPipeTimeoutMs);
        ok = g_api->WinUsb_GetOverlappedResult(usb, &overlapped, &transferred, FALSE);
    }
    if (!ok) {
        device->LastError = GetLastError();
        g_api->WinUsb_AbortPipe(usb, pipe);
        g_api->WinUsb_FlushPipe(usb, pipe);
        // The aborted transfer completes on its own; the record and the buffer must
        // outlive it.
        if (queued) WaitForSingleObject(overlapped.hEvent, kPipeTimeoutMs);
    } else if (moved) {
        *moved = transferred < len ? transferred : len;
    }
    CloseHandle(overlapped.hEvent);
    return ok != FALSE;
}

bool WinUsbClearHalt(WinUsbDevice* device, uint8_t pipe) {
    if (device == nullptr) return false;
    if (g_api->WinUsb_ResetPipe(device->WinUsbHandle, pipe)) return true;
    device->LastError = GetLastError();
    return false;
}

bool WinUsbClassReset(WinUsbDevice* device) {
    if (device == nullptr) return false;
    // WinUSB puts the number of the handle's own interface in the low byte of wIndex.
    WINUSB_SETUP_PACKET setup{};
    setup.RequestType = bot::kRequestTypeClassToInterface;
    setup.Request = bot::kRequestReset;
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) {
        device->LastError = GetLastError();
        return false;
    }
    ULONG moved = 0;
    const BOOL immediate = g_api->WinUsb_ControlTransfer(device->WinUsbHandle, setup, nullptr, 0, &moved, &overlapped);
    const bool queued = immediate || GetLastError() == ERROR_IO_PENDING;
    DWORD transferred = 0;
    BOOL ok = FALSE;
    if (queued) {
        WaitForSingleObject(overlapped.hEvent, kPipeTimeoutMs);
        ok = g_api->WinUsb_GetOverlappedResult(device->WinUsbHandle, &overlapped, &transferred, FALSE);
    }
    if (!ok) {
        device->LastError = GetLastError();
        // The default pipe's request is ended by the abort of pipe 0; the record must
        // outlive it.
        g_api->WinUsb_AbortPipe(device->WinUsbHandle, 0);
        if (queued) WaitForSingleObject(overlapped.hEvent, kPipeTimeoutMs);
    }
    CloseHandle(overlapped.hEvent);
    return ok != FALSE;
}

namespace {

// The codes of a removed device. (ERROR_GEN_FAILURE is not among them: WinUSB gives it
// for a stalled pipe.)
bool IsGoneCode(DWORD error) {
    constexpr DWORD kNoSuchDevice = 433;  // ERROR_NO_SUCH_DEVICE, which not every SDK's headers name
    return error == ERROR_DEVICE_NOT_CONNECTED || error == kNoSuchDevice || error == ERROR_FILE_NOT_FOUND;
}

TransferResult Failed(WinUsbDevice* device) {
    if (IsGoneCode(device->LastError)) return TransferResult::kGone;
    return device->LastError == ERROR_GEN_FAILURE ? TransferResult::kStalled : TransferResult::kError;
}

void* UsbOpen(const std::string&) { return WinUsbOpen(kDeviceMatch); }
TransferResult UsbTransfer(void* device, uint8_t pipe, uint8_t* buf, uint32_t len, uint32_t* moved) {
    auto* usb = static_cast<WinUsbDevice*>(device);
    if (!WinUsbPipeTransfer(usb, pipe, buf, len, moved)) return Failed(usb);
    return *moved < len ? TransferResult::kShort : TransferResult::kGood;
}
TransferResult UsbClearHalt(void* device, uint8_t pipe) {
    auto* usb = static_cast<WinUsbDevice*>(device);
    return WinUsbClearHalt(usb, pipe) ? TransferResult::kGood : Failed(usb);
}
TransferResult UsbClassReset(void* device) {
    auto* usb = static_cast<WinUsbDevice*>(device);
    return WinUsbClassReset(usb) ? TransferResult::kGood : Failed(usb);
}
int UsbLastError(void* device) {
    return device ? static_cast<int>(static_cast<WinUsbDevice*>(device)->LastError) : 0;
}
void UsbClose(void* device) { WinUsbClose(static_cast<WinUsbDevice*>(device)); }
// The interface path names the device (it names the run lock: ASCII is enough).
std::string UsbLocation(void* device) {
    std::string location = "winusb ";
    for (const wchar_t* c = static_cast<WinUsbDevice*>(device)->DevicePath; *c; ++c)
        location += *c < 0x80 ? static_cast<char>(*c) : '_';
    return location;
}

}  // namespace

extern const PipeBackend kUsbPipeBackend = {"winusb",     UsbOpen,     UsbTransfer,  UsbLastError,
                                           UsbClose,     UsbLocation, UsbClearHalt, UsbClassReset,
                                           nullptr,      nullptr,     nullptr};
