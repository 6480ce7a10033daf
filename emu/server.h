// The emulator's USB side: a SOCK_SEQPACKET socket on which every message is one bulk
// transfer (or loopback TCP, each message framed by its 4-byte little-endian length), the
// Bulk-Only framing around each command, fault injection and the trace; or, for QEMU, a
// stream socket on which the controller is a USB device (emu/usbredir.h).
#pragma once
#include <sys/socket.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "emu/model.h"

namespace emu {

enum class FaultKind { FailStatus, BadSignature, NoAnswer, ShortData, FlipBit };

// A fault hits the command wrapper with this number: wrappers are counted from 1 since
// the emulator started, across connections, malformed wrappers included.
struct Fault {
    FaultKind kind;
    uint64_t command;
};

// Parses "KIND@N"; false when the text is not one.
bool ParseFault(const std::string& text, Fault* fault);
const char* FaultName(FaultKind kind);

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
    int dataTimeoutMs = 10000;  // a host that stops in the middle of a data-out phase is dropped
    // Serve up to kMaxInterleaved connections at once, their commands interleaved at
    // command boundaries, as the processes behind one shared drive see them.
    bool interleave = false;
    // Serve socketPath as an AF_UNIX stream socket on which one QEMU usb-redir device
    // connects: the controller as a USB device on QEMU's virtual bus, until QEMU leaves.
    bool usbredir = false;
};

// Connections served at once with ServerConfig::interleave; further ones are refused.
constexpr size_t kMaxInterleaved = 16;

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

    // Serves one connection after another (with interleave: every open connection, one
    // whole command at a time) until a stop is requested or the command of --exit-after
    // has been answered. Returns the process exit status.
    int Run(Model& model);

    // Serves one accepted connection (a SOCK_SEQPACKET socket, or a stream of framed
    // messages when listening on TCP) until it ends; false when the whole emulator is to
    // end. Run calls it for each connection; the socket fuzz target calls it directly.
    bool ServeConnection(int fd, Model& model);

    // Async-signal-safe: makes Run return.
    static void RequestStop();
    // Sets up the stop channel; call once before installing signal handlers.
    static bool InitStopChannel();

private:
    enum class Wait { Ready, Stop, Timeout, Error };
    // Waits for events on fd, or for a stop request (which sets stopped_).
    Wait WaitFor(int fd, short events, int timeoutMs);
    // One message; returns its real length (may exceed the buffer), 0 at end of connection,
    // -1 on error, -2 when stopped, -3 on timeout.
    long Receive(int fd, uint8_t* buf, size_t cap, int timeoutMs);
    // Receive over TCP; a length above one bulk transfer drops the client (-1).
    long ReceiveFramed(int fd, uint8_t* buf, size_t cap, int timeoutMs);
    // Exactly length bytes of the stream, with Receive's results (-1 when it ends mid-way).
    long ReadExactly(int fd, uint8_t* buf, size_t length, int timeoutMs);
    bool ListenUnix(std::string* error);
    bool ListenTcp(std::string* error);
    // One message; false when it could not go out in time or a stop was requested.
    bool Send(int fd, const uint8_t* data, size_t length);
    // True when the client runs as this user or root; says so once when it refuses one.
    bool ClientTrusted(int fd);
    std::string LockPath() const;
    // Connections that may wait to be accepted: room for all that interleave will serve.
    int SocketType() const { return config_.usbredir ? SOCK_STREAM : SOCK_SEQPACKET; }
    int Backlog() const { return config_.interleave ? static_cast<int>(kMaxInterleaved) : 4; }
    // Takes PATH.lock (created owner-only, never through a symlink) for this emulator's life.
    bool TakeLock(std::string* error);
    // Makes PATH.run-lock, the tools' run lock (owner-only), and removes it again.
    bool MakeRunLock(std::string* error);
    void RemoveRunLock();
    // Accepts a connection; -1 when there is none to serve (gone, or refused).
    int Accept();
    // What is left after a command: the connection stays, it is closed, or the emulator ends.
    enum class Served { Next, Close, Stop };
    // Serves the command whose wrapper arrives on fd within waitMs (-1: no bound): the
    // wrapper, the data phase and the status. Next without serving anything when no
    // wrapper came in time. `connection` numbers the connection in the trace (0: not shown).
    Served ServeCommand(int fd, Model& model, int waitMs, uint64_t connection);
    // The poll loop of interleave: returns the exit status when the emulator is to end.
    int RunInterleaved(Model& model);
    // Waits for QEMU's connection and serves it as a USB device until it ends.
    int RunUsbRedir(Model& model);
    void ReportExitAfter() const;
    const Fault* FaultFor(uint64_t command) const;
    void Trace(uint64_t seq, const std::string& line);

    ServerConfig config_;
    bool tcp_;
    std::string address_;
    int listenFd_ = -1;
    int lockFd_ = -1;
    unsigned long runLockDevice_ = 0, runLockInode_ = 0;  // PATH.run-lock as made
    bool stopped_ = false;
    bool refusalReported_ = false;
    bool capacityReported_ = false;
    unsigned long socketInode_ = 0;
    uint64_t commandCount_ = 0;
    std::vector<uint8_t> rx_;
    std::vector<uint8_t> frame_;  // a TCP message with its length
    std::vector<uint8_t> dataOut_;
    std::vector<uint8_t> reply_;
    FILE* trace_ = nullptr;
};

}  // namespace emu
