// The emulator's socket side: what arrives on an accepted connection, as the server reads
// it. Either SOCK_SEQPACKET messages (one bulk transfer each) or the TCP form, a byte
// stream of length-framed messages, the framing itself taken from the input. A few of the
// emulator's faults are injected at commands the input picks, and sometimes --exit-after.
//
// Input: byte 0 selects the form (bit 0: TCP) and the number of faults (bits 1-2); then
// two bytes per fault (kind, command number) and one for exit-after (0: none). The rest is
// the stream (TCP) or messages, each a 16-bit little-endian length and its bytes.
//
// A helper thread writes the input and then half-closes its end, so the server never
// waits for more; it also reads the replies, but stops after 1 MiB and closes, as a host
// that does not want the rest of a long data-in phase would.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <thread>
#include <vector>

#include "emu/server.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr size_t kReplyLimit = 1 << 20;

void Peer(int fd, const std::vector<std::vector<uint8_t>>& messages) {
    size_t next = 0, offset = 0, replies = 0;
    bool writing = !messages.empty();
    if (!writing) shutdown(fd, SHUT_WR);
    std::vector<uint8_t> sink(0x10000 + 64);
    for (;;) {
        pollfd p{fd, static_cast<short>(POLLIN | (writing ? POLLOUT : 0)), 0};
        if (poll(&p, 1, -1) < 0) continue;
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = recv(fd, sink.data(), sink.size(), MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
            if (n > 0 && (replies += static_cast<size_t>(n)) > kReplyLimit) break;
        }
        if (writing && (p.revents & POLLOUT)) {
            const std::vector<uint8_t>& m = messages[next];
            const ssize_t n = send(fd, m.data() + offset, m.size() - offset, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n >= 0) offset += static_cast<size_t>(n);
            else if (errno != EAGAIN && errno != EINTR) writing = false;
            if (offset == m.size()) ++next, offset = 0;
            if (next == messages.size() || !writing) {
                writing = false;
                shutdown(fd, SHUT_WR);
            }
        }
    }
    close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::QuietProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static emu::Model* model = new emu::Model(fuzz::SmallModel());
    if (size < 1) return 0;
    const bool tcp = data[0] & 1;
    const size_t faults = (data[0] >> 1) & 3;
    size_t at = 1;
    emu::ServerConfig config;
    if (tcp) config.listenAddress = "127.0.0.1:0";  // only picks the framing: nothing listens
    config.dataTimeoutMs = 200;
    for (size_t i = 0; i < faults && at + 2 <= size; ++i, at += 2)
        config.faults.push_back({static_cast<emu::FaultKind>(data[at] % emu::kFaultKinds), data[at + 1]});
    if (at < size) config.exitAfter = data[at++];

    std::vector<std::vector<uint8_t>> messages;
    if (tcp) {
        if (at < size) messages.emplace_back(data + at, data + size);
    } else {
        while (at + 2 <= size) {
            const size_t n = std::min<size_t>(data[at] | data[at + 1] << 8, size - at - 2);
            messages.emplace_back(data + at + 2, data + at + 2 + n);
            at += 2 + n;
        }
    }

    int sv[2];
    if (socketpair(AF_UNIX, (tcp ? SOCK_STREAM : SOCK_SEQPACKET) | SOCK_CLOEXEC, 0, sv) != 0) abort();
    std::thread peer(Peer, sv[1], std::cref(messages));
    {
        emu::Server server(config);
        server.ServeConnection(sv[0], *model);
    }
    close(sv[0]);
    peer.join();
    return 0;
}
