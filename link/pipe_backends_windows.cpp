// Discovery order of the pipe routes on Windows: the USB route only (no emulator socket).
#include "link/pipe.h"

#include <string>

extern const PipeBackend kUsbPipeBackend;

const PipeBackend* const kPipeBackends[] = {&kUsbPipeBackend};
const int kPipeBackendCount = 1;

std::string EmulatorSocketPath() { return {}; }
