// The process-wide state of the open controller, written by start-up and read by every
// command. Plain data: operations read and write its fields directly.
#pragma once
#include <cstdint>
#include <string>

#include "link/transport.h"

enum : int32_t { kTransportNone = 0, kTransportBulkOnly = 1, kTransportDrive = 2 };

constexpr int kSystemInfoWords = 30;
constexpr int kSysInfoPanelWidth = 4;
constexpr int kSysInfoPanelHeight = 5;
constexpr int kSysInfoImageBufferAddress = 7;
constexpr int kSysInfoDisplayModes = 9;  // how many display modes the controller has
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
// Opens the controller at one named route instead of searching them all: "usb" (the USB
// route), a drive ("/dev/sdX", "X:" or the letter alone), or an emulator address
// ("tcp:HOST:PORT" or a socket path). Leaves nothing open when no controller answers
// there.
bool FindDeviceAt(const char* route);
// The drive step of discovery for one letter: opens the drive, reports it like the
// search does, and keeps it open when its INQUIRY names the controller.
bool TryDrive(char letter);
// Where the open device is (a drive path, USB bus and address, emulator address).
std::string DeviceLocation();
// Allocates HostImageBuffer for the panel size; false when the size cannot be held.
bool AllocateHostImageBuffer();
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

// Why a run ended before its action was done. The tool has printed its text already and
// only uses the status; the library hands the reason to its caller as an error code.
enum class RunError {
    kRefused,         // an argument or request that is refused
    kBusy,            // another run holds the controller
    kNoMemory,        // host memory for the request could not be had
    kFileUnreadable,  // a file that cannot be opened or read
    kNoPicture,       // a file that yields no picture
    kFileRefused,     // an upgrade file of the wrong kind, header or length
    kNotSupported,    // the controller cannot do what was asked
    kNoSystemInfo,    // the controller's system information was not read in full
};

// Ends the run with the given exit status. The dispatcher turns this into the process
// exit status; nothing after the call runs.
struct RunEnded {
    int Status;
    RunError Error;
};
[[noreturn]] void EndRun(int status, RunError error = RunError::kRefused);
