// Discovery order of the pipe routes on Linux: USB first, then the emulator (its AF_UNIX
// socket, or loopback TCP when QP7730_EMULATOR names a tcp: address).
#include "link/pipe.h"

extern const PipeBackend kEmulatorPipeBackend;

const PipeBackend* const kPipeBackends[] = {&kUsbPipeBackend, &kEmulatorPipeBackend};
const int kPipeBackendCount = 2;
