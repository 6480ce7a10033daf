// Run locks on Linux: flock on a file in /run/lock, the system's place for lock files
// that every user shares, so that a run under sudo and one through a granted capability
// still take turns on the same drive (an emulator socket's lock sits beside the socket
// instead). The kernel drops the lock with the last open descriptor, so a killed run
// frees it at once.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "link/run_lock.h"

struct RunLockFile {
    int fd;
};

namespace {

std::string LockDirectory() {
    struct stat st {};
    if (stat("/run/lock", &st) == 0 && S_ISDIR(st.st_mode) && access("/run/lock", W_OK | X_OK) == 0)
        return "/run/lock";
    return "/tmp";
}

// FNV-1a, to keep long device names within one file name.
uint64_t Fnv1a(const std::string& text) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (unsigned char c : text) h = (h ^ c) * 0x100000001b3ull;
    return h;
}

}  // namespace

std::string RunLockPath(const std::string& device) {
    // An emulator socket's lock sits beside the socket, in a folder its user owns and
    // that goes away with it.
    const std::string emulator = "emulator /";
    if (device.compare(0, emulator.size(), emulator) == 0) return device.substr(emulator.size() - 1) + ".run-lock";
    std::string name;
    for (char c : device) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                           c == '-';
        name += plain ? c : '_';
    }
    if (name.size() > 120) {
        char hash[20];
        snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(Fnv1a(device)));
        name = name.substr(name.size() - 100) + "-" + hash;
    }
    return LockDirectory() + "/qp7730-" + name + ".lock";
}

RunLockFile* OpenRunLock(const std::string& path, std::string* error) {
    // The lock is only ever read: a descriptor opened for reading is enough for flock, so
    // a file that another user created first serves everyone who may read it. Opening an
    // existing file without O_CREAT also passes the kernel's protection of files that
    // other users own in sticky directories; a symlink planted there is never followed.
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        fd = open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0) fchmod(fd, 0644);  // readable by every user of the device, whatever the umask
        if (fd < 0 && errno == EEXIST) fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    }
    if (fd < 0) {
        *error = std::strerror(errno);
        return nullptr;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = "not a regular file";
        close(fd);
        return nullptr;
    }
    return new RunLockFile{fd};
}

bool TryRunLock(RunLockFile* lock) {
    int rc;
    do rc = flock(lock->fd, LOCK_EX | LOCK_NB);
    while (rc != 0 && errno == EINTR);
    return rc == 0;
}

void CloseRunLock(RunLockFile* lock) {
    close(lock->fd);
    delete lock;
}
