#include "link/run_lock.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "link/report.h"

namespace {

RunLockFile* g_runLock = nullptr;

constexpr int kDefaultWaitSeconds = 30;
constexpr auto kRetryPause = std::chrono::milliseconds(20);

// For the tests that show what happens without the lock; never set in normal use.
bool LockDisabledForTests() {
    const char* off = std::getenv("QP7730_TEST_NO_RUN_LOCK");
    return off != nullptr && off[0] == '1' && off[1] == '\0';
}

}  // namespace

int RunLockWaitSeconds() {
    const char* text = std::getenv("QP7730_LOCK_WAIT");
    if (text == nullptr || text[0] == '\0') return kDefaultWaitSeconds;
    int seconds = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9' || seconds > 86400) return kDefaultWaitSeconds;
        seconds = seconds * 10 + (*p - '0');
    }
    return seconds;
}

bool AcquireRunLock(const std::string& device) { return AcquireRunLockWithin(device, RunLockWaitSeconds()); }

bool AcquireRunLockWithin(const std::string& device, int seconds) {
    ReleaseRunLock();
    if (LockDisabledForTests()) return true;

    const std::string path = RunLockPath(device);
    std::string error;
    RunLockFile* lock = OpenRunLock(path, &error);
    if (lock == nullptr) {
        Warn("qp7730: cannot use the lock file %s for %s: %s\n", path.c_str(), device.c_str(), error.c_str());
        return false;
    }
    if (!TryRunLock(lock)) {
        bool held = false;
        if (seconds > 0) {
            Warn("qp7730: another run is using the controller at %s; waiting up to %d s for it\n", device.c_str(),
                 seconds);
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
            while (!held && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(kRetryPause);
                held = TryRunLock(lock);
            }
        }
        if (!held) {
            Warn("qp7730: the controller at %s is still in use by another run after %d s; giving up\n",
                 device.c_str(), seconds);
            CloseRunLock(lock);
            return false;
        }
    }
    g_runLock = lock;
    return true;
}

void ReleaseRunLock() {
    if (g_runLock == nullptr) return;
    CloseRunLock(g_runLock);
    g_runLock = nullptr;
}
