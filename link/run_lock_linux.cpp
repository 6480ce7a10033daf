// Run locks on Linux: each route's own (see run_lock.h). They all live in descriptors of
// the open device (the drive's, the usbfs node's, the emulator link's), so closing the
// device lets go of them and a killed run frees them at once. Nothing is made in /run/lock
// or /tmp, where any user could plant a file first.
#include "link/device_state.h"
#include "link/drive.h"
#include "link/pipe.h"
#include "link/run_lock.h"

LockTry TryRunLock(std::string* why) {
    const DeviceState& ds = g_DeviceState;
    if (ds.TransportKind == kTransportDrive) return TryLockDrive(ds.hDevice, why);
    const auto* pipe = static_cast<const PipeDevice*>(ds.hDevice);
    // A backend without a lock of its own took its turn when it opened (the USB claim).
    return pipe->Backend->TryLock ? pipe->Backend->TryLock(pipe->Device, why) : LockTry::kTaken;
}

void ReleaseRouteLock() {}
