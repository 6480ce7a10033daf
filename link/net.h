// Stream sockets for the emulator route's TCP form: the few calls that differ between
// POSIX sockets and Winsock, behind one face. Sockets are non-blocking once connected;
// the caller waits with NetWaitReady and keeps its own deadline.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

using NetSocket = intptr_t;  // a file descriptor, or a Winsock SOCKET
constexpr NetSocket kNoSocket = -1;

enum class NetWait { Ready, Timeout, Error };

// Connects to host:port (a numeric address or a name) within timeoutMs, with Nagle's
// algorithm off (TCP_NODELAY). kNoSocket when that fails, with *error the platform's code.
NetSocket NetConnect(const std::string& host, const std::string& port, int timeoutMs, int* error);
// Waits until the socket is readable (or writable, forWrite) for up to timeoutMs.
NetWait NetWaitReady(NetSocket s, bool forWrite, int timeoutMs);
// One non-blocking send or receive: the bytes moved, 0 at the end of the stream (receive
// only), -1 on an error, including "would block" (NetWouldBlock(NetLastError())).
long NetSend(NetSocket s, const uint8_t* data, size_t length);
long NetRecv(NetSocket s, uint8_t* buf, size_t length);
int NetLastError();
// A NetLastError code in words, with its name and number.
std::string NetErrorText(int error);
bool NetWouldBlock(int error);
// True for the codes of a connection the other end has closed or reset.
bool NetPeerGone(int error);
void NetClose(NetSocket s);

// The platform's codes for the failures the framing itself finds.
extern const int kNetTimedOut;    // no message within the bound
extern const int kNetMessageSize; // a message longer than the buffer or than any message may be
extern const int kNetReset;       // the stream ended or can no longer be trusted
