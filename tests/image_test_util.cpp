#include "tests/image_test_util.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "image/image.h"


// The image tests check what the pipeline hands to the area transfer, not how the transfer
// chunks it (that has tests of its own): this recording definition stands in for the
// library's. It wins because area_transfer.o, which defines nothing else, is then never
// pulled from the static library.
__attribute__((weak)) bool TransferImageArea(const uint8_t* source, uint32_t base, uint32_t x, uint32_t y,
                                             uint32_t w, uint32_t h) {
    imgtest::g_TransferCalls.push_back({source, base, x, y, w, h, std::vector<uint8_t>(source, source + size_t{w} * h)});
    return true;
}

namespace imgtest {

std::vector<TransferCall> g_TransferCalls;

namespace {
class ScratchEnvironment : public ::testing::Environment {
public:
    void TearDown() override {
        if (!dir.empty()) std::filesystem::remove_all(dir);
    }
    std::string dir;
};
ScratchEnvironment* g_Scratch =
    static_cast<ScratchEnvironment*>(::testing::AddGlobalTestEnvironment(new ScratchEnvironment));

}  // namespace

std::string ScratchDir() {
    if (g_Scratch->dir.empty()) {
        g_Scratch->dir = ::testing::TempDir() + "qp7730-image-" + std::to_string(getpid());
        std::filesystem::create_directories(g_Scratch->dir);
    }
    return g_Scratch->dir;
}

std::string WriteFile(const std::string& name, const std::vector<uint8_t>& bytes) {
    std::string path = ScratchDir() + "/" + name;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
}

#if defined(__SANITIZE_THREAD__)
const int kMemoryOverhead = 5;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
const int kMemoryOverhead = 5;
#else
const int kMemoryOverhead = 1;
#endif
#else
const int kMemoryOverhead = 1;
#endif

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const int kSlowdown = 10;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
const int kSlowdown = 10;
#else
const int kSlowdown = 1;
#endif
#else
const int kSlowdown = 1;
#endif

namespace {
long ResidentKb() {
    long pages = 0, resident = 0;
    if (FILE* f = fopen("/proc/self/statm", "r")) {
        if (fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}
}  // namespace

Bounded RunBounded(const std::function<void()>& work, int limitMs) {
    Bounded b;
    fflush(stdout);
    fflush(stderr);
    const long inherited = ResidentKb();
    const auto t0 = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int nul = open("/dev/null", O_WRONLY);
        dup2(nul, 1);
        dup2(nul, 2);
        work();
        _exit(0);
    }
    int status = 0;
    rusage ru{};
    for (;;) {
        const pid_t got = wait4(pid, &status, WNOHANG, &ru);
        b.ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
        if (got == pid) break;
        if (b.ms > limitMs) {
            kill(pid, SIGKILL);
            wait4(pid, &status, 0, &ru);
            return b;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    b.finished = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    b.peakGrowthMb = std::max(0L, ru.ru_maxrss - inherited) / 1024.0;
    return b;
}

void LoadInChild(const std::string& path, uint32_t panelWidth, uint32_t panelHeight) {
    std::vector<uint8_t> buffer(size_t{panelWidth} * panelHeight);
    g_DeviceState.PanelWidth = panelWidth;
    g_DeviceState.PanelHeight = panelHeight;
    g_DeviceState.HostImageBuffer = buffer.data();
    try {
        LoadImageFile(path.c_str());
    } catch (const RunEnded&) {
    }
    g_DeviceState.HostImageBuffer = nullptr;
}

Decoded DecodeFile(const std::string& path, uint32_t fitWidth, uint32_t fitHeight) {
    Decoded d;
    auto source = qpimg::OpenImage(path.c_str(), fitWidth, fitHeight, d.why);
    if (!source) return d;
    d.format = source->Format();
    d.fileWidth = source->FileWidth();
    d.fileHeight = source->FileHeight();
    const uint32_t w = d.format.width;
    std::vector<uint8_t> row(qpimg::RowBytes(w, d.format.depth));
    d.bgr.resize(size_t{w} * d.format.height * 3);
    for (uint32_t y = 0; y < d.format.height; ++y) {
        if (!source->ReadRow(row.data())) {
            d.why = source->Failure();
            return d;
        }
        qpimg::RowToColours(d.format, 3, row.data(), d.bgr.data() + size_t{y} * w * 3);
    }
    d.ok = true;
    return d;
}

uint8_t ReferenceGrey(uint8_t blue, uint8_t green, uint8_t red) {
    volatile double r = red, g = green, b = blue;  // no contraction into fused operations
    volatile double redPart = r * 0.3, greenPart = g * 0.587, bluePart = b * 0.114;
    volatile double sum = redPart + greenPart;
    volatile double all = sum + bluePart;
    return static_cast<uint8_t>(static_cast<int>(all));
}

std::vector<uint8_t> ReferenceGreyOf(const std::vector<uint8_t>& bgr) {
    std::vector<uint8_t> g(bgr.size() / 3);
    for (size_t i = 0; i < g.size(); ++i) g[i] = ReferenceGrey(bgr[3 * i], bgr[3 * i + 1], bgr[3 * i + 2]);
    return g;
}

std::vector<uint8_t> ReferenceFit(const std::vector<uint8_t>& bgr, uint32_t sw, uint32_t sh, uint32_t dw, uint32_t dh) {
    // In units of 1 / (dw dh) of a source pixel's side: source column m spans
    // [m dw, (m + 1) dw) and destination column k spans [k sw, (k + 1) sw); rows alike.
    auto overlap = [](uint64_t i, uint64_t j, uint64_t s, uint64_t d) -> uint64_t {
        const uint64_t lo = std::max(i * d, j * s), hi = std::min((i + 1) * d, (j + 1) * s);
        return hi > lo ? hi - lo : 0;
    };
    std::vector<uint8_t> out(size_t{dw} * dh * 3);
    for (uint32_t j = 0; j < dh; ++j) {
        const uint32_t y0 = static_cast<uint32_t>(uint64_t{j} * sh / dh);
        const uint32_t y1 = static_cast<uint32_t>((uint64_t{j + 1} * sh + dh - 1) / dh);
        for (uint32_t k = 0; k < dw; ++k) {
            const uint32_t x0 = static_cast<uint32_t>(uint64_t{k} * sw / dw);
            const uint32_t x1 = static_cast<uint32_t>((uint64_t{k + 1} * sw + dw - 1) / dw);
            uint64_t sum[3] = {}, area = 0;
            for (uint32_t i = y0; i < y1; ++i)
                for (uint32_t m = x0; m < x1; ++m) {
                    const uint64_t a = overlap(i, j, sh, dh) * overlap(m, k, sw, dw);
                    for (int c = 0; c < 3; ++c) sum[c] += a * bgr[(size_t{i} * sw + m) * 3 + c];
                    area += a;
                }
            for (int c = 0; c < 3; ++c)
                out[(size_t{j} * dw + k) * 3 + c] = static_cast<uint8_t>((2 * sum[c] + area) / (2 * area));
        }
    }
    return out;
}

void PanelFixture::SetPanel(uint32_t w, uint32_t h) {
    memset(&g_DeviceState, 0, sizeof g_DeviceState);
    g_DeviceState.PanelWidth = w;
    g_DeviceState.PanelHeight = h;
    g_DeviceState.SystemInfo[kSysInfoPanelWidth] = w;
    g_DeviceState.SystemInfo[kSysInfoPanelHeight] = h;
    g_DeviceState.SystemInfo[kSysInfoImageBufferAddress] = 0x00120000;
    buffer_.assign(size_t{w} * h, 0xEE);
    g_DeviceState.HostImageBuffer = buffer_.data();
    g_TransferCalls.clear();
}

void PanelFixture::TearDown() {
    memset(&g_DeviceState, 0, sizeof g_DeviceState);
    g_TransferCalls.clear();
}

}  // namespace imgtest
