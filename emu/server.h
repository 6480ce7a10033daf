// The emulator's fronts: a SOCK_SEQPACKET socket on which every message is one bulk
// transfer, or loopback TCP, each message framed by its 4-byte little-endian length; each
// connection is a BulkOnlyDevice of its own (socket view) over the one controller model.
// Or, for QEMU, a stream socket on which the controller is a USB device (emu/usbredir.h),
// one BulkOnlyDevice in its USB view. Faults and the trace come from one CommandLog.
#pragma once
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "emu/command_log.h"
#include "emu/model.h"

namespace emu {

// QP7730_EMULATOR when set and not empty, else UserSocketPath().
std::string DefaultSocketPath();
// $XDG_RUNTIME_DIR/qp7730-emu.sock, else /tmp/qp7730-emu-<uid>.sock.
std::string UserSocketPath();
// The socket path with ".sock" replaced by "-panel.png" (appended when it has no ".sock").
std::string DefaultPngPath(const std::string& socketPath);

struct ServerConfig {
    std::string socketPath;
    std::string listenAddress;  // "HOST:PORT" of a loopback address: TCP instead of socketPath
    std::vector<Fault> faults;
    uint64_t exitAfter = 0;  // 0: never
    std::string tracePath;   // empty: no trace
    // A connection that sends nothing this long after it was accepted, or stops this long
    // in the middle of a message or of a command's data-out phase, is dropped.
    int dataTimeoutMs = 10000;
    // Serve socketPath as an AF_UNIX stream socket on which one QEMU usb-redir device
    // connects: the controller as a USB device on QEMU's virtual bus, until QEMU leaves.
    bool usbredir = false;
};

// Connections served at once; further ones are refused.
constexpr size_t kMaxConnections = 16;

class Server {
public:
    explicit Server(ServerConfig config);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Creates the socket, owner-only. Refuses (false, *error set) when another emulator
    // serves the path (it holds the lock file PATH.lock, or something answers on the path)
    // or the path holds something that is not a socket; a stale socket file is replaced.
    // Makes PATH.run-lock beside it (refused when something not its own is there).
    // With a listen address: listens on that loopback TCP address (port 0: any free one);
    // refuses any address outside 127.0.0.0/8 and ::1.
    bool Listen(std::string* error);
    // Where hosts find it after Listen: the socket path, or "tcp:HOST:PORT".
    const std::string& Address() const { return address_; }

    // Serves every open connection at once, as a drive serves every process that opened
    // it: each connection is a device of its own over the one controller, and their
    // commands are carried out one whole command at a time, in turn. Returns the process
    // exit status when a stop is requested or the command of --exit-after has been
    // answered.
    int Run(Model& model);

    // Serves one accepted connection (a SOCK_SEQPACKET socket, or a stream of framed
    // messages when listening on TCP) until it ends; false when the whole emulator is to
    // end. The socket fuzz target calls it directly. Does not close fd.
    bool ServeConnection(int fd, Model& model);

    // Async-signal-safe: makes Run return.
    static void RequestStop();
    // Sets up the stop channel; call once before installing signal handlers.
    static bool InitStopChannel();

    struct Connection;

private:
    using Clock = std::chrono::steady_clock;
    bool ListenUnix(std::string* error);
    bool ListenTcp(std::string* error);
    // True when the client runs as this user or root; says so once when it refuses one.
    bool ClientTrusted(int fd);
    std::string LockPath() const;
    int SocketType() const { return config_.usbredir ? SOCK_STREAM : SOCK_SEQPACKET; }
    // Takes PATH.lock (created owner-only, never through a symlink) for this emulator's life.
    bool TakeLock(std::string* error);
    // Makes PATH.run-lock, the tools' run lock (owner-only), and removes it again.
    bool MakeRunLock(std::string* error);
    void RemoveRunLock();
    // Accepts a connection; -1 when there is none to serve (gone, or refused).
    int Accept();
    // The serving loop over open_; with accepting, new connections join it. Returns the
    // exit status.
    int Serve(Model& model, bool accepting);
    void AddConnection(int fd, Model& model, bool owned);
    // Hands the connection's input to its device, up to one finished command; false when
    // the connection is to close.
    bool Feed(Connection& c);
    // Sends what the device has to send, as far as the socket takes it; false when the
    // connection is to close.
    bool Flush(Connection& c);
    // When the connection's current bound runs out (max() when none).
    Clock::time_point Deadline(const Connection& c) const;
    void Close(Connection& c, bool lostInput);
    // Waits for QEMU's connection and serves it as a USB device until it ends.
    int RunUsbRedir(Model& model);
    void ReportExitAfter() const;

    ServerConfig config_;
    bool tcp_;
    std::string address_;
    int listenFd_ = -1;
    int lockFd_ = -1;
    unsigned long runLockDevice_ = 0, runLockInode_ = 0;  // PATH.run-lock as made
    bool stopped_ = false;
    bool exitAfterReached_ = false;
    bool refusalReported_ = false;
    bool capacityReported_ = false;
    unsigned long socketInode_ = 0;
    uint64_t accepted_ = 0;
    CommandLog log_;
    std::vector<std::unique_ptr<Connection>> open_;
    std::vector<uint8_t> rx_;
    FILE* trace_ = nullptr;
};

}  // namespace emu
