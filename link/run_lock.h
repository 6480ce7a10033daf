// One run at a time per controller. Two runs whose commands interleave can break each
// other: an upgrade stages every piece in the controller's image buffer before it
// programs flash from there, and a picture load from another process landing in between
// rewrites the staged bytes. A run therefore takes an exclusive lock on the device once
// discovery has chosen it, and holds it until the device is closed.
//
// Each route supplies its own lock, on something that only a user who may use the
// controller can open, so that nothing another user plants in a shared folder can hang,
// hold, redirect or break a run, and the system drops it when the process dies:
//   - a drive: flock on the drive's own open descriptor (link/drive_linux.cpp);
//   - USB: the claim of the interface, taken by the route's open (link/pipe_libusb.cpp);
//   - the emulator's socket: flock on PATH.run-lock, the owner-only file the emulator
//     makes beside its socket (link/pipe_socket.cpp);
//   - the emulator over TCP: an abstract AF_UNIX socket named after the address, which
//     leaves no file (link/pipe_socket.cpp).
// On Windows a named mutex stands for all of them (link/run_lock_windows.cpp).
#pragma once
#include <functional>
#include <string>

// What one attempt to take a route's lock found.
enum class LockTry {
    kTaken,   // this run holds it now
    kHeld,    // another run holds it
    kFailed,  // it cannot be taken; the attempt says why
};
using LockAttempt = std::function<LockTry(std::string* why)>;

// Takes a lock by attempts: when another run holds it, says so once on standard error and
// tries again until QP7730_LOCK_WAIT seconds (or the library's bound) have passed. False,
// after one line on standard error, when the bound passed or the lock cannot be taken.
// `device` names the controller in the messages.
bool WaitForTurn(const std::string& device, const LockAttempt& attempt);

// Takes the lock of the open device (start-up calls it after the identification; on USB
// the open has taken it already). False as WaitForTurn.
bool AcquireRunLock();
// Lets go of what AcquireRunLock took beyond the device's own descriptors, which close
// with the device, and puts the bound back to QP7730_LOCK_WAIT's rule.
void ReleaseRunLock();

// The bound of WaitForTurn until the next ReleaseRunLock: seconds (0: no wait), or
// negative for RunLockWaitSeconds(). The library's open sets it.
void SetRunLockWait(int seconds);
// Seconds a run waits for the lock: QP7730_LOCK_WAIT when it is a plain number, else 30.
int RunLockWaitSeconds();
// Until the next ReleaseRunLock, WaitForTurn gives up as soon as *cancel is non-zero
// (null: never), saying so. The library's cancellable open sets it.
void SetRunLockCancel(const volatile int* cancel);
// True when the last WaitForTurn gave up because it was cancelled.
bool RunLockWaitCancelled();

// Platform side: one attempt on the open device's lock, and letting go of it.
LockTry TryRunLock(std::string* why);
void ReleaseRouteLock();
