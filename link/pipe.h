// Bulk pipes of the controller's USB interface, and the bulk-only adapter over them.
// A pipe backend only knows how to open the interface, move one bulk transfer on one
// pipe within the transfer bound, and close; the adapter does all the framing.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "link/bulk_only_wire.h"
#include "link/discovery.h"
#include "link/run_lock.h"
#include "link/transport.h"

constexpr uint8_t kPipeOut = 0x02;
constexpr uint8_t kPipeIn = 0x81;
constexpr uint32_t kPipeTimeoutMs = 6000;
constexpr uint32_t kMaxDataPiece = 0x10000;  // 65,536 bytes per data transfer

using bot::TransferResult;

struct PipeBackend {
    const char* Name;
    // Opens the controller's bulk interface at `where` (empty: the route's own default; else
    // a place as List names it); returns the backend's device, or null when there is none.
    void* (*Open)(const std::string& where);
    // One bulk transfer of len bytes on the pipe (bit 7 set: IN, read into buf), bounded
    // by kPipeTimeoutMs. *moved receives the bytes moved (never more than len), also when
    // the transfer stalled part-way.
    TransferResult (*Transfer)(void* device, uint8_t pipe, uint8_t* buf, uint32_t len, uint32_t* moved);
    // The platform's error code of the last failed transfer or request, for diagnostics.
    int (*LastError)(void* device);
    void (*Close)(void* device);
    // Where the open device is (socket path, bus and address, device path): names the
    // lock that keeps two runs on one controller from interleaving.
    std::string (*Location)(void* device);
    // Clears the halt of a pipe (CLEAR_FEATURE ENDPOINT_HALT, the host's side reset with
    // it); null where a pipe cannot halt (the emulator's socket).
    TransferResult (*ClearHalt)(void* device, uint8_t pipe);
    // The class request Bulk-Only Mass Storage Reset on the default pipe; null where there
    // is none (the emulator's socket, which keeps in step by its messages).
    TransferResult (*ClassReset)(void* device);
    // One attempt to take the run lock of the open device (see run_lock.h); null when the
    // open took it already or there is none to take.
    LockTry (*TryLock)(void* device, std::string* why);
    // The controllers this route would find, without opening them; null when it cannot
    // tell without opening.
    std::vector<ControllerEntry> (*List)();
    // A LastError code in words, with its name and number; null: the number alone.
    std::string (*DescribeError)(int code);
};

// The device handle of the bulk-only route: the backend and its open device.
struct PipeDevice {
    const PipeBackend* Backend;
    void* Device;
    uint32_t Tag = 0x77307740;  // dCBWTag of the last command; each command takes the next
    bool Gone = false;          // once the device is gone, exchanges fail at once, without a report
};

// One bulk transfer; *moved (may be null) receives the bytes moved.
TransferResult PipeTransfer(PipeDevice* device, uint8_t pipe, uint8_t* buf, uint32_t len, uint32_t* moved = nullptr);

// One command over the pipes as the Bulk-Only class prescribes: wrapper, data, status
// (a stalled data phase cleared and its status read; a stalled status read cleared and
// read once more), with reset recovery after a phase error, an invalid status wrapper or
// a broken exchange. *returned receives the bytes the command moved when it passed.
bot::CommandResult BulkOnlyCommand(PipeDevice* device, const SCSI_PASS_THROUGH_DIRECT& sptd, DWORD* returned);
// Reset recovery: the class reset, then the halts of both pipes cleared. Silent when it
// works; false (after one diagnostic) when it does not.
bool ResetRecovery(PipeDevice* device);

// The TransportFn of the bulk-only route: BulkOnlyCommand, 1 when the command passed. The
// failure that shows the device gone is reported once, saying so; every later exchange
// fails at once, with nothing sent and nothing reported.
BOOL BulkOnlyTransport(HANDLE device, DWORD controlCode, void* inBuffer, DWORD inSize, void* outBuffer,
                       DWORD outSize, DWORD* bytesReturned, LPOVERLAPPED overlapped);

// Discovery over one backend at its default place: opens it, proves the identity with
// INQUIRY through the adapter, and on a match sets the bulk-only transport kind and keeps
// the device open. Leaves nothing open and prints nothing when it finds nothing.
bool FindPipeController(const PipeBackend& backend);

// This build's USB route: libusb on Linux, WinUSB on Windows, or one that finds nothing.
extern const PipeBackend kUsbPipeBackend;

// The backends this build has, in discovery order (USB first, then the emulator).
extern const PipeBackend* const kPipeBackends[];
extern const int kPipeBackendCount;

// Replaces the pipe routes that discovery tries; null restores this build's own. Lets
// tests put a scripted device in front of the drive letters.
void SetPipeBackends(const PipeBackend* const* backends, int count);
