// Discovery order of the pipe routes on Linux: USB first, then the emulator socket.
#include "link/pipe.h"

extern const PipeBackend kSocketPipeBackend;

const PipeBackend* const kPipeBackends[] = {&kUsbPipeBackend, &kSocketPipeBackend};
const int kPipeBackendCount = 2;
