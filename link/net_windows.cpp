// Stream sockets on Windows (Winsock 2).
#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>

#include "link/net.h"

const int kNetTimedOut = WSAETIMEDOUT;
const int kNetMessageSize = WSAEMSGSIZE;
const int kNetReset = WSAECONNRESET;

namespace {

// Winsock is started once, on the first connect, and left running for the process.
bool StartWinsock() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

int MsLeft(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

NetWait NetWaitReady(NetSocket s, bool forWrite, int timeoutMs) {
    const auto sock = static_cast<SOCKET>(s);
    fd_set ready, failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(sock, &ready);
    FD_SET(sock, &failed);  // a failed connect shows here, not as writable
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    const int rc = select(0, forWrite ? nullptr : &ready, forWrite ? &ready : nullptr, &failed, &tv);
    if (rc > 0) return NetWait::Ready;  // errors show in the next call
    return rc == 0 ? NetWait::Timeout : NetWait::Error;
}

NetSocket NetConnect(const std::string& host, const std::string& port, int timeoutMs, int* error) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    if (!StartWinsock()) {
        *error = WSANOTINITIALISED;
        return kNoSocket;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) {
        *error = WSAGetLastError();
        return kNoSocket;
    }
    SOCKET sock = INVALID_SOCKET;
    *error = WSAECONNREFUSED;
    for (addrinfo* a = found; a != nullptr && sock == INVALID_SOCKET; a = a->ai_next) {
        sock = socket(a->ai_family, SOCK_STREAM, IPPROTO_TCP);
        if (sock == INVALID_SOCKET) {
            *error = WSAGetLastError();
            continue;
        }
        u_long nonBlocking = 1;
        int rc = ioctlsocket(sock, FIONBIO, &nonBlocking);
        if (rc == 0) rc = connect(sock, a->ai_addr, static_cast<int>(a->ai_addrlen));
        int code = rc == 0 ? 0 : WSAGetLastError();
        if (rc != 0 && code == WSAEWOULDBLOCK) {
            code = WSAETIMEDOUT;
            if (NetWaitReady(static_cast<NetSocket>(sock), true, MsLeft(deadline)) == NetWait::Ready) {
                int soError = 0;
                int size = sizeof soError;
                getsockopt(sock, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &size);
                code = soError;
            }
        }
        const BOOL one = TRUE;
        if (code == 0 &&
            setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one) != 0) {
            code = WSAGetLastError();
        }
        if (code != 0) {
            *error = code;
            closesocket(sock);
            sock = INVALID_SOCKET;
        }
    }
    freeaddrinfo(found);
    return sock == INVALID_SOCKET ? kNoSocket : static_cast<NetSocket>(sock);
}

long NetSend(NetSocket s, const uint8_t* data, size_t length) {
    const int n = send(static_cast<SOCKET>(s), reinterpret_cast<const char*>(data), static_cast<int>(length), 0);
    return n == SOCKET_ERROR ? -1 : n;
}

long NetRecv(NetSocket s, uint8_t* buf, size_t length) {
    const int n = recv(static_cast<SOCKET>(s), reinterpret_cast<char*>(buf), static_cast<int>(length), 0);
    return n == SOCKET_ERROR ? -1 : n;
}

int NetLastError() { return WSAGetLastError(); }
std::string NetErrorText(int error) {
    char text[256] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                   static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
    std::string words(text, n);
    while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == '.')) words.pop_back();
    return (words.empty() ? std::string("Winsock error") : words) + " (" + std::to_string(error) + ")";
}

bool NetWouldBlock(int error) { return error == WSAEWOULDBLOCK; }

bool NetPeerGone(int error) { return error == WSAECONNRESET || error == WSAECONNABORTED; }

void NetClose(NetSocket s) { closesocket(static_cast<SOCKET>(s)); }
