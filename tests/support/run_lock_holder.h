// Holds a controller's run lock the way another run holds it, without sending anything:
// flock on the emulator's PATH.run-lock, the loopback lock of a TCP address (taken through
// the route's own code, which names it), or flock on the SG_IO stand-in's drive file.
#pragma once
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

#include "link/host_port.h"
#include "link/net.h"
#include "link/pipe_emulator.h"

class RunLockHolder {
public:
    // `address` as QP7730_EMULATOR names it ("tcp:HOST:PORT" or a socket path), or with
    // `file` set the path of the stand-in's drive file.
    explicit RunLockHolder(const std::string& address, bool file = false) {
        if (file || !address.starts_with("tcp:")) {
            // The stand-in's drive file comes with the first open of the drive.
            fd_ = open((file ? address : address + ".run-lock").c_str(),
                       O_RDWR | O_NOFOLLOW | O_CLOEXEC | (file ? O_CREAT : 0), 0600);
            if (fd_ < 0 || flock(fd_, LOCK_EX | LOCK_NB) != 0) throw std::runtime_error("cannot hold " + address);
            return;
        }
        std::string host, port, why;
        int error = 0;
        NetSocket link = SplitHostPort(address.substr(4), &host, &port) ? NetConnect(host, port, 6000, &error)
                                                                        : kNoSocket;
        NetSocket held = kNoSocket;
        const LockTry got = link == kNoSocket ? LockTry::kFailed : TryLoopbackLock(link, &held, &why);
        // The lock stays without the connection, which would keep the emulator busy.
        if (link != kNoSocket) NetClose(link);
        if (got != LockTry::kTaken) throw std::runtime_error("cannot hold " + address + ": " + why);
        fd_ = static_cast<int>(held);
    }
    ~RunLockHolder() { Release(); }
    RunLockHolder(const RunLockHolder&) = delete;
    RunLockHolder& operator=(const RunLockHolder&) = delete;

    void Release() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};
