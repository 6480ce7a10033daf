// Protocol benchmarks against a running qp7730-emu on a private socket:
//  - a full 1872 x 1404 frame through the area transfer, beside the floor of pushing the
//    same bytes through the same kind of socket with no protocol at all;
//  - a 2 MiB firmware upgrade, by command kind, beside the fewest commands the protocol
//    allows for that size.
// Figures are printed; nothing is asserted.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "commands/commands.h"
#include "flash/flash_upgrade.h"
#include "image/image.h"
#include "link/device_state.h"
#include "link/pipe.h"

namespace {

constexpr uint32_t kWidth = 1872, kHeight = 1404;

struct Counts {
    std::map<uint8_t, int> commands;
    uint64_t dataBytes = 0;
    int total = 0;
};
Counts g_counts;
TransportFnPtr g_realTransport = nullptr;

BOOL CountingTransport(HANDLE h, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* ret,
                       LPOVERLAPPED ov) {
    auto* sptd = static_cast<SCSI_PASS_THROUGH_DIRECT*>(in);
    g_counts.commands[sptd->Cdb[6]]++;
    g_counts.dataBytes += sptd->DataTransferLength;
    g_counts.total++;
    return g_realTransport(h, code, in, inSize, out, outSize, ret, ov);
}

double CpuSeconds(clockid_t clock) {
    timespec ts;
    clock_gettime(clock, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

double WallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

pid_t StartEmulator(const std::string& socket, const std::string& dir) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (!freopen("/dev/null", "w", stdout)) _exit(127);
        const std::string png = dir + "/panel.png", flash = dir + "/flash.bin";
        execl(QP7730_EMU_BIN, QP7730_EMU_BIN, "--socket", socket.c_str(), "--png", png.c_str(), "--flash-file",
              flash.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 200; ++i) {
        if (access(socket.c_str(), F_OK) == 0) return pid;
        usleep(20000);
    }
    fprintf(stderr, "bench: the emulator did not start\n");
    exit(1);
}

// The same data-phase messages sent on a SOCK_SEQPACKET pair to a thread that only drains
// them: what moving the bytes costs the host with no protocol.
// With roundTrip set, the drain answers every message with 13 bytes and the sender waits
// for that answer: the cost of a synchronous exchange per chunk, still without protocol.
double FloorCpu(const std::vector<uint8_t>& frame, const std::vector<uint32_t>& messageSizes, double* wall,
                bool roundTrip = false) {
    int sv[2];
    socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv);
    std::thread drain([fd = sv[1], roundTrip] {
        std::vector<uint8_t> buf(65536);
        while (recv(fd, buf.data(), buf.size(), 0) > 0) {
            if (roundTrip) send(fd, buf.data(), 13, MSG_NOSIGNAL);
        }
    });
    const double w0 = WallSeconds(), c0 = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    size_t at = 0;
    for (uint32_t n : messageSizes) {
        send(sv[0], frame.data() + at, n, MSG_NOSIGNAL);
        if (roundTrip) {
            uint8_t reply[13];
            recv(sv[0], reply, sizeof reply, 0);
        }
        at = (at + n) % (frame.size() - 65536);
    }
    const double cpu = CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - c0;
    *wall = WallSeconds() - w0;
    shutdown(sv[0], SHUT_WR);
    drain.join();
    close(sv[0]);
    close(sv[1]);
    return cpu;
}

void FrameBenchmark() {
    std::vector<uint8_t> frame(size_t{kWidth} * kHeight);
    std::mt19937 rng(7);
    for (auto& b : frame) b = static_cast<uint8_t>(rng());

    // Data-phase messages of one transfer: each chunk's data in pieces of at most 65,536.
    std::vector<uint32_t> sizes;
    const uint32_t rowsPerChunk = kChunkBudget / kWidth;
    for (uint32_t row = 0; row < kHeight; row += rowsPerChunk) sizes.push_back(std::min(rowsPerChunk, kHeight - row) * kWidth);

    constexpr int kRuns = 15;
    std::vector<double> cpu, wall, floorCpu, floorWall, tripCpu, tripWall;
    for (int run = 0; run < kRuns; ++run) {
        g_counts = {};
        const double w0 = WallSeconds(), c0 = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
        TransferImageArea(frame.data(), ImageBufferAddress(), 0, 0, kWidth, kHeight);
        cpu.push_back(CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - c0);
        wall.push_back(WallSeconds() - w0);
        double fw = 0;
        floorCpu.push_back(FloorCpu(frame, sizes, &fw));
        floorWall.push_back(fw);
        tripCpu.push_back(FloorCpu(frame, sizes, &fw, true));
        tripWall.push_back(fw);
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    const double c = median(cpu), f = median(floorCpu);
    printf("Full frame %u x %u to the emulator (median of %d runs)\n", kWidth, kHeight, kRuns);
    printf("  %-34s %8s %12s %12s %12s\n", "", "commands", "data bytes", "host CPU ms", "wall ms");
    printf("  %-34s %8d %12llu %12.2f %12.2f\n", "area transfer (0xA5, whole rows)", g_counts.total,
           static_cast<unsigned long long>(g_counts.dataBytes), c * 1e3, median(wall) * 1e3);
    printf("  %-34s %8zu %12zu %12.2f %12.2f\n", "floor: same bytes, no protocol", sizes.size(), frame.size(),
           f * 1e3, median(floorWall) * 1e3);
    printf("  %-34s %8zu %12zu %12.2f %12.2f\n", "same, one 13-byte reply per chunk", sizes.size(), frame.size(),
           median(tripCpu) * 1e3, median(tripWall) * 1e3);
    printf("  host CPU ratio to the floor: %.2fx (goal: at most 1.3x); to the round-trip floor: %.2fx\n\n",
           f > 0 ? c / f : 0.0, median(tripCpu) > 0 ? c / median(tripCpu) : 0.0);
}

void UpgradeBenchmark(const std::string& dir) {
    constexpr uint32_t N = 2u << 20;
    std::vector<uint8_t> image(N);
    std::mt19937 rng(11);
    for (auto& b : image) b = static_cast<uint8_t>(rng());
    std::memcpy(image.data(), "QPXEPD7730_A0100", 16);
    const std::string path = dir + "/fw.bin";
    FILE* f = fopen(path.c_str(), "wb");
    fwrite(image.data(), 1, N, f);
    fclose(f);

    g_counts = {};
    const double w0 = WallSeconds(), c0 = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    UpgradeFlash(1, path.c_str());
    const double cpu = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - c0, wall = WallSeconds() - w0;

    const int erases = static_cast<int>((N + kFlashEraseBlock - 1) / kFlashEraseBlock);
    const int memoryMoves = static_cast<int>((N + 65534) / 65535);
    printf("2 MiB firmware upgrade on the emulator\n");
    printf("  %-26s %8s %8s\n", "command", "this", "minimum");
    const struct {
        uint8_t sub;
        const char* name;
        int minimum;
    } rows[] = {{0x96, "0x96 erase 128 KiB", erases},
                {0xA5, "0xA5 memory write", 2 * (memoryMoves + 1)},
                {0x98, "0x98 program flash", 2},
                {0x97, "0x97 flash to memory", 2},
                {0x81, "0x81 memory read", memoryMoves + 1}};
    int minimum = 0;
    for (const auto& r : rows) {
        printf("  %-26s %8d %8d\n", r.name, g_counts.commands[r.sub], r.minimum);
        minimum += r.minimum;
    }
    printf("  %-26s %8d %8d\n", "all commands", g_counts.total, minimum);
    printf("  data bytes moved: %llu (the image out, its verify fill out and the image back: %u)\n",
           static_cast<unsigned long long>(g_counts.dataBytes), 3 * N);
    printf("  host CPU %.1f ms, wall %.1f ms\n", cpu * 1e3, wall * 1e3);
    printf("  (minimum: a 2 MiB staging region moved with 65,535-byte memory commands and programmed and\n"
           "   read back with one flash command each, filled with the complement before the read back,\n"
           "   plus the 256-byte header page written last)\n");
}

}  // namespace

int main() {
    char tmpl[] = "/tmp/qp7730-bench-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    const std::string socket = dir + "/emu.sock";
    const pid_t emu = StartEmulator(socket, dir);
    setenv("QP7730_EMULATOR", socket.c_str(), 1);

    StartDevice();
    printf("\n");
    if (g_DeviceState.TransportKind != kTransportBulkOnly || g_DeviceState.PanelWidth != kWidth) {
        fprintf(stderr, "bench: no emulator with a %u-wide panel\n", kWidth);
        kill(emu, SIGTERM);
        return 1;
    }
    g_realTransport = g_DeviceState.TransportFn;
    g_DeviceState.TransportFn = CountingTransport;

    FrameBenchmark();
    UpgradeBenchmark(dir);

    kill(emu, SIGTERM);
    waitpid(emu, nullptr, 0);
    ResetDeviceState();
    std::string cleanup = "rm -rf '" + dir + "'";
    return system(cleanup.c_str()) == 0 ? 0 : 1;
}
