// Stream sockets on POSIX systems.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "link/net.h"
#include "platform/platform.h"

const int kNetTimedOut = ETIMEDOUT;
const int kNetMessageSize = EOVERFLOW;
const int kNetReset = ECONNRESET;

NetWait NetWaitReady(NetSocket s, bool forWrite, int timeoutMs) {
    pollfd p{static_cast<int>(s), static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const int rc = poll(&p, 1, timeoutMs);
        if (rc > 0) return NetWait::Ready;  // errors and hang-ups show in the next call
        if (rc == 0) return NetWait::Timeout;
        if (errno != EINTR) return NetWait::Error;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        timeoutMs = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
}

NetSocket NetConnect(const std::string& host, const std::string& port, int timeoutMs, int* error) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) {
        *error = EHOSTUNREACH;
        return kNoSocket;
    }
    int fd = -1;
    *error = ECONNREFUSED;
    for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            *error = errno;
            continue;
        }
        int rc = connect(fd, a->ai_addr, a->ai_addrlen);
        if (rc != 0 && errno == EINPROGRESS) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            const NetWait w = NetWaitReady(fd, true, left.count() > 0 ? static_cast<int>(left.count()) : 0);
            int soError = ETIMEDOUT;
            socklen_t size = sizeof soError;
            if (w == NetWait::Ready) getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &size);
            rc = soError == 0 ? 0 : -1;
            errno = soError;
        }
        const int one = 1;
        if (rc != 0 || setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) {
            *error = errno;
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    return fd < 0 ? kNoSocket : fd;
}

long NetSend(NetSocket s, const uint8_t* data, size_t length) {
    ssize_t n;
    do n = send(static_cast<int>(s), data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
    return static_cast<long>(n);
}

long NetRecv(NetSocket s, uint8_t* buf, size_t length) {
    ssize_t n;
    do n = recv(static_cast<int>(s), buf, length, MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
    return static_cast<long>(n);
}

int NetLastError() { return errno; }
std::string NetErrorText(int error) { return OsErrorText(error); }

bool NetWouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

bool NetPeerGone(int error) { return error == ECONNRESET || error == EPIPE; }

void NetClose(NetSocket s) { close(static_cast<int>(s)); }
