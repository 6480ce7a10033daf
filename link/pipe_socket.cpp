// The emulator route: the controller's bulk pipes carried over an AF_UNIX SOCK_SEQPACKET
// socket, one message per bulk transfer.
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "link/pipe.h"

namespace {

struct SocketPipe {
    int fd;
    int lastError;
    std::string path;
};

void* SocketOpen() {
    const std::string path = EmulatorSocketPath();
    sockaddr_un addr{};
    if (path.empty() || path.size() >= sizeof addr.sun_path) return nullptr;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);

    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    // Every transfer is bounded by the pipe timeout; the kernel enforces it on each
    // blocking send and receive, which costs no extra system call per transfer.
    const timeval bound{kPipeTimeoutMs / 1000, (kPipeTimeoutMs % 1000) * 1000};
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound) != 0) {
        close(fd);
        return nullptr;
    }
    return new SocketPipe{fd, 0, path};
}

bool SocketTransfer(void* device, uint8_t pipe, uint8_t* buf, uint32_t len, uint32_t* moved) {
    auto* s = static_cast<SocketPipe*>(device);
    ssize_t n;
    if ((pipe & 0x80) == 0) {
        do n = send(s->fd, buf, len, MSG_NOSIGNAL);
        while (n < 0 && errno == EINTR);
        if (n == static_cast<ssize_t>(len)) {
            *moved = len;
            return true;
        }
        s->lastError = n < 0 ? (errno == EAGAIN || errno == EWOULDBLOCK ? ETIMEDOUT : errno) : EIO;
        return false;
    }

    // One message is one transfer: a shorter one is a complete short transfer, a longer
    // one overflows the buffer and fails, as on the bus.
    iovec iov{buf, len};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    do n = recvmsg(s->fd, &msg, 0);
    while (n < 0 && errno == EINTR);
    if (n > 0 && (msg.msg_flags & MSG_TRUNC) == 0) {
        *moved = static_cast<uint32_t>(n);
        return true;
    }
    if (n > 0)
        s->lastError = EOVERFLOW;
    else if (n == 0)
        s->lastError = ECONNRESET;  // the device went away
    else
        s->lastError = errno == EAGAIN || errno == EWOULDBLOCK ? ETIMEDOUT : errno;
    return false;
}

int SocketLastError(void* device) { return static_cast<SocketPipe*>(device)->lastError; }

std::string SocketLocation(void* device) { return "emulator " + static_cast<SocketPipe*>(device)->path; }

void SocketClose(void* device) {
    auto* s = static_cast<SocketPipe*>(device);
    if (s == nullptr) return;
    close(s->fd);
    delete s;
}

}  // namespace

std::string EmulatorSocketPath() {
    if (const char* named = NamedEmulatorAddress()) return named;
    const char* env = std::getenv("QP7730_EMULATOR");
    if (env != nullptr && env[0] != '\0') return env;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] != '\0') return std::string(runtime) + "/qp7730-emu.sock";
    return "/tmp/qp7730-emu-" + std::to_string(getuid()) + ".sock";
}

extern const PipeBackend kSocketPipeBackend = {"emulator", SocketOpen, SocketTransfer, SocketLastError, SocketClose,
                                              SocketLocation};
