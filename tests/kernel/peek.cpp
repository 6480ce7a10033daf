// kernel_peek ROUTE FILE: writes the controller's whole image buffer (panel width x height
// bytes from the image buffer address) to FILE, read through the tool's own route code at
// ROUTE ("usb", "/dev/sdX" or an emulator socket). The kernel suite compares what a picture
// load left there through the guest's kernel with what it leaves on the emulator's socket.
// Exit status 0, or 1 with the reason on standard error.
#include <cstdio>
#include <vector>

#include "commands/commands.h"
#include "link/device_state.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: kernel_peek ROUTE FILE\n");
        return 1;
    }
    if (!FindDeviceAt(argv[1])) {
        std::fprintf(stderr, "kernel_peek: no controller at %s\n", argv[1]);
        return 1;
    }
    GetSystemInfo(g_DeviceState.SystemInfo);
    if (!g_DeviceState.SystemInfoComplete) {
        std::fprintf(stderr, "kernel_peek: no system information from %s\n", argv[1]);
        return 1;
    }
    const uint64_t size = uint64_t{g_DeviceState.PanelWidth} * g_DeviceState.PanelHeight;
    std::vector<uint8_t> buffer(size);
    constexpr uint32_t kPiece = 0xFFFF;
    for (uint64_t at = 0; at < size; at += kPiece) {
        const auto length = static_cast<uint16_t>(size - at < kPiece ? size - at : kPiece);
        if (!ReadMemoryInFull(static_cast<uint32_t>(ImageBufferAddress() + at), length, buffer.data() + at)) {
            std::fprintf(stderr, "kernel_peek: reading memory at offset %llu failed\n", static_cast<unsigned long long>(at));
            return 1;
        }
    }
    FILE* out = std::fopen(argv[2], "wb");
    const bool written = out != nullptr && std::fwrite(buffer.data(), 1, buffer.size(), out) == buffer.size();
    if (out == nullptr || std::fclose(out) != 0 || !written) {
        std::perror(argv[2]);
        return 1;
    }
    CloseDevice();
    return 0;
}
