// Discovery order of the pipe routes on Windows: USB first, then the emulator, which is
// reached only over TCP (QP7730_EMULATOR=tcp:HOST:PORT): Windows has no AF_UNIX
// sequenced-packet sockets.
#include "link/pipe.h"
#include "link/pipe_emulator.h"

extern const PipeBackend kUsbPipeBackend;
extern const PipeBackend kEmulatorPipeBackend;

const PipeBackend* const kPipeBackends[] = {&kUsbPipeBackend, &kEmulatorPipeBackend};
const int kPipeBackendCount = 2;

std::unique_ptr<EmulatorLink> OpenLocalEmulator(const std::string&) { return nullptr; }
std::string DefaultLocalEmulatorPath() { return {}; }
// The named mutex of run_lock_windows.cpp is the run lock on Windows, whatever the route.
LockTry TryLoopbackLock(NetSocket, NetSocket*, std::string*) { return LockTry::kTaken; }
