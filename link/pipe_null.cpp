// USB route of a build without a USB library: finds nothing, so discovery goes on.
#include "link/pipe.h"

namespace {
void* NullOpen(const std::string&) { return nullptr; }
TransferResult NullTransfer(void*, uint8_t, uint8_t*, uint32_t, uint32_t*) { return TransferResult::kError; }
int NullLastError(void*) { return 0; }
void NullClose(void*) {}
std::string NullLocation(void*) { return {}; }
}  // namespace

extern const PipeBackend kUsbPipeBackend = {"none",    NullOpen,     NullTransfer, NullLastError,
                                           NullClose, NullLocation, nullptr,      nullptr, nullptr, nullptr, nullptr};
