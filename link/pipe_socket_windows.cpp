// The emulator route's AF_UNIX form on Windows: there is none (Windows has no AF_UNIX
// sequenced-packet sockets), so the emulator is reached only over TCP
// (QP7730_EMULATOR=tcp:HOST:PORT).
#include "link/pipe.h"
#include "link/pipe_emulator.h"

std::unique_ptr<EmulatorLink> OpenLocalEmulator(const std::string&) { return nullptr; }
std::string DefaultLocalEmulatorPath() { return {}; }
bool LocalEmulatorSocketExists(const std::string&) { return false; }
// The named mutex of run_lock_windows.cpp is the run lock on Windows, whatever the route.
LockTry TryLoopbackLock(NetSocket, NetSocket*, std::string*) { return LockTry::kTaken; }
