// The process-wide state of the open controller, written by start-up and read by every
// command. Plain data: operations read and write its fields directly.
#pragma once
#include <cstdint>

#include "link/transport.h"

enum : int32_t { kTransportNone = 0, kTransportBulkOnly = 1, kTransportDrive = 2 };

constexpr int kSystemInfoWords = 30;
constexpr int kSysInfoPanelWidth = 4;
constexpr int kSysInfoPanelHeight = 5;
constexpr int kSysInfoImageBufferAddress = 7;
constexpr int kSysInfoWaveformAddress = 19;
constexpr uint32_t kNoWaveformSupport = 0xFFFFFFFF;

struct DeviceState {
    int32_t TransportKind;
    HANDLE hDevice;
    TransportFnPtr TransportFn;
    uint32_t SystemInfo[kSystemInfoWords];  // host order
    bool SystemInfoComplete;                // the last system-information reply arrived in full
    uint32_t PanelWidth;                    // panel width limit
    uint32_t PanelHeight;                   // panel height limit
    uint8_t* HostImageBuffer;
    uint32_t LoadedWidth;
    uint32_t LoadedHeight;
};

extern DeviceState g_DeviceState;

inline uint32_t ImageBufferAddress() { return g_DeviceState.SystemInfo[kSysInfoImageBufferAddress]; }

// Start-up: find the controller, read its system information, print the panel lines,
// allocate HostImageBuffer. Never ends the run.
void StartDevice();
bool FindDevice();
uint8_t Inquiry();
// Also sets SystemInfoComplete: true only when the command succeeded and returned every
// byte asked for. Words that did not arrive are zero.
void GetSystemInfo(uint32_t (&systemInfo)[kSystemInfoWords]);
bool IsDeviceOpen();
// Releases HostImageBuffer (nothing when start-up's allocation failed).
void FreeHostImageBuffer();

// Identity text of the controller, compared over all 28 characters.
constexpr const char* kControllerIdentity = "Generic Storage RamDisc 1.00";
// True when TransferBuffer holds an INQUIRY reply naming the controller. Terminates the
// identity text at offset 36 first.
bool InquiryTextMatches();

// Closes the open device, if any, and leaves no device: the USB route releases its
// interface and ends its libusb context. The dispatcher calls it at the end of the run.
void CloseDevice();

// Puts the process-wide state back to its start values (the device is closed, the image
// buffer freed), so that tests can run one start-up after another in one process.
void ResetDeviceState();

// Ends the run with the given exit status. The dispatcher turns this into the process
// exit status; nothing after the call runs.
struct RunEnded {
    int Status;
};
[[noreturn]] void EndRun(int status);
