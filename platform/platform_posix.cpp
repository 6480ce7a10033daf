// The platform on Linux and other POSIX systems.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

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
