// Run locks on Windows: a named mutex in the global namespace, so that runs of every user
// session take turns on one device. The system abandons the mutex when its owner dies,
// and an abandoned mutex is taken by the next waiter, so a killed run never blocks one.
#include <windows.h>

#include "link/run_lock.h"

struct RunLockFile {
    HANDLE mutex;
    bool held;
};

std::string RunLockPath(const std::string& device) {
    std::string name = "Global\\qp7730-";
    for (char c : device) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                           c == '-';
        name += plain ? c : '_';
    }
    if (name.size() > MAX_PATH - 1) name.resize(MAX_PATH - 1);
    return name;
}

RunLockFile* OpenRunLock(const std::string& path, std::string* error) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, path.c_str());
    if (mutex == nullptr) {
        *error = "CreateMutex failed (" + std::to_string(GetLastError()) + ")";
        return nullptr;
    }
    return new RunLockFile{mutex, false};
}

bool TryRunLock(RunLockFile* lock) {
    const DWORD rc = WaitForSingleObject(lock->mutex, 0);
    lock->held = rc == WAIT_OBJECT_0 || rc == WAIT_ABANDONED;
    return lock->held;
}

void CloseRunLock(RunLockFile* lock) {
    if (lock->held) ReleaseMutex(lock->mutex);
    CloseHandle(lock->mutex);
    delete lock;
}
