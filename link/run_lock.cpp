#include "link/run_lock.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "link/device_state.h"
#include "link/report.h"

namespace {

constexpr int kDefaultWaitSeconds = 30;
constexpr auto kRetryPause = std::chrono::milliseconds(20);

int g_waitSeconds = -1;  // SetRunLockWait's bound; negative: QP7730_LOCK_WAIT's rule
const volatile int* g_cancel = nullptr;
bool g_cancelled = false;

// The flag is written by another thread or a signal handler; each look reads it anew.
bool CancelAsked() { return g_cancel != nullptr && __atomic_load_n(g_cancel, __ATOMIC_RELAXED) != 0; }

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

void SetRunLockWait(int seconds) { g_waitSeconds = seconds; }
void SetRunLockCancel(const volatile int* cancel) {
    g_cancel = cancel;
    g_cancelled = false;
}
bool RunLockWaitCancelled() { return g_cancelled; }

bool WaitForTurn(const std::string& device, const LockAttempt& attempt) {
    const int seconds = g_waitSeconds < 0 ? RunLockWaitSeconds() : g_waitSeconds;
    std::string why;
    g_cancelled = false;
    LockTry got = attempt(&why);
    if (got == LockTry::kHeld && seconds > 0) {
        Warn("qp7730: another run is using the controller at %s; waiting up to %d s for it\n", device.c_str(),
             seconds);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (got == LockTry::kHeld && std::chrono::steady_clock::now() < deadline && !CancelAsked()) {
            std::this_thread::sleep_for(kRetryPause);
            got = attempt(&why);
        }
    }
    if (got == LockTry::kHeld && CancelAsked()) {
        g_cancelled = true;
        Warn("qp7730: waiting for the controller at %s was cancelled\n", device.c_str());
        Explain("waiting for the controller at %s was cancelled", device.c_str());
    } else if (got == LockTry::kHeld) {
        Warn("qp7730: the controller at %s is still in use by another run after %d s; giving up\n", device.c_str(),
             seconds);
        Explain("the controller at %s is in use by another run (waited %d s)", device.c_str(), seconds);
    } else if (got == LockTry::kFailed) {
        Warn("qp7730: cannot take the run lock of the controller at %s: %s\n", device.c_str(), why.c_str());
        Explain("cannot take the run lock of the controller at %s: %s", device.c_str(), why.c_str());
    }
    return got == LockTry::kTaken;
}

bool AcquireRunLock() {
    if (LockDisabledForTests()) return true;
    return WaitForTurn(DeviceLocation(), TryRunLock);
}

void ReleaseRunLock() {
    ReleaseRouteLock();
    g_waitSeconds = -1;
    g_cancel = nullptr;
    g_cancelled = false;
}
