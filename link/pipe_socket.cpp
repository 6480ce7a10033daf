// The emulator route's AF_UNIX form: the controller's bulk pipes carried over an
// AF_UNIX SOCK_SEQPACKET socket, one message per bulk transfer.
#include <fcntl.h>
#include <netdb.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "link/pipe.h"
#include "link/pipe_emulator.h"
#include "link/report.h"

namespace {

// One exclusive flock attempt without waiting.
LockTry TryFlock(int fd, const std::string& name, std::string* why) {
    int rc;
    do rc = flock(fd, LOCK_EX | LOCK_NB);
    while (rc != 0 && errno == EINTR);
    if (rc == 0) return LockTry::kTaken;
    if (errno == EWOULDBLOCK) return LockTry::kHeld;
    *why = name + ": " + std::strerror(errno);
    return LockTry::kFailed;
}

// What keeps a file from being the emulator's run lock; empty when nothing does.
std::string NotTheEmulatorsOwn(const struct stat& st, uid_t emulatorUser) {
    if (!S_ISREG(st.st_mode)) return "not a regular file";
    if (st.st_uid != emulatorUser)
        return "owned by user " + std::to_string(st.st_uid) + ", not by the emulator's user " +
               std::to_string(emulatorUser);
    if ((st.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%03o", static_cast<unsigned>(st.st_mode & 0777));
        return std::string("open to other users (mode ") + mode + ")";
    }
    return {};
}

class SocketLink final : public EmulatorLink {
public:
    SocketLink(int fd, const std::string& path, uid_t emulatorUser)
        : fd_(fd), lockPath_(path + ".run-lock"), emulatorUser_(emulatorUser) {}
    ~SocketLink() override {
        close(fd_);
        if (lockFd_ >= 0) close(lockFd_);
    }

    // The run lock is PATH.run-lock, which the emulator makes beside its socket, owner-only,
    // when it starts. It is opened without following a symlink, without waiting on a FIFO and
    // without creating anything, and used only when it is a regular file of the emulator's
    // own user that no one else may open: nothing another user plants there can hold,
    // redirect or hang a run.
    LockTry TryLock(std::string* why) override {
        if (lockFd_ < 0) {
            const int fd = open(lockPath_.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0) {
                *why = lockPath_ + (errno == ELOOP ? " is a symbolic link" : ": " + std::string(std::strerror(errno)));
                return LockTry::kFailed;
            }
            struct stat st {};
            const std::string refused = fstat(fd, &st) != 0 ? "unreadable: " + std::string(std::strerror(errno))
                                                            : NotTheEmulatorsOwn(st, emulatorUser_);
            if (!refused.empty()) {
                close(fd);
                *why = lockPath_ + " is " + refused;
                return LockTry::kFailed;
            }
            lockFd_ = fd;
        }
        return TryFlock(lockFd_, lockPath_, why);
    }

    bool Transfer(uint8_t pipe, uint8_t* buf, uint32_t len, uint32_t* moved) override {
        ssize_t n;
        if ((pipe & 0x80) == 0) {
            do n = send(fd_, buf, len, MSG_NOSIGNAL);
            while (n < 0 && errno == EINTR);
            if (n == static_cast<ssize_t>(len)) {
                *moved = len;
                return true;
            }
            return n < 0 ? FailedWith(errno) : Failed(EIO, false);
        }

        // One message is one transfer: a shorter one is a complete short transfer, a longer
        // one overflows the buffer and fails, as on the bus.
        iovec iov{buf, len};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        do n = recvmsg(fd_, &msg, 0);
        while (n < 0 && errno == EINTR);
        if (n > 0 && (msg.msg_flags & MSG_TRUNC) == 0) {
            *moved = static_cast<uint32_t>(n);
            return true;
        }
        if (n > 0) return Failed(EOVERFLOW, false);
        if (n == 0) return Failed(ECONNRESET, true);  // the end of the stream: the emulator went away
        return FailedWith(errno);
    }

private:
    // A failed send or receive: the bound ran out, the other end is gone, or another error.
    bool FailedWith(int error) {
        if (error == EAGAIN || error == EWOULDBLOCK) return Failed(ETIMEDOUT, false);
        return Failed(error, error == ECONNRESET || error == EPIPE);
    }

    int fd_;
    int lockFd_ = -1;
    std::string lockPath_;
    uid_t emulatorUser_;
};

// Anyone may create a socket at the path first (/tmp is shared): only a socket served by
// this user or root speaks for the controller. Another one is passed over, with one line
// that says so. *user receives the emulator's user.
bool ServedBySameUser(int fd, const std::string& path, uid_t* user) {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || size != sizeof peer) return false;
    *user = peer.uid;
    if (peer.uid == geteuid() || peer.uid == 0) return true;
    Hint("qp7730: the emulator at %s is served by user %u, not by this user: not used (start your own, or point "
         "QP7730_EMULATOR at it)\n",
         path.c_str(), static_cast<unsigned>(peer.uid));
    return false;
}

}  // namespace

std::unique_ptr<EmulatorLink> OpenLocalEmulator(const std::string& path) {
    sockaddr_un addr{};
    if (path.empty() || path.size() >= sizeof addr.sun_path) return nullptr;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);

    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    uid_t user = 0;
    // Every transfer is bounded by the pipe timeout; the kernel enforces it on each
    // blocking send and receive, which costs no extra system call per transfer. The send
    // bound set before connecting also bounds the connect itself: an AF_UNIX connect waits
    // for room in a full listen queue only that long (a non-blocking connect would fail at
    // once instead of waiting).
    const timeval bound{kPipeTimeoutMs / 1000, (kPipeTimeoutMs % 1000) * 1000};
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound) != 0 ||
        connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 || !ServedBySameUser(fd, path, &user)) {
        close(fd);
        return nullptr;
    }
    return std::make_unique<SocketLink>(fd, path, user);
}

LockTry TryLoopbackLock(NetSocket connected, NetSocket* held, std::string* why) {
    sockaddr_storage peer{};
    socklen_t size = sizeof peer;
    char host[NI_MAXHOST], port[NI_MAXSERV];
    if (getpeername(static_cast<int>(connected), reinterpret_cast<sockaddr*>(&peer), &size) != 0 ||
        getnameinfo(reinterpret_cast<const sockaddr*>(&peer), size, host, sizeof host, port, sizeof port,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        *why = std::string("the emulator's address is unknown: ") + std::strerror(errno);
        return LockTry::kFailed;
    }
    // An IPv4 address reached through IPv6 names the same emulator.
    std::string address = host;
    if (address.starts_with("::ffff:") && address.find('.') != std::string::npos) address.erase(0, 7);
    const std::string name = "qp7730-run-lock tcp " + address + " " + port;

    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;  // sun_path[0] stays 0: the abstract namespace
    std::memcpy(addr.sun_path + 1, name.data(), name.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *why = std::string("socket: ") + std::strerror(errno);
        return LockTry::kFailed;
    }
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), length) == 0) {
        *held = fd;
        return LockTry::kTaken;
    }
    const int error = errno;
    close(fd);
    if (error == EADDRINUSE) return LockTry::kHeld;
    *why = "@" + name + ": " + std::strerror(error);
    return LockTry::kFailed;
}

std::string DefaultLocalEmulatorPath() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] != '\0') return std::string(runtime) + "/qp7730-emu.sock";
    return "/tmp/qp7730-emu-" + std::to_string(getuid()) + ".sock";
}

bool LocalEmulatorSocketExists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}
