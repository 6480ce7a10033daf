// The emulator route's two forms, behind the one "emulator" pipe backend: an AF_UNIX
// SOCK_SEQPACKET socket (Linux), or loopback TCP with each message framed by its length.
// QP7730_EMULATOR chooses: "tcp:HOST:PORT" is the TCP form, anything else a socket path.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "link/net.h"
#include "link/run_lock.h"

// An open connection to an emulator: one message per bulk transfer, with the semantics
// of PipeBackend::Transfer.
class EmulatorLink {
public:
    virtual ~EmulatorLink() = default;
    virtual bool Transfer(uint8_t pipe, uint8_t* buf, uint32_t len, uint32_t* moved) = 0;
    // One attempt to take the run lock of the emulator at the other end; the link holds it
    // until it is destroyed.
    virtual LockTry TryLock(std::string* why) = 0;
    int LastError() const { return lastError_; }
    // True when the last failure means the emulator's end is gone (closed, ended).
    bool Gone() const { return gone_; }

protected:
    // Records the failure of a transfer and returns false, for the transfer to return.
    bool Failed(int error, bool gone) {
        lastError_ = error;
        gone_ = gone;
        return false;
    }

private:
    int lastError_ = 0;
    bool gone_ = false;
};

// Each returns null when nothing, or nothing this user may trust, answers at the address
// within the transfer bound. They print nothing.
std::unique_ptr<EmulatorLink> OpenLocalEmulator(const std::string& path);      // null where there is no AF_UNIX form
std::unique_ptr<EmulatorLink> OpenTcpEmulator(const std::string& hostAndPort);  // "HOST:PORT" or "[V6]:PORT"

// The run lock of an emulator reached over TCP: an abstract AF_UNIX socket bound under a
// name made of the connected peer's numeric address and port, so that it leaves no file
// and the kernel frees it with the process. Any local user may hold it, as any local user
// may use that emulator. *held receives the socket that holds it. (Windows has no such
// socket: its run lock is a named mutex, and this takes nothing there.)
LockTry TryLoopbackLock(NetSocket connected, NetSocket* held, std::string* why);

// The socket path used when QP7730_EMULATOR is not set: empty where there is no AF_UNIX form.
std::string DefaultLocalEmulatorPath();
// True when a socket is at the path (where there is no AF_UNIX form: never).
bool LocalEmulatorSocketExists(const std::string& path);

// The largest message of the TCP form (one bulk transfer): a longer announced length is
// refused without reading it.
constexpr uint32_t kMaxTcpMessage = 0x10000;
