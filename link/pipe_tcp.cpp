// The emulator route's TCP form: each message is a 4-byte little-endian length and then
// exactly that many bytes, sent in one send. The stream has no message boundaries of
// its own, so a transfer that stops inside a message (a timeout, a length no message may
// have) leaves the link unusable: every later transfer fails.
//
// Nothing tells who is at the other end of a TCP connection: unlike the AF_UNIX form, no
// credentials are checked. A loopback port is open to every local user, so this form is
// for development and tests; the default stays the owner-only AF_UNIX socket.
#include <algorithm>
#include <chrono>
#include <vector>

#include "link/endian.h"
#include "link/host_port.h"
#include "link/net.h"
#include "link/pipe.h"
#include "link/pipe_emulator.h"

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

class TcpLink final : public EmulatorLink {
public:
    explicit TcpLink(NetSocket s) : socket_(s) {}
    ~TcpLink() override { NetClose(socket_); }

    bool Transfer(uint8_t pipe, uint8_t* buf, uint32_t len, uint32_t* moved) override {
        if (broken_) return Fail(kNetReset);
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kPipeTimeoutMs);
        return (pipe & 0x80) == 0 ? Send(buf, len, deadline, moved) : Receive(buf, len, deadline, moved);
    }

private:
    enum class Io { Done, Timeout, Ended, Failed };

    // The stream's end (a reset or end of stream, or a stream out of step, which kNetReset
    // stands for too) means no transfer can succeed any more.
    bool Fail(int error) { return Failed(error, error == kNetReset || NetPeerGone(error)); }
    // Fails the transfer; a message left half-way makes the link unusable.
    bool FailMidway(bool started, int error) {
        if (started) broken_ = true;
        return Fail(error);
    }
    int ErrorOf(Io io) const {
        return io == Io::Timeout ? kNetTimedOut : io == Io::Ended ? kNetReset : ioError_;
    }

    // Moves exactly length bytes before the deadline; *done counts what moved.
    Io Move(bool out, uint8_t* data, size_t length, Clock::time_point deadline, size_t* done) {
        *done = 0;
        while (*done < length) {
            const long n = out ? NetSend(socket_, data + *done, length - *done)
                               : NetRecv(socket_, data + *done, length - *done);
            if (n > 0) {
                *done += static_cast<size_t>(n);
                continue;
            }
            if (n == 0) return Io::Ended;
            const int error = NetLastError();
            if (!NetWouldBlock(error)) {
                ioError_ = error;
                return Io::Failed;
            }
            const NetWait w = NetWaitReady(socket_, out, MsLeft(deadline));
            if (w == NetWait::Timeout) return Io::Timeout;
            if (w == NetWait::Error) {
                ioError_ = NetLastError();
                return Io::Failed;
            }
        }
        return Io::Done;
    }

    bool Send(const uint8_t* buf, uint32_t len, Clock::time_point deadline, uint32_t* moved) {
        if (len > kMaxTcpMessage) return Fail(kNetMessageSize);
        frame_.resize(4 + size_t{len});
        PutLe32(frame_.data(), len);
        std::copy(buf, buf + len, frame_.begin() + 4);
        size_t sent = 0;
        const Io io = Move(true, frame_.data(), frame_.size(), deadline, &sent);
        if (io != Io::Done) return FailMidway(sent > 0, ErrorOf(io));
        *moved = len;
        return true;
    }

    bool Receive(uint8_t* buf, uint32_t len, Clock::time_point deadline, uint32_t* moved) {
        uint8_t header[4];
        size_t got = 0;
        Io io = Move(false, header, sizeof header, deadline, &got);
        if (io != Io::Done) return FailMidway(got > 0, ErrorOf(io));
        const uint32_t length = GetLe32(header);
        if (length > kMaxTcpMessage) return FailMidway(true, kNetMessageSize);

        // One message is one transfer: a shorter one is a complete short transfer; a longer
        // one is read to its end, to stay in step, and fails as an overflow would on USB.
        const uint32_t kept = length < len ? length : len;
        io = Move(false, buf, kept, deadline, &got);
        if (io == Io::Done && length > kept) {
            frame_.resize(length - kept);
            io = Move(false, frame_.data(), frame_.size(), deadline, &got);
            if (io == Io::Done) return Fail(kNetMessageSize);
        }
        if (io != Io::Done) return FailMidway(true, ErrorOf(io));
        *moved = length;
        return true;
    }

    NetSocket socket_;
    bool broken_ = false;
    int ioError_ = 0;
    std::vector<uint8_t> frame_;  // the length and the message of a send; the overflow of a receive
};

}  // namespace

std::unique_ptr<EmulatorLink> OpenTcpEmulator(const std::string& hostAndPort) {
    std::string host, port;
    if (!SplitHostPort(hostAndPort, &host, &port) || std::stol(port) == 0) return nullptr;
    int error = 0;
    const NetSocket s = NetConnect(host, port, static_cast<int>(kPipeTimeoutMs), &error);
    if (s == kNoSocket) return nullptr;
    return std::make_unique<TcpLink>(s);
}
