// The platform on Linux and other POSIX systems.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "platform/platform.h"

uint32_t TickCountMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

int OpenFileForReading(const char* path, bool* notRegular) {
    *notRegular = false;
    // Non-blocking, so that a FIFO given as a file name cannot hang the open.
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        *notRegular = true;
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

bool FileLength(int fd, uint64_t* length) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return false;
    *length = static_cast<uint64_t>(st.st_size);
    return true;
}

int64_t ReadFileAt(int fd, void* buffer, size_t n, uint64_t offset) {
    return pread(fd, buffer, n, static_cast<off_t>(offset));
}

FILE* FileStream(int fd) { return fdopen(fd, "rb"); }

void CloseFile(int fd) { close(fd); }

void PrepareStandardStreams() {}

bool ShowDiagnosticBox(const char*) { return false; }

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kStopSignalCount = sizeof kStopSignals / sizeof kStopSignals[0];

struct sigaction g_before[kStopSignalCount];
bool g_replaced[kStopSignalCount] = {};
bool g_holding = false;
volatile sig_atomic_t g_kept = 0;  // the first stop signal of the hold, 0 for none
const char* g_notice = nullptr;
size_t g_noticeLength = 0;

extern "C" void KeepStopSignal(int number) {
    if (g_kept != 0) return;
    g_kept = number;
    if (g_notice != nullptr) {
        const ssize_t written = write(STDERR_FILENO, g_notice, g_noticeLength);
        static_cast<void>(written);  // nothing to do about a standard error that is gone
    }
}

}  // namespace

void HoldStopRequests(const char* notice) {
    if (g_holding) return;
    g_holding = true;
    g_kept = 0;
    g_notice = notice;
    g_noticeLength = notice != nullptr ? std::strlen(notice) : 0;
    struct sigaction keep {};
    keep.sa_handler = KeepStopSignal;
    sigemptyset(&keep.sa_mask);
    for (int s : kStopSignals) sigaddset(&keep.sa_mask, s);  // one handler at a time
    keep.sa_flags = SA_RESTART;
    for (int i = 0; i < kStopSignalCount; ++i) {
        g_replaced[i] = false;
        if (sigaction(kStopSignals[i], nullptr, &g_before[i]) != 0) continue;
        // A signal the process ignores (SIGHUP under nohup) would not have stopped it.
        if ((g_before[i].sa_flags & SA_SIGINFO) == 0 && g_before[i].sa_handler == SIG_IGN) continue;
        g_replaced[i] = sigaction(kStopSignals[i], &keep, nullptr) == 0;
    }
}

void ReleaseStopRequests() {
    if (!g_holding) return;
    for (int i = 0; i < kStopSignalCount; ++i)
        if (g_replaced[i]) sigaction(kStopSignals[i], &g_before[i], nullptr);
    // Read after the old dispositions are back: a signal from now on goes to them directly.
    const int kept = g_kept;
    g_kept = 0;
    g_holding = false;
    g_notice = nullptr;
    if (kept != 0) raise(kept);
}

std::string OsErrorText(int code) {
    const char* name = strerrorname_np(code);
    return std::string(strerror(code)) + " (" + (name ? name : "errno") + ", " + std::to_string(code) + ")";
}
