// The emulator route's AF_UNIX form: the controller's bulk pipes carried over an
// AF_UNIX SOCK_SEQPACKET socket, one message per bulk transfer.
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "link/pipe.h"
#include "link/pipe_emulator.h"

namespace {

class SocketLink final : public EmulatorLink {
public:
    explicit SocketLink(int fd) : fd_(fd) {}
    ~SocketLink() override { close(fd_); }

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
};

// Anyone may create a socket at the path first (/tmp is shared): only a socket served by
// this user or root speaks for the controller. Another one is passed over silently, as if
// nothing listened there.
bool ServedBySameUser(int fd) {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || size != sizeof peer) return false;
    return peer.uid == geteuid() || peer.uid == 0;
}

}  // namespace

std::unique_ptr<EmulatorLink> OpenLocalEmulator(const std::string& path) {
    sockaddr_un addr{};
    if (path.empty() || path.size() >= sizeof addr.sun_path) return nullptr;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);

    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    // Every transfer is bounded by the pipe timeout; the kernel enforces it on each
    // blocking send and receive, which costs no extra system call per transfer. The send
    // bound set before connecting also bounds the connect itself: an AF_UNIX connect waits
    // for room in a full listen queue only that long (a non-blocking connect would fail at
    // once instead of waiting).
    const timeval bound{kPipeTimeoutMs / 1000, (kPipeTimeoutMs % 1000) * 1000};
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound) != 0 ||
        connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 || !ServedBySameUser(fd)) {
        close(fd);
        return nullptr;
    }
    return std::make_unique<SocketLink>(fd);
}

std::string DefaultLocalEmulatorPath() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] != '\0') return std::string(runtime) + "/qp7730-emu.sock";
    return "/tmp/qp7730-emu-" + std::to_string(getuid()) + ".sock";
}
