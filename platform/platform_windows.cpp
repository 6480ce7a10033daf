// The platform on Windows.
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "platform/platform.h"

uint32_t TickCountMs() { return GetTickCount(); }

int OpenFileForReading(const char* path, bool* notRegular) {
    *notRegular = false;
    const int fd = _open(path, _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    if (fd < 0) return -1;
    // Only a disk file: a pipe, a console or a device is no file to read.
    const HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (h == INVALID_HANDLE_VALUE || GetFileType(h) != FILE_TYPE_DISK) {
        _close(fd);
        *notRegular = true;
        return -1;
    }
    return fd;
}

bool FileLength(int fd, uint64_t* length) {
    LARGE_INTEGER size{};
    const HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (h == INVALID_HANDLE_VALUE || !GetFileSizeEx(h, &size)) return false;
    *length = static_cast<uint64_t>(size.QuadPart);
    return true;
}

int64_t ReadFileAt(int fd, void* buffer, size_t n, uint64_t offset) {
    const HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (h == INVALID_HANDLE_VALUE) return -1;  // errno is EBADF
    // A read at an offset moves the file pointer of a synchronous handle: put it back,
    // so that a stream opened on the file later starts where it expects.
    LARGE_INTEGER here{}, zero{};
    if (!SetFilePointerEx(h, zero, &here, FILE_CURRENT)) {
        errno = EIO;
        return -1;
    }
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    const DWORD want = n > 0x40000000 ? 0x40000000 : static_cast<DWORD>(n);
    const BOOL ok = ReadFile(h, buffer, want, &got, &at);
    const DWORD error = GetLastError();
    SetFilePointerEx(h, here, nullptr, FILE_BEGIN);
    if (ok) return got;
    if (error == ERROR_HANDLE_EOF) return 0;
    errno = EIO;
    return -1;
}

FILE* FileStream(int fd) { return _fdopen(fd, "rb"); }

void CloseFile(int fd) { _close(fd); }

void PrepareStandardStreams() {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

namespace {

bool IsConsole(DWORD which) {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

}  // namespace

bool ShowDiagnosticBox(const char* text) {
    if (!IsConsole(STD_INPUT_HANDLE) || !IsConsole(STD_ERROR_HANDLE)) return false;
    MessageBoxA(nullptr, text, "qp7730", MB_OK);
    return true;
}

namespace {

// The control event kept during the hold, plus one (0: none).
volatile LONG g_kept = 0;
bool g_holding = false;
const char* g_notice = nullptr;
// Set while no hold is in place: a console that is being closed waits on it.
HANDLE g_holdEnded = nullptr;

BOOL WINAPI KeepStopRequest(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
    if (InterlockedCompareExchange(&g_kept, static_cast<LONG>(event) + 1, 0) == 0 && g_notice != nullptr) {
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), g_notice, static_cast<DWORD>(std::strlen(g_notice)), &written,
                  nullptr);
    }
    // The system ends the process once a close event is handled (or after a few seconds
    // whatever the handler does): keep it waiting until the hold ends.
    if (event == CTRL_CLOSE_EVENT) WaitForSingleObject(g_holdEnded, INFINITE);
    return TRUE;
}

}  // namespace

void HoldStopRequests(const char* notice) {
    if (g_holding) return;
    if (g_holdEnded == nullptr) g_holdEnded = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    if (g_holdEnded == nullptr) return;
    g_holding = true;
    g_kept = 0;
    g_notice = notice;
    ResetEvent(g_holdEnded);
    SetConsoleCtrlHandler(KeepStopRequest, TRUE);
}

void ReleaseStopRequests() {
    if (!g_holding) return;
    SetConsoleCtrlHandler(KeepStopRequest, FALSE);
    g_holding = false;
    g_notice = nullptr;
    SetEvent(g_holdEnded);  // a close held back now ends the process
    const LONG kept = InterlockedExchange(&g_kept, 0) - 1;
    if (kept != CTRL_C_EVENT && kept != CTRL_BREAK_EVENT) return;
    // What the program had in place for the signal the C runtime makes of the event: a
    // handler of its own (Python's) gets it, an ignored one is dropped, and by default the
    // process ends as Ctrl-C ends it.
    const int number = kept == CTRL_C_EVENT ? SIGINT : SIGBREAK;
    void (*before)(int) = std::signal(number, SIG_DFL);
    std::signal(number, before);
    if (before == SIG_IGN) return;
    if (before != SIG_DFL && before != SIG_ERR) {
        std::raise(number);
        return;
    }
    ExitProcess(STATUS_CONTROL_C_EXIT);
}

std::string OsErrorText(int code) { return std::string(strerror(code)) + " (errno " + std::to_string(code) + ")"; }
