// The emulator pipe backend: picks the form from the address and hands every transfer
// to the link it opened.
#include "link/pipe_emulator.h"

#include <cstdlib>

#include "link/pipe.h"

namespace {

void* EmulatorOpen() {
    const std::string address = EmulatorSocketPath();
    if (address.empty()) return nullptr;
    std::unique_ptr<EmulatorLink> link =
        address.starts_with("tcp:") ? OpenTcpEmulator(address.substr(4)) : OpenLocalEmulator(address);
    return link.release();
}

bool EmulatorTransfer(void* device, uint8_t pipe, uint8_t* buf, uint32_t len, uint32_t* moved) {
    return static_cast<EmulatorLink*>(device)->Transfer(pipe, buf, len, moved);
}

int EmulatorLastError(void* device) { return static_cast<EmulatorLink*>(device)->LastError(); }

bool EmulatorGone(void* device) { return static_cast<EmulatorLink*>(device)->Gone(); }

void EmulatorClose(void* device) { delete static_cast<EmulatorLink*>(device); }

LockTry EmulatorTryLock(void* device, std::string* why) { return static_cast<EmulatorLink*>(device)->TryLock(why); }

// The address this run reached the emulator at (the environment does not change during a
// run): a socket path, or tcp:HOST:PORT.
std::string EmulatorLocation(void*) { return "emulator " + EmulatorSocketPath(); }

}  // namespace

std::string EmulatorSocketPath() {
    if (const char* named = NamedEmulatorAddress()) return named;
    const char* env = std::getenv("QP7730_EMULATOR");
    if (env != nullptr && env[0] != '\0') return env;
    return DefaultLocalEmulatorPath();
}

extern const PipeBackend kEmulatorPipeBackend = {"emulator",       EmulatorOpen,     EmulatorTransfer, EmulatorLastError,
                                                 EmulatorClose,    EmulatorLocation, EmulatorGone,     EmulatorTryLock,
                                                 NetErrorText};
