// The emulator route: the controller's bulk pipes carried over an AF_UNIX SOCK_SEQPACKET
// socket, one message per bulk transfer.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "link/pipe.h"

namespace {

struct SocketPipe {
    int fd;
    int lastError;
};

using Clock = std::chrono::steady_clock;

// Waits until the socket is ready for the given event or the deadline passes.
bool WaitReady(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            errno = ETIMEDOUT;
            return false;
        }
        pollfd p{fd, events, 0};
        const int r = poll(&p, 1, static_cast<int>(left));
        if (r > 0) return true;
        if (r < 0 && errno != EINTR) return false;
    }
}

void* SocketOpen() {
    const std::string path = EmulatorSocketPath();
    sockaddr_un addr{};
    if (path.empty() || path.size() >= sizeof addr.sun_path) return nullptr;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);

    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return nullptr;
    }
    return new SocketPipe{fd, 0};
}

bool SocketTransfer(void* device, uint8_t pipe, uint8_t* buf, uint32_t len) {
    auto* s = static_cast<SocketPipe*>(device);
    const auto deadline = Clock::now() + std::chrono::milliseconds(kPipeTimeoutMs);
    if ((pipe & 0x80) == 0) {
        for (;;) {
            const ssize_t n = send(s->fd, buf, len, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n == static_cast<ssize_t>(len)) return true;
            if (n >= 0) {
                s->lastError = EIO;
                return false;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) break;
            if (!WaitReady(s->fd, POLLOUT, deadline)) break;
        }
        s->lastError = errno;
        return false;
    }

    // One message is one transfer: a shorter one is a complete short transfer, a longer
    // one overflows the buffer and fails, as on the bus.
    for (;;) {
        if (!WaitReady(s->fd, POLLIN, deadline)) break;
        iovec iov{buf, len};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        const ssize_t n = recvmsg(s->fd, &msg, MSG_DONTWAIT);
        if (n > 0 && (msg.msg_flags & MSG_TRUNC) == 0) return true;
        if (n > 0) {
            s->lastError = EOVERFLOW;
            return false;
        }
        if (n == 0 && len != 0) {
            s->lastError = ECONNRESET;
            return false;
        }
        if (n == 0) return true;
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) break;
    }
    s->lastError = errno;
    return false;
}

int SocketLastError(void* device) { return static_cast<SocketPipe*>(device)->lastError; }

void SocketClose(void* device) {
    auto* s = static_cast<SocketPipe*>(device);
    if (s == nullptr) return;
    close(s->fd);
    delete s;
}

}  // namespace

std::string EmulatorSocketPath() {
    const char* env = std::getenv("QP7730_EMULATOR");
    if (env != nullptr && env[0] != '\0') return env;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] != '\0') return std::string(runtime) + "/qp7730-emu.sock";
    return "/tmp/qp7730-emu-" + std::to_string(getuid()) + ".sock";
}

extern const PipeBackend kSocketPipeBackend = {"emulator", SocketOpen, SocketTransfer, SocketLastError, SocketClose};
