#include "emu/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "emu/bulk_only_device.h"
#include "link/endian.h"
#include "link/host_port.h"

namespace emu {
namespace {

constexpr size_t kMaxMessage = 0x10000;  // one bulk transfer
// Data-out bytes kept for the model; longer phases are consumed and the command fails.
constexpr size_t kMaxKeptData = 16u << 20;
constexpr size_t kTraceDataBytes = 64;
constexpr int kSendTimeoutMs = 10000;

int g_stopPipe[2] = {-1, -1};

std::string Hex(const uint8_t* data, size_t length, size_t limit) {
    static const char kDigits[] = "0123456789abcdef";
    std::string s;
    const size_t n = std::min(length, limit);
    s.reserve(2 * n + 3);
    for (size_t i = 0; i < n; ++i) {
        s += kDigits[data[i] >> 4];
        s += kDigits[data[i] & 15];
    }
    if (length > limit) s += "...";
    return s;
}

// 127.0.0.0/8 and ::1 (also as an IPv4-mapped IPv6 address).
bool IsLoopback(const sockaddr* address) {
    if (address->sa_family == AF_INET) {
        return (ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr) >> 24) == 127;
    }
    if (address->sa_family == AF_INET6) {
        const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
        return IN6_IS_ADDR_LOOPBACK(&a) || (IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127);
    }
    return false;
}

int MsUntil(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<long long>(0, left.count()));
}

}  // namespace

bool ParseFault(const std::string& text, Fault* fault) {
    static const struct {
        const char* name;
        FaultKind kind;
    } kKinds[] = {
        {"fail-status", FaultKind::FailStatus}, {"bad-signature", FaultKind::BadSignature},
        {"no-answer", FaultKind::NoAnswer},     {"short-data", FaultKind::ShortData},
        {"flip-bit", FaultKind::FlipBit},
    };
    const size_t at = text.find('@');
    if (at == std::string::npos || at + 1 >= text.size()) return false;
    const std::string kind = text.substr(0, at);
    const std::string number = text.substr(at + 1);
    if (number.find_first_not_of("0123456789") != std::string::npos || number.size() > 18) return false;
    const uint64_t n = std::strtoull(number.c_str(), nullptr, 10);
    if (n == 0) return false;
    for (const auto& k : kKinds) {
        if (kind == k.name) {
            *fault = Fault{k.kind, n};
            return true;
        }
    }
    return false;
}

const char* FaultName(FaultKind kind) {
    switch (kind) {
        case FaultKind::FailStatus: return "fail-status";
        case FaultKind::BadSignature: return "bad-signature";
        case FaultKind::NoAnswer: return "no-answer";
        case FaultKind::ShortData: return "short-data";
        case FaultKind::FlipBit: return "flip-bit";
    }
    return "?";
}

std::string DefaultSocketPath() {
    const char* env = std::getenv("QP7730_EMULATOR");
    if (env && *env) return env;
    return UserSocketPath();
}

std::string UserSocketPath() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime) return std::string(runtime) + "/qp7730-emu.sock";
    return "/tmp/qp7730-emu-" + std::to_string(getuid()) + ".sock";
}

std::string DefaultPngPath(const std::string& socketPath) {
    const std::string suffix = ".sock";
    if (socketPath.size() > suffix.size() && socketPath.ends_with(suffix)) {
        return socketPath.substr(0, socketPath.size() - suffix.size()) + "-panel.png";
    }
    return socketPath + "-panel.png";
}

bool Server::InitStopChannel() {
    if (g_stopPipe[0] >= 0) return true;
    if (pipe2(g_stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    return true;
}

void Server::RequestStop() {
    if (g_stopPipe[1] >= 0) {
        const char c = 's';
        [[maybe_unused]] ssize_t n = write(g_stopPipe[1], &c, 1);
    }
}

Server::Server(ServerConfig config)
    : config_(std::move(config)), tcp_(!config_.listenAddress.empty()), rx_(kMaxMessage + 1) {}

Server::~Server() {
    if (listenFd_ >= 0) {
        close(listenFd_);
        // Remove the socket file only while it is still the one this emulator made.
        struct stat st {};
        if (!tcp_ && lstat(config_.socketPath.c_str(), &st) == 0 && st.st_ino == socketInode_) {
            unlink(config_.socketPath.c_str());
        }
    }
    if (lockFd_ >= 0) {
        // Removed while still held: whoever opened it meanwhile finds it gone after locking
        // and starts over with a new one (see TakeLock).
        unlink(LockPath().c_str());
        close(lockFd_);
    }
    if (trace_) std::fclose(trace_);
}

std::string Server::LockPath() const { return config_.socketPath + ".lock"; }

bool Server::TakeLock(std::string* error) {
    const std::string lock = LockPath();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int fd = open(lock.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
        if (fd < 0) {
            *error = lock + ": " + std::strerror(errno);
            return false;
        }
        struct stat held {};
        if (fstat(fd, &held) != 0 || !S_ISREG(held.st_mode) || held.st_uid != geteuid()) {
            close(fd);
            *error = lock + " is not a file of this user";
            return false;
        }
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int e = errno;
            close(fd);
            *error = e == EWOULDBLOCK ? "another emulator already serves " + config_.socketPath
                                      : lock + ": " + std::strerror(e);
            return false;
        }
        // The emulator that held it may have removed it before we locked it.
        struct stat named {};
        if (lstat(lock.c_str(), &named) == 0 && named.st_dev == held.st_dev && named.st_ino == held.st_ino) {
            lockFd_ = fd;
            return true;
        }
        close(fd);
    }
    *error = lock + " keeps changing";
    return false;
}

bool Server::Listen(std::string* error) {
    if (!(tcp_ ? ListenTcp(error) : ListenUnix(error))) return false;
    if (!config_.tracePath.empty()) {
        trace_ = std::fopen(config_.tracePath.c_str(), "w");
        if (!trace_) {
            *error = config_.tracePath + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

bool Server::ListenTcp(std::string* error) {
    const std::string& text = config_.listenAddress;
    std::string host, port;
    if (!SplitHostPort(text, &host, &port)) {
        *error = "--listen wants HOST:PORT or [IPV6]:PORT, not " + text;
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | AI_PASSIVE;
    addrinfo* found = nullptr;
    if (const int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found); rc != 0) {
        *error = text + ": " + gai_strerror(rc);
        return false;
    }
    // Anyone on the machine can connect to a TCP port and no credentials come with it:
    // only loopback addresses are served, never a port reachable from other machines.
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
        if (!IsLoopback(a->ai_addr)) {
            freeaddrinfo(found);
            *error = text + " is not a loopback address: --listen serves only 127.0.0.0/8 and ::1";
            return false;
        }
    }
    int e = 0;
    for (addrinfo* a = found; a != nullptr && listenFd_ < 0; a = a->ai_next) {
        listenFd_ = socket(a->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        if (listenFd_ >= 0 && setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
            bind(listenFd_, a->ai_addr, a->ai_addrlen) == 0 && listen(listenFd_, Backlog()) == 0) {
            break;
        }
        e = errno;
        if (listenFd_ >= 0) close(listenFd_);
        listenFd_ = -1;
    }
    freeaddrinfo(found);
    if (listenFd_ < 0) {
        *error = text + ": " + std::strerror(e);
        return false;
    }

    sockaddr_storage bound{};
    socklen_t size = sizeof bound;
    char name[INET6_ADDRSTRLEN] = "?";
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&bound), &size);
    if (bound.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&bound);
        inet_ntop(AF_INET6, &in6->sin6_addr, name, sizeof name);
        address_ = "tcp:[" + std::string(name) + "]:" + std::to_string(ntohs(in6->sin6_port));
    } else {
        const auto* in4 = reinterpret_cast<const sockaddr_in*>(&bound);
        inet_ntop(AF_INET, &in4->sin_addr, name, sizeof name);
        address_ = "tcp:" + std::string(name) + ":" + std::to_string(ntohs(in4->sin_port));
    }
    return true;
}

bool Server::ListenUnix(std::string* error) {
    const std::string& path = config_.socketPath;
    address_ = path;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        *error = "socket path is empty or longer than " + std::to_string(sizeof addr.sun_path - 1) + " bytes: " + path;
        return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);

    // The lock makes the check for a live emulator, the removal of a stale socket and the
    // bind one step; it is held while serving, so a second emulator stops right here.
    if (!TakeLock(error)) return false;
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            *error = path + " exists and is not a socket";
            return false;
        }
        // Non-blocking: a listener whose queue is full answers EAGAIN instead of holding us.
        int probe = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (probe < 0) {
            *error = std::string("socket: ") + std::strerror(errno);
            return false;
        }
        const int rc = connect(probe, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
        const int e = errno;
        close(probe);
        if (rc == 0) {
            *error = "another emulator already serves " + path;
            return false;
        }
        if (e != ECONNREFUSED) {
            *error = path + " is in use: " + std::strerror(e);
            return false;
        }
        unlink(path.c_str());  // stale: nobody listens any more
    }

    listenFd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) {
        *error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    const mode_t old = umask(0077);
    const int rc = bind(listenFd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    const int e = errno;
    umask(old);
    if (rc != 0) {
        *error = path + ": " + std::strerror(e);
        close(listenFd_);
        listenFd_ = -1;
        return false;
    }
    chmod(path.c_str(), 0600);
    if (lstat(path.c_str(), &st) == 0) socketInode_ = st.st_ino;
    if (listen(listenFd_, Backlog()) != 0) {
        *error = std::string("listen: ") + std::strerror(errno);
        return false;
    }
    return true;
}

Server::Wait Server::WaitFor(int fd, short events, int timeoutMs) {
    pollfd fds[2] = {{fd, events, 0}, {g_stopPipe[0], POLLIN, 0}};
    const nfds_t count = g_stopPipe[0] >= 0 ? 2 : 1;
    for (;;) {
        const int rc = poll(fds, count, timeoutMs);
        if (rc < 0) {
            if (errno == EINTR) continue;
            return Wait::Error;
        }
        if (rc == 0) return Wait::Timeout;
        if (count == 2 && (fds[1].revents & POLLIN)) {
            stopped_ = true;
            return Wait::Stop;
        }
        return Wait::Ready;
    }
}

long Server::Receive(int fd, uint8_t* buf, size_t cap, int timeoutMs) {
    if (tcp_) return ReceiveFramed(fd, buf, cap, timeoutMs);
    switch (WaitFor(fd, POLLIN, timeoutMs)) {
        case Wait::Stop: return -2;
        case Wait::Timeout: return -3;
        case Wait::Error: return -1;
        case Wait::Ready: break;
    }
    for (;;) {
        // MSG_TRUNC makes recv report a message's real length even when it was cut.
        const ssize_t n = recv(fd, buf, cap, MSG_TRUNC);
        if (n < 0 && errno == EINTR) continue;
        return n < 0 ? -1 : static_cast<long>(n);
    }
}

long Server::ReceiveFramed(int fd, uint8_t* buf, size_t cap, int timeoutMs) {
    uint8_t header[4];
    const long n = ReadExactly(fd, header, sizeof header, timeoutMs);
    if (n != sizeof header) return n;
    const uint32_t length = GetLe32(header);
    // Never more than one bulk transfer: a longer length is not read, and the stream
    // cannot be followed past it.
    if (length > kMaxMessage || length > cap) {
        std::fprintf(stderr, "qp7730-emu: dropped a client that announced a message of %lu bytes (at most %zu)\n",
                     static_cast<unsigned long>(length), kMaxMessage);
        return -1;
    }
    if (length == 0) return 0;
    const long got = ReadExactly(fd, buf, length, config_.dataTimeoutMs);
    return got == static_cast<long>(length) || got == -2 ? got : -1;
}

long Server::ReadExactly(int fd, uint8_t* buf, size_t length, int timeoutMs) {
    size_t done = 0;
    auto deadline = std::chrono::steady_clock::now();
    while (done < length) {
        // Once a message has begun, the rest must follow within the data bound.
        switch (WaitFor(fd, POLLIN, done == 0 ? timeoutMs : MsUntil(deadline))) {
            case Wait::Stop: return -2;
            case Wait::Timeout: return done == 0 ? -3 : -1;
            case Wait::Error: return -1;
            case Wait::Ready: break;
        }
        const ssize_t n = recv(fd, buf + done, length - done, MSG_DONTWAIT);
        if (n == 0) return done == 0 ? 0 : -1;
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return -1;
        }
        if (done == 0) deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(config_.dataTimeoutMs);
        done += static_cast<size_t>(n);
    }
    return static_cast<long>(length);
}

bool Server::Send(int fd, const uint8_t* data, size_t length) {
    if (tcp_) {
        // The length and the message go out together, in one send when the socket has room.
        frame_.resize(4 + length);
        PutLe32(frame_.data(), static_cast<uint32_t>(length));
        std::copy(data, data + length, frame_.begin() + 4);
        data = frame_.data();
        length = frame_.size();
    }
    // A host that does not read gets kSendTimeoutMs; a stop request ends the wait at once.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSendTimeoutMs);
    size_t done = 0;
    for (;;) {
        const ssize_t n = send(fd, data + done, length - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            done += static_cast<size_t>(n);
            if (done == length) return true;
            if (!tcp_) return false;  // a message goes whole or not at all
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
        if (WaitFor(fd, POLLOUT, MsUntil(deadline)) != Wait::Ready) return false;
    }
}

bool Server::ClientTrusted(int fd) {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && size == sizeof peer &&
        (peer.uid == geteuid() || peer.uid == 0)) {
        return true;
    }
    if (!refusalReported_) {
        std::fprintf(stderr,
                     "qp7730-emu: refused a client of uid %ld: only uid %ld and root are served "
                     "(further refusals are not reported)\n",
                     size == sizeof peer ? static_cast<long>(peer.uid) : -1L, static_cast<long>(geteuid()));
        refusalReported_ = true;
    }
    return false;
}

const Fault* Server::FaultFor(uint64_t command) const {
    for (const Fault& f : config_.faults) {
        if (f.command == command) return &f;
    }
    return nullptr;
}

void Server::Trace(uint64_t seq, const std::string& line) {
    if (!trace_) return;
    std::fprintf(trace_, "{\"seq\":%llu,%s}\n", static_cast<unsigned long long>(seq), line.c_str());
    std::fflush(trace_);
}

int Server::Accept() {
    const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return -1;  // the peer gave up before we took it, or a signal
    if (tcp_) {
        // A TCP peer brings no credentials: any local user may connect to a loopback
        // port, which is why TCP is for development and tests only.
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    } else if (!ClientTrusted(fd)) {
        // The socket file is owner-only, but its directory or mode may be changed by
        // others: the peer's credentials decide.
        close(fd);
        return -1;
    }
    return fd;
}

void Server::ReportExitAfter() const {
    if (config_.exitAfter != 0 && commandCount_ == config_.exitAfter) {
        std::fprintf(stderr, "qp7730-emu: stopped after command %llu\n", static_cast<unsigned long long>(commandCount_));
    }
}

int Server::Run(Model& model) {
    if (config_.interleave) return RunInterleaved(model);
    for (;;) {
        switch (WaitFor(listenFd_, POLLIN, -1)) {
            case Wait::Stop: return 0;
            case Wait::Error: return 1;
            default: break;
        }
        const int fd = Accept();
        if (fd < 0) continue;
        const bool goOn = ServeConnection(fd, model) && !stopped_;
        close(fd);
        if (!goOn) {
            ReportExitAfter();
            break;
        }
    }
    return 0;
}

int Server::RunInterleaved(Model& model) {
    struct Connection {
        int fd;
        uint64_t number;  // from 1, in the order accepted; shown in the trace
    };
    std::vector<Connection> open;
    std::vector<pollfd> fds;
    uint64_t accepted = 0;
    bool stop = false;
    int status = 0;
    while (!stop) {
        fds.assign({{g_stopPipe[0], POLLIN, 0}, {listenFd_, POLLIN, 0}});
        for (const Connection& c : open) fds.push_back({c.fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            status = 1;
            break;
        }
        if (fds[0].revents & POLLIN) {
            stopped_ = true;
            break;
        }
        // One command from every connection that has one ready, in the order they came: a
        // busy connection gets its next command only after every other ready one had its turn.
        std::vector<size_t> closed;
        for (size_t i = 0; i < open.size() && !stop; ++i) {
            if (fds[i + 2].revents == 0) continue;
            switch (ServeCommand(open[i].fd, model, 0, open[i].number)) {
                case Served::Next: break;
                case Served::Close: closed.push_back(i); break;
                case Served::Stop: stop = true; break;
            }
        }
        for (auto i = closed.rbegin(); i != closed.rend(); ++i) {
            close(open[*i].fd);
            open.erase(open.begin() + static_cast<long>(*i));
        }
        if (stop || !(fds[1].revents & POLLIN)) continue;

        const int fd = Accept();
        if (fd < 0) continue;
        if (open.size() >= kMaxInterleaved) {
            if (!capacityReported_) {
                std::fprintf(stderr,
                             "qp7730-emu: refused a connection: %zu are open already (further refusals are not "
                             "reported)\n",
                             kMaxInterleaved);
                capacityReported_ = true;
            }
            close(fd);
            continue;
        }
        open.push_back({fd, ++accepted});
    }
    for (const Connection& c : open) close(c.fd);
    ReportExitAfter();
    return status;
}

bool Server::ServeConnection(int fd, Model& model) {
    // A client has dataTimeoutMs to send its first wrapper: one that connects and says
    // nothing would otherwise hold the controller (one connection at a time) for ever.
    // Between commands the host may pause as long as it likes (decoding a picture).
    switch (WaitFor(fd, POLLIN, config_.dataTimeoutMs)) {
        case Wait::Stop: return false;
        case Wait::Timeout:
        case Wait::Error: return true;
        case Wait::Ready: break;
    }
    for (;;) {
        switch (ServeCommand(fd, model, -1, 0)) {
            case Served::Next: break;
            case Served::Close: return true;
            case Served::Stop: return false;
        }
    }
}

Server::Served Server::ServeCommand(int fd, Model& model, int waitMs, uint64_t connection) {
    static const uint8_t kZeros[kMaxMessage] = {};
    // Kept across commands, so that their room is reused.
    std::vector<uint8_t>& dataOut = dataOut_;
    std::vector<uint8_t>& reply = reply_;
    // The end of a command: the connection stays unless the status could not go out.
    const auto after = [&](uint64_t seq, bool sent) {
        if (config_.exitAfter == seq) return Served::Stop;
        return sent ? Served::Next : Served::Close;
    };
    // Interleaved connections are told apart in the trace.
    const std::string conn = connection ? "\"conn\":" + std::to_string(connection) + "," : "";
    long n = Receive(fd, rx_.data(), rx_.size(), waitMs);
    if (n == -2) return Served::Stop;
    if (n == -3) return Served::Next;  // nothing yet (only with a bound)
    if (n <= 0) return Served::Close;  // end of connection or error
    const uint64_t seq = ++commandCount_;
    const size_t size = static_cast<size_t>(n);
    CommandBlock command;
    uint32_t tag = 0;
    if (!ParseCommandBlockWrapper(rx_.data(), size, &command, &tag)) {
        uint8_t csw[kCswSize];
        MakeCommandStatusWrapper(csw, kCswSignature, tag, kStatusPhaseError);
        Trace(seq, conn + "\"cmd\":\"malformed\",\"size\":" + std::to_string(size) + ",\"status\":2");
        return after(seq, Send(fd, csw, sizeof csw));
    }

    const Fault* fault = FaultFor(seq);
    const FaultKind kind = fault ? fault->kind : FaultKind::FailStatus;
    const bool hasData = command.transferLength > 0;
    const bool out = hasData && !command.dataIn;
    const bool in = hasData && command.dataIn;
    uint8_t status = kStatusPass;
    bool connectionLost = false;

    // Data-out: always consume the whole announced phase before answering.
    dataOut.clear();
    if (out) {
        uint64_t remaining = command.transferLength;
        bool overlong = false;
        while (remaining > 0) {
            n = Receive(fd, rx_.data(), rx_.size(), config_.dataTimeoutMs);
            if (n == -2) return Served::Stop;
            if (n <= 0) {
                connectionLost = true;
                break;
            }
            const size_t got = static_cast<size_t>(n);
            const size_t take = std::min<uint64_t>({got, kMaxMessage, remaining});
            if (got > kMaxMessage || got > remaining) overlong = true;
            if (dataOut.size() + take <= kMaxKeptData) dataOut.insert(dataOut.end(), rx_.data(), rx_.data() + take);
            remaining -= take;
            if (overlong) break;
        }
        if (overlong) status = kStatusPhaseError;
        else if (dataOut.size() != command.transferLength) status = kStatusFail;
    }
    if (connectionLost) {
        Trace(seq, conn + "\"cmd\":\"" + CommandName(command.cdb) + "\",\"cdb\":\"" + Hex(command.cdb, 16, 16) +
                       "\",\"status\":null,\"note\":\"connection lost in the data phase\"");
        return config_.exitAfter == seq ? Served::Stop : Served::Close;
    }
    if (fault && kind == FaultKind::ShortData && out) {
        // Only the first half arrived: the controller sees zeros in place of the rest.
        std::fill(dataOut.begin() + static_cast<long>(dataOut.size() / 2), dataOut.end(), 0);
    }

    reply.clear();
    const bool carriedOut = !(fault && (kind == FaultKind::FailStatus || kind == FaultKind::NoAnswer));
    if (status == kStatusPass) {
        status = carriedOut ? model.Execute(command, dataOut, reply, fault && kind == FaultKind::FlipBit)
                            : kStatusFail;
    }

    std::string line = conn + "\"cmd\":\"" + CommandName(command.cdb) + "\",\"cdb\":\"" + Hex(command.cdb, 16, 16) +
                       "\",\"dir\":\"" + (in ? "in" : out ? "out" : "none") +
                       "\",\"len\":" + std::to_string(command.transferLength);
    if (fault) line += ",\"fault\":\"" + std::string(FaultName(kind)) + "\"";

    if (fault && kind == FaultKind::NoAnswer) {
        // Nothing goes back for this command: the host's transfers time out and its
        // next message is a new wrapper.
        if (out) line += ",\"data\":\"" + Hex(dataOut.data(), dataOut.size(), kTraceDataBytes) + "\"";
        Trace(seq, line + ",\"status\":null");
        return after(seq, true);
    }

    bool sent = true;
    if (in) {
        // Exactly the announced length, padded with zeros; short-data sends half of it.
        if (reply.size() > command.transferLength) reply.resize(command.transferLength);
        uint64_t total = command.transferLength;
        if (fault && kind == FaultKind::ShortData && total >= 2) total = std::min<uint64_t>(total / 2, kMaxMessage);
        uint64_t offset = 0;
        std::vector<uint8_t> piece;
        while (sent && offset < total) {
            const size_t len = static_cast<size_t>(std::min<uint64_t>(total - offset, kMaxMessage));
            const uint8_t* data = kZeros;
            if (offset < reply.size()) {
                if (offset + len <= reply.size()) {
                    data = reply.data() + offset;
                } else {
                    piece.assign(len, 0);
                    std::copy(reply.begin() + static_cast<long>(offset), reply.end(), piece.begin());
                    data = piece.data();
                }
            }
            sent = Send(fd, data, len);
            offset += len;
        }
        // The trace shows what went out, padding included.
        std::vector<uint8_t> head(static_cast<size_t>(std::min<uint64_t>(total, kTraceDataBytes + 1)), 0);
        std::copy_n(reply.begin(), std::min(reply.size(), head.size()), head.begin());
        line += ",\"data\":\"" + Hex(head.data(), head.size(), kTraceDataBytes) + "\"";
    } else if (out) {
        line += ",\"data\":\"" + Hex(dataOut.data(), dataOut.size(), kTraceDataBytes) + "\"";
    }
    // The trace line is complete before the status goes out, so a host that has its
    // answer finds the command in the trace.
    Trace(seq, line + ",\"status\":" + std::to_string(status));
    if (sent) {
        uint8_t csw[kCswSize];
        MakeCommandStatusWrapper(csw, fault && kind == FaultKind::BadSignature ? kCbwSignature : kCswSignature,
                                 tag, status);
        sent = Send(fd, csw, sizeof csw);
    }
    return after(seq, sent);
}

}  // namespace emu
