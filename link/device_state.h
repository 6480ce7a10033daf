// The process-wide state of the open controller, written by start-up and read by every
// command. Plain data: operations read and write its fields directly.
#pragma once
#include <cstdint>
#include <string>

#include "link/discovery.h"
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

// Start-up, the one procedure of the tool and of the library: find the controller (every
// route, or the one named), take its run lock, read its system information, print the
// panel lines and allocate HostImageBuffer. A controller that another run holds past the
// lock's bound ends the run as a busy one.
struct StartRules {
    const char* Route = nullptr;  // null or empty: search every route; else FindDeviceAt's names
    // The library's rule: start-up stops at what is missing (no controller, system
    // information not read in full, no image buffer) instead of going on without it, and
    // says nothing about a search that found nothing.
    bool Strict = false;
};
enum class StartOutcome {
    kStarted,        // the controller is open and described (in the tool also: whatever was found)
    kNotFound,       // no controller
    kNoSystemInfo,   // Strict: the system information did not arrive in full
    kNoImageBuffer,  // the image buffer could not be allocated
};
StartOutcome StartDevice(const StartRules& rules);
// The tool's start-up: every route, never ends the run but for a busy controller.
void StartDevice();
// Allocates HostImageBuffer for the panel size; false when the size cannot be held.
bool AllocateHostImageBuffer();
bool IsDeviceOpen();
// Releases HostImageBuffer (nothing when start-up's allocation failed).
void FreeHostImageBuffer();

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
