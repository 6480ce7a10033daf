// The emulator route's TCP form, from the host side: the framing on the wire, against a
// peer that the test drives byte by byte.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "link/endian.h"
#include "link/pipe.h"

extern const PipeBackend kEmulatorPipeBackend;

namespace {

std::vector<uint8_t> Message(const std::string& text) {
    std::vector<uint8_t> m(4 + text.size());
    PutLe32(m.data(), static_cast<uint32_t>(text.size()));
    std::copy(text.begin(), text.end(), m.begin() + 4);
    return m;
}

// A loopback listener; the backend connects to it, the test takes the other end.
class TcpPeer {
public:
    TcpPeer() {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof addr;
        if (bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listener_, 4) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &size) != 0) {
            throw std::runtime_error("cannot listen on loopback");
        }
        address_ = "tcp:127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
    }
    ~TcpPeer() {
        if (peer_ >= 0) close(peer_);
        close(listener_);
    }
    const std::string& Address() const { return address_; }
    // The connection the backend made.
    void Accept() { peer_ = accept(listener_, nullptr, nullptr); }
    void Write(const std::vector<uint8_t>& bytes) {
        ASSERT_EQ(send(peer_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }
    // Everything that has arrived so far.
    std::vector<uint8_t> ReadAvailable() {
        std::vector<uint8_t> all;
        uint8_t buf[4096];
        for (ssize_t n; (n = recv(peer_, buf, sizeof buf, MSG_DONTWAIT)) > 0;) all.insert(all.end(), buf, buf + n);
        return all;
    }
    void Hangup() {
        close(peer_);
        peer_ = -1;
    }

private:
    int listener_ = -1;
    int peer_ = -1;
    std::string address_;
};

class EmulatorTcpTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("QP7730_EMULATOR", peer.Address().c_str(), 1);
        device = kEmulatorPipeBackend.Open({});
        ASSERT_NE(device, nullptr);
        peer.Accept();
    }
    void TearDown() override {
        if (device) kEmulatorPipeBackend.Close(device);
        unsetenv("QP7730_EMULATOR");
    }
    // One IN transfer into a buffer of len bytes: the bytes moved, or -1 (error in lastError).
    long In(uint32_t len, std::string* text = nullptr) {
        std::vector<uint8_t> buf(len);
        uint32_t moved = 0;
        const TransferResult r = kEmulatorPipeBackend.Transfer(device, kPipeIn, buf.data(), len, &moved);
        if (r != TransferResult::kGood && r != TransferResult::kShort) {
            lastError = kEmulatorPipeBackend.LastError(device);
            return -1;
        }
        if (text) text->assign(buf.begin(), buf.begin() + moved);
        return moved;
    }

    TcpPeer peer;
    void* device = nullptr;
    int lastError = 0;
};

TEST_F(EmulatorTcpTest, OutTransferIsItsLengthThenItsBytes) {
    uint8_t data[] = {'h', 'e', 'l', 'l', 'o'};
    uint32_t moved = 0;
    ASSERT_EQ(kEmulatorPipeBackend.Transfer(device, kPipeOut, data, sizeof data, &moved), TransferResult::kGood);
    EXPECT_EQ(moved, 5u);
    std::vector<uint8_t> wire;
    for (int i = 0; i < 100 && wire.size() < 9; ++i) {
        const std::vector<uint8_t> more = peer.ReadAvailable();
        wire.insert(wire.end(), more.begin(), more.end());
        if (wire.size() < 9) usleep(1000);
    }
    EXPECT_EQ(wire, Message("hello"));
}

// What the peer sends for an IN transfer into a 5-byte buffer, and the two transfers
// that follow it: the first takes that message, the second the next "xy".
struct InCase {
    const char* name;
    std::vector<uint8_t> wire;
    long first;       // bytes moved, or -1
    int error;        // of a failed first transfer
    long second;      // the transfer after it
};

std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<uint8_t> Oversized() {
    std::vector<uint8_t> m(4 + 0x10001, 'z');
    PutLe32(m.data(), 0x10001);
    return Concat(m, Message("xy"));
}

class EmulatorTcpInTest : public EmulatorTcpTest, public ::testing::WithParamInterface<InCase> {};

TEST_P(EmulatorTcpInTest, TakesOneMessage) {
    const InCase& c = GetParam();
    peer.Write(c.wire);
    EXPECT_EQ(In(5), c.first);
    if (c.first < 0) {
        EXPECT_EQ(lastError, c.error);
    }
    std::string text;
    EXPECT_EQ(In(5, &text), c.second);
    if (c.second > 0) {
        EXPECT_EQ(text, "xy");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Messages, EmulatorTcpInTest,
    ::testing::Values(InCase{"exact", Concat(Message("hello"), Message("xy")), 5, 0, 2},
                      InCase{"short", Concat(Message("abc"), Message("xy")), 3, 0, 2},
                      InCase{"empty", Concat(Message(""), Message("xy")), 0, 0, 2},
                      // Longer than the buffer: fails like an overflow; the stream stays in step.
                      InCase{"longer", Concat(Message("abcdefgh"), Message("xy")), -1, EOVERFLOW, 2},
                      // A length no message may have is not read: the link is done for.
                      InCase{"oversized", Oversized(), -1, EOVERFLOW, -1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EmulatorTcpTest, PeerThatHangsUpFailsTheTransfer) {
    peer.Hangup();
    EXPECT_EQ(In(13), -1);
    EXPECT_EQ(lastError, ECONNRESET);
}

// Each wait lasts the whole transfer bound.
TEST_F(EmulatorTcpTest, TransfersAreBoundedAndOnlyACutMessageBreaksTheLink) {
    using Clock = std::chrono::steady_clock;
    // Nothing at all: a timeout, and the next message is still found.
    auto start = Clock::now();
    EXPECT_EQ(In(13), -1);
    EXPECT_EQ(lastError, ETIMEDOUT);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(kPipeTimeoutMs - 100));
    peer.Write(Message("xy"));
    EXPECT_EQ(In(13), 2);
    // Half a length, then silence: the stream cannot be followed any more.
    const std::vector<uint8_t> half = {2, 0};
    peer.Write(half);
    start = Clock::now();
    EXPECT_EQ(In(13), -1);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(kPipeTimeoutMs + 2000));
    std::vector<uint8_t> rest = {0, 0};
    peer.Write(Concat(rest, Message("xy")));
    EXPECT_EQ(In(13), -1);
    EXPECT_EQ(lastError, ECONNRESET);
}

TEST(EmulatorTcpAddress, MalformedAddressesOpenNothing) {
    for (const char* address : {"tcp:127.0.0.1", "tcp:127.0.0.1:", "tcp::5000", "tcp:127.0.0.1:0",
                                "tcp:127.0.0.1:65536", "tcp:127.0.0.1:12x", "tcp:[::1:5000", "tcp:[::1]5000"}) {
        setenv("QP7730_EMULATOR", address, 1);
        void* device = kEmulatorPipeBackend.Open({});
        EXPECT_EQ(device, nullptr) << address;
        if (device) kEmulatorPipeBackend.Close(device);
    }
    unsetenv("QP7730_EMULATOR");
}

}  // namespace
