// The emulator pipe backend: picks the form from the address and hands every transfer
// to the link it opened.
#include "link/pipe_emulator.h"

#include "link/pipe.h"

namespace {

// An open emulator and the address it was reached at (a socket path, or tcp:HOST:PORT).
struct Emulator {
    std::unique_ptr<EmulatorLink> link;
    std::string address;
};

EmulatorLink& LinkOf(void* device) { return *static_cast<Emulator*>(device)->link; }

void* EmulatorOpen(const std::string& where) {
    const std::string address = where.empty() ? EmulatorSocketPath() : where;
    if (address.empty()) return nullptr;
    std::unique_ptr<EmulatorLink> link =
        address.starts_with("tcp:") ? OpenTcpEmulator(address.substr(4)) : OpenLocalEmulator(address);
    if (!link) return nullptr;
    return new Emulator{std::move(link), address};
}

// A message is a whole transfer: there is no stall on the socket, only a good or short
// message, a failure, or the emulator gone.
TransferResult EmulatorTransfer(void* device, uint8_t pipe, uint8_t* buf, uint32_t len, uint32_t* moved) {
    EmulatorLink& link = LinkOf(device);
    if (!link.Transfer(pipe, buf, len, moved)) return link.Gone() ? TransferResult::kGone : TransferResult::kError;
    return *moved < len ? TransferResult::kShort : TransferResult::kGood;
}

int EmulatorLastError(void* device) { return LinkOf(device).LastError(); }

void EmulatorClose(void* device) { delete static_cast<Emulator*>(device); }

LockTry EmulatorTryLock(void* device, std::string* why) { return LinkOf(device).TryLock(why); }

std::string EmulatorLocation(void* device) { return "emulator " + static_cast<Emulator*>(device)->address; }

// The emulator at the usual address, when something may serve there: a TCP address is
// listed as it is, a socket path only when a socket is there.
std::vector<ControllerEntry> EmulatorList() {
    const std::string address = EmulatorSocketPath();
    if (address.empty() || (!address.starts_with("tcp:") && !LocalEmulatorSocketExists(address))) return {};
    ControllerEntry e;
    e.Route = address;
    e.Kind = "emulator";
    return {e};
}

}  // namespace

extern const PipeBackend kEmulatorPipeBackend = {"emulator",      EmulatorOpen,     EmulatorTransfer, EmulatorLastError,
                                                 EmulatorClose,   EmulatorLocation, nullptr,          nullptr,
                                                 EmulatorTryLock, EmulatorList,     NetErrorText};
