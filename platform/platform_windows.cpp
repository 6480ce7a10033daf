// The platform on Windows.
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cerrno>

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
