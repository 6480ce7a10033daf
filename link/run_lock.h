// One run at a time per controller. Two runs whose commands interleave can break each
// other: an upgrade stages every piece in the controller's image buffer before it
// programs flash from there, and a picture load from another process landing in between
// rewrites the staged bytes. A run therefore takes an exclusive lock named after its
// route and device once discovery has chosen the device, and holds it until the process
// ends; the system releases it when the process dies, so a killed run never leaves a
// stale lock behind.
#pragma once
#include <string>

// Takes the lock for the device named `device` (a drive path, a USB bus/address, an
// emulator socket or TCP address). When another run holds it, says so once on standard
// error and waits up to QP7730_LOCK_WAIT seconds (default 30; 0: no wait). Returns false,
// after one line on standard error, when the bound passed or the lock cannot be taken.
bool AcquireRunLock(const std::string& device);
// The same with an explicit bound in seconds (0: no wait).
bool AcquireRunLockWithin(const std::string& device, int seconds);
// Lets the lock go (the end of the process does the same).
void ReleaseRunLock();

// Seconds a run waits for the lock: QP7730_LOCK_WAIT when it is a plain number, else 30.
int RunLockWaitSeconds();

// Platform side: where the lock for `device` lives, and the lock itself.
std::string RunLockPath(const std::string& device);
struct RunLockFile;
// Opens (creating when needed) the lock file; null with *error set when it cannot.
RunLockFile* OpenRunLock(const std::string& path, std::string* error);
// One attempt to take the lock without waiting.
bool TryRunLock(RunLockFile* lock);
void CloseRunLock(RunLockFile* lock);
