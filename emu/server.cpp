#include "emu/server.h"

#include <fcntl.h>
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
#include "emu/loopback_tcp.h"
#include "emu/usbredir.h"
#include "link/endian.h"

namespace emu {
namespace {

constexpr size_t kMaxMessage = kMaxSocketTransfer;
// A host that does not read its answer is dropped after this long without progress.
constexpr int kSendTimeoutMs = 10000;
// Messages a connection may hand over or take in one turn, so that a long data phase
// does not hold up the other connections' commands.
constexpr int kMessagesPerTurn = 64;
// TCP bytes read at once.
constexpr size_t kStreamChunk = 256 * 1024;

int g_stopPipe[2] = {-1, -1};

// Milliseconds until the deadline, rounded up, so that a wait does not end just before it.
int MsUntil(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::clamp<long long>((left.count() + 999) / 1000, 0, 24 * 3600 * 1000));
}

}  // namespace

struct Server::Connection {
    Connection(int fd, uint64_t number, Model& model, CommandLog& log, bool owned)
        : fd(fd), owned(owned), listener(log, number), device(model, DeviceView::Socket, &listener) {}
    const int fd;
    const bool owned;  // closed by the server
    CommandLog::Connection listener;
    BulkOnlyDevice device;
    bool heard = false;           // a message has come
    std::vector<uint8_t> in;      // TCP: bytes received, not yet handed over
    size_t inAt = 0;
    std::vector<uint8_t> out;     // the message being sent (TCP: with its length)
    size_t outAt = 0;
    bool outIsStatus = false;
    Clock::time_point accepted = Clock::now(), lastInput = accepted, lastOutput = accepted;

    bool Sending() const { return outAt < out.size() || device.HasAnswer(); }
    // TCP: a whole message is waiting in `in`.
    bool MessageBuffered() const {
        const size_t have = in.size() - inAt;
        return have >= 4 && have >= 4 + size_t{GetLe32(in.data() + inAt)};
    }
    bool PartialMessage() const { return in.size() > inAt; }
};

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
    : config_(std::move(config)), tcp_(!config_.listenAddress.empty()), log_(config_.faults), rx_(kMaxMessage + 1) {}

Server::~Server() {
    for (const auto& c : open_) {
        if (c->owned) close(c->fd);
    }
    if (listenFd_ >= 0) {
        close(listenFd_);
        // Remove the socket file only while it is still the one this emulator made.
        struct stat st {};
        if (!tcp_ && lstat(config_.socketPath.c_str(), &st) == 0 && st.st_ino == socketInode_) {
            unlink(config_.socketPath.c_str());
        }
    }
    RemoveRunLock();
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

// The tools' runs take turns on this emulator by flock on PATH.run-lock, and trust it only
// as a regular file of the socket's user that no one else may open. It is made before the
// socket exists, while PATH.lock keeps other emulators away; one left by an emulator of
// this user that did not stop cleanly is taken over, anything else there is refused.
bool Server::MakeRunLock(std::string* error) {
    const std::string path = config_.socketPath + ".run-lock";
    int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    const bool made = fd >= 0;
    if (!made && errno != EEXIST) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    if (!made) fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    // A second name of the file would be one someone else chose (a hard link).
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_nlink != 1 ||
        fchmod(fd, 0600) != 0) {
        if (fd >= 0) close(fd);
        *error = path + " exists and is not a file of this user";
        return false;
    }
    close(fd);
    runLockDevice_ = st.st_dev;
    runLockInode_ = st.st_ino;
    return true;
}

void Server::RemoveRunLock() {
    if (runLockInode_ == 0) return;
    const std::string path = config_.socketPath + ".run-lock";
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && st.st_dev == runLockDevice_ && st.st_ino == runLockInode_) {
        unlink(path.c_str());
    }
    runLockInode_ = 0;
}

bool Server::Listen(std::string* error) {
    if (!(tcp_ ? ListenTcp(error) : ListenUnix(error))) return false;
    if (!config_.tracePath.empty()) {
        trace_ = std::fopen(config_.tracePath.c_str(), "w");
        if (!trace_) {
            *error = config_.tracePath + ": " + std::strerror(errno);
            return false;
        }
        log_.SetTrace(trace_);
    }
    return true;
}

bool Server::ListenTcp(std::string* error) {
    std::string bound;
    listenFd_ = ListenLoopbackTcp(config_.listenAddress, "--listen", static_cast<int>(kMaxConnections), &bound, error);
    if (listenFd_ < 0) return false;
    address_ = "tcp:" + bound;
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
    if (!TakeLock(error) || !MakeRunLock(error)) return false;
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            *error = path + " exists and is not a socket";
            return false;
        }
        // Non-blocking: a listener whose queue is full answers EAGAIN instead of holding us.
        int probe = socket(AF_UNIX, SocketType() | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
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

    listenFd_ = socket(AF_UNIX, SocketType() | SOCK_CLOEXEC, 0);
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
    if (listen(listenFd_, static_cast<int>(kMaxConnections)) != 0) {
        *error = std::string("listen: ") + std::strerror(errno);
        return false;
    }
    return true;
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

// ---- serving ---------------------------------------------------------------------------

void Server::AddConnection(int fd, Model& model, bool owned) {
    open_.push_back(std::make_unique<Connection>(fd, ++accepted_, model, log_, owned));
}

bool Server::Feed(Connection& c) {
    const uint64_t finished = c.device.Finished();
    const auto handOver = [&](std::span<const uint8_t> message) {
        c.heard = true;
        c.device.Out(message);
        // One command per turn: the next connection's command comes before this one's next.
        return c.device.Finished() == finished && !c.device.HasAnswer();
    };
    if (!tcp_) {
        for (int i = 0; i < kMessagesPerTurn; ++i) {
            // MSG_TRUNC makes recv report a message's real length even when it was cut.
            const ssize_t n = recv(c.fd, rx_.data(), rx_.size(), MSG_TRUNC | MSG_DONTWAIT);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
            if (n == 0) return false;  // end of connection
            c.lastInput = Clock::now();
            if (!handOver({rx_.data(), std::min(static_cast<size_t>(n), rx_.size())})) break;
        }
        return true;
    }
    // TCP: each message is its 4-byte little-endian length and its bytes.
    for (int reads = 0, messages = 0; messages < kMessagesPerTurn;) {
        if (c.in.size() - c.inAt >= 4) {
            const uint32_t length = GetLe32(c.in.data() + c.inAt);
            // Never more than one bulk transfer: a longer length is not read, and the
            // stream cannot be followed past it.
            if (length > kMaxMessage) {
                std::fprintf(stderr, "qp7730-emu: dropped a client that announced a message of %lu bytes (at most %zu)\n",
                             static_cast<unsigned long>(length), kMaxMessage);
                return false;
            }
            if (length == 0) return false;  // the end, as on a socket of messages
            if (c.MessageBuffered()) {
                const size_t at = c.inAt + 4;
                c.inAt = at + length;
                ++messages;
                if (!handOver({c.in.data() + at, length})) break;
                continue;
            }
        }
        if (reads++ == 4) break;
        // Keep only what is not handed over yet, then read what has come.
        c.in.erase(c.in.begin(), c.in.begin() + static_cast<long>(c.inAt));
        c.inAt = 0;
        const size_t had = c.in.size();
        c.in.resize(had + kStreamChunk);
        const ssize_t n = recv(c.fd, c.in.data() + had, kStreamChunk, MSG_DONTWAIT);
        c.in.resize(had + static_cast<size_t>(std::max<ssize_t>(n, 0)));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
        if (n == 0) return false;  // end of connection (a message cut short with it)
        c.lastInput = Clock::now();
    }
    if (c.inAt == c.in.size()) {
        c.in.clear();
        c.inAt = 0;
    }
    return true;
}

bool Server::Flush(Connection& c) {
    for (int i = 0; i < kMessagesPerTurn; ++i) {
        if (c.outAt == c.out.size()) {
            if (!c.device.HasAnswer()) return true;
            c.outIsStatus = c.device.StatusNext();
            if (c.device.In(kMaxMessage, &rx_) != UsbStatus::Ack) return true;
            if (tcp_) {
                // The length and the message go out together, in one send when the socket
                // has room.
                c.out.resize(4 + rx_.size());
                PutLe32(c.out.data(), static_cast<uint32_t>(rx_.size()));
                std::copy(rx_.begin(), rx_.end(), c.out.begin() + 4);
            } else {
                c.out.assign(rx_.begin(), rx_.end());
            }
            rx_.resize(kMaxMessage + 1);
            c.outAt = 0;
            c.lastOutput = Clock::now();
        }
        const ssize_t n = send(c.fd, c.out.data() + c.outAt, c.out.size() - c.outAt, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
        if (!tcp_ && static_cast<size_t>(n) != c.out.size()) return false;  // a message goes whole or not at all
        c.outAt += static_cast<size_t>(n);
        c.lastOutput = Clock::now();
        if (c.outAt == c.out.size() && c.outIsStatus && config_.exitAfter != 0 &&
            c.listener.Current() == config_.exitAfter) {
            exitAfterReached_ = true;
            return true;
        }
    }
    return true;
}

Server::Clock::time_point Server::Deadline(const Connection& c) const {
    const auto data = std::chrono::milliseconds(config_.dataTimeoutMs);
    // A host that does not take its answer.
    if (c.Sending()) return c.lastOutput + std::chrono::milliseconds(kSendTimeoutMs);
    // A client that connects and says nothing would otherwise hold one of the places for
    // ever; between commands the host may pause as long as it likes (decoding a picture).
    if (!c.heard) return c.accepted + data;
    // A host that stops in the middle of a message or of a data-out phase.
    if (c.device.AwaitingData() || c.PartialMessage()) return c.lastInput + data;
    return Clock::time_point::max();
}

void Server::Close(Connection& c, bool lostInput) {
    // A command waiting for the rest of its data-out phase is lost with the connection.
    if (lostInput) c.device.Disconnect();
    if (config_.exitAfter != 0 && c.listener.CurrentUnanswered() && c.listener.Current() == config_.exitAfter)
        exitAfterReached_ = true;
    if (c.owned) close(c.fd);
}

int Server::Serve(Model& model, bool accepting) {
    std::vector<pollfd> fds;
    int status = 0;
    while (!stopped_ && !exitAfterReached_ && (accepting || !open_.empty())) {
        fds.assign({{g_stopPipe[0], POLLIN, 0}, {accepting ? listenFd_ : -1, POLLIN, 0}});
        auto wake = Clock::time_point::max();
        bool ready = false;  // a connection has a whole message buffered already
        for (const auto& c : open_) {
            const bool buffered = !c->Sending() && c->MessageBuffered();
            ready = ready || buffered;
            fds.push_back({c->fd, static_cast<short>(c->Sending() ? POLLOUT : buffered ? 0 : POLLIN), 0});
            wake = std::min(wake, Deadline(*c));
        }
        const int timeout = ready ? 0 : wake == Clock::time_point::max() ? -1 : MsUntil(wake);
        if (poll(fds.data(), fds.size(), timeout) < 0) {
            if (errno == EINTR) continue;
            status = 1;
            break;
        }
        if (fds[0].revents & POLLIN) {
            stopped_ = true;
            break;
        }
        // Each connection in the order they came gets one turn: at most one command is
        // carried out for it, then the next connection's turn comes.
        std::vector<size_t> closed;
        for (size_t i = 0; i < open_.size() && !exitAfterReached_; ++i) {
            Connection& c = *open_[i];
            const short events = fds[i + 2].revents;
            bool keep = true;
            if (c.Sending()) {
                if (events != 0) keep = Flush(c);
            } else if (events != 0 || c.MessageBuffered()) {
                keep = Feed(c) && Flush(c);
                if (config_.exitAfter != 0 && c.listener.CurrentUnanswered() &&
                    c.listener.Current() == config_.exitAfter)
                    exitAfterReached_ = true;
            }
            if (keep && Clock::now() >= Deadline(c)) keep = false;
            if (!keep) closed.push_back(i);
        }
        for (auto i = closed.rbegin(); i != closed.rend(); ++i) {
            Connection& c = *open_[*i];
            Close(c, c.device.AwaitingData());
            open_.erase(open_.begin() + static_cast<long>(*i));
        }
        if (!accepting || stopped_ || exitAfterReached_ || !(fds[1].revents & POLLIN)) continue;

        const int fd = Accept();
        if (fd < 0) continue;
        if (open_.size() >= kMaxConnections) {
            if (!capacityReported_) {
                std::fprintf(stderr,
                             "qp7730-emu: refused a connection: %zu are open already (further refusals are not "
                             "reported)\n",
                             kMaxConnections);
                capacityReported_ = true;
            }
            close(fd);
            continue;
        }
        AddConnection(fd, model, true);
    }
    if (exitAfterReached_) ReportExitAfter();
    return status;
}

int Server::RunUsbRedir(Model& model) {
    int fd = -1;
    while (fd < 0 && !stopped_) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {g_stopPipe[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return 1;
        }
        if (fds[1].revents & POLLIN) return 0;
        fd = Accept();  // a client of another user is refused and the wait goes on
    }
    // The one device of the bus, in its USB view: faults and the trace through the log,
    // as on the socket.
    CommandLog::Connection listener(log_, 1);
    BulkOnlyDevice function(model, DeviceView::Usb, &listener);
    int status = 0;
    {
        UsbRedirDevice device(fd, function);
        for (;;) {
            pollfd fds[2] = {{fd, static_cast<short>(POLLIN | (device.WantsWrite() ? POLLOUT : 0)), 0},
                             {g_stopPipe[0], POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                status = 1;
                break;
            }
            if (fds[1].revents & POLLIN) {
                stopped_ = true;
                break;
            }
            // QEMU gone (end of the stream or a broken connection) ends the emulator.
            if ((fds[0].revents & POLLOUT) && !device.OnWritable()) break;
            if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) && !device.OnReadable()) break;
            if (device.WantsWrite() && !device.OnWritable()) break;
        }
    }
    close(fd);
    return status;
}

void Server::ReportExitAfter() const {
    std::fprintf(stderr, "qp7730-emu: stopped after command %llu\n", static_cast<unsigned long long>(config_.exitAfter));
}

int Server::Run(Model& model) { return config_.usbredir ? RunUsbRedir(model) : Serve(model, true); }

bool Server::ServeConnection(int fd, Model& model) {
    AddConnection(fd, model, false);
    Serve(model, false);
    open_.clear();
    return !stopped_ && !exitAfterReached_;
}

}  // namespace emu
