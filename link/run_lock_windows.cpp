// Run locks on Windows: a named mutex in the global namespace, named after the device's
// location, so that runs of every user session take turns on one device whatever route
// each takes. The system abandons the mutex when its owner dies, and an abandoned mutex
// is taken by the next waiter, so a killed run never blocks one.
#include <windows.h>

#include "link/device_state.h"
#include "link/run_lock.h"

namespace {

HANDLE g_mutex = nullptr;
bool g_held = false;

std::string MutexName(const std::string& device) {
    std::string name = "Global\\qp7730-";
    for (char c : device) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                           c == '-';
        name += plain ? c : '_';
    }
    if (name.size() > MAX_PATH - 1) name.resize(MAX_PATH - 1);
    return name;
}

}  // namespace

LockTry TryRunLock(std::string* why) {
    if (g_mutex == nullptr) {
        g_mutex = CreateMutexA(nullptr, FALSE, MutexName(DeviceLocation()).c_str());
        if (g_mutex == nullptr) {
            *why = "CreateMutex failed (" + std::to_string(GetLastError()) + ")";
            return LockTry::kFailed;
        }
    }
    const DWORD rc = WaitForSingleObject(g_mutex, 0);
    if (rc == WAIT_FAILED) {
        *why = "WaitForSingleObject failed (" + std::to_string(GetLastError()) + ")";
        return LockTry::kFailed;
    }
    g_held = rc == WAIT_OBJECT_0 || rc == WAIT_ABANDONED;
    return g_held ? LockTry::kTaken : LockTry::kHeld;
}

void ReleaseRouteLock() {
    if (g_mutex == nullptr) return;
    if (g_held) ReleaseMutex(g_mutex);
    CloseHandle(g_mutex);
    g_mutex = nullptr;
    g_held = false;
}
