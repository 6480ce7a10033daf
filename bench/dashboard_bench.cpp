// Changed-area updates on a dashboard: a 1872 x 1404 picture whose clock (300 x 100
// pixels) changes every frame, shown frame after frame on qp7730-emu
//  - by the qp7730 tool: the frame written as a BMP, then one "-load" run and one
//    "-display" run of the whole panel, as a program without the library does it;
//  - through the C library, every frame uploaded and refreshed whole;
//  - through the C library with changed-area updates (qp7730_changes_only): only the
//    rectangle that changed is sent, and only it is refreshed (qp7730_display_changes).
// Frames per second of each and the speed-ups are printed (best of 3 rounds); the emulator
// writes no panel PNG, which would cost every way the same.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "include/qp7730/qp7730.h"

extern char** environ;

namespace {

constexpr int kWidth = 1872, kHeight = 1404;
constexpr int kClockX = 1500, kClockY = 60, kClockW = 300, kClockH = 100;
constexpr int kToolFrames = 20, kLibraryFrames = 100;

[[noreturn]] void Die(const std::string& what) {
    fprintf(stderr, "dashboard_bench: %s\n", what.c_str());
    exit(1);
}

double Now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

pid_t Spawn(const std::vector<std::string>& args, const char* out) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) Die("cannot start " + args[0]);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

void RunTool(const std::vector<std::string>& args) {
    std::vector<std::string> all = {QP7730_BIN};
    all.insert(all.end(), args.begin(), args.end());
    const pid_t pid = Spawn(all, "/dev/null");
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) Die("qp7730 " + args[0] + " failed");
}

// An 8-bit grey BMP (bottom-up, grey palette) of a frame.
void WriteGreyBmp(const std::string& path, const std::vector<uint8_t>& frame) {
    const uint32_t pitch = (kWidth + 3) & ~3u, offset = 14 + 40 + 1024, size = offset + pitch * kHeight;
    std::vector<uint8_t> file(size, 0);
    auto put32 = [&](size_t at, uint32_t v) { std::memcpy(&file[at], &v, 4); };
    file[0] = 'B', file[1] = 'M';
    put32(2, size);
    put32(10, offset);
    put32(14, 40);
    put32(18, kWidth);
    put32(22, kHeight);
    file[26] = 1, file[28] = 8;
    put32(46, 256);
    for (int i = 0; i < 256; ++i) file[54 + 4 * i] = file[55 + 4 * i] = file[56 + 4 * i] = static_cast<uint8_t>(i);
    for (int y = 0; y < kHeight; ++y)
        std::memcpy(&file[offset + size_t(kHeight - 1 - y) * pitch], &frame[size_t(y) * kWidth], kWidth);
    FILE* f = fopen(path.c_str(), "wb");
    if (!f || fwrite(file.data(), 1, file.size(), f) != file.size() || fclose(f) != 0) Die("cannot write " + path);
}

// The dashboard at second n: panels of grey with their frames, and the clock's four
// digits as bars whose lengths follow them.
void Draw(std::vector<uint8_t>& frame, int n) {
    static std::vector<uint8_t> board;
    if (board.empty()) {
        board.assign(size_t{kWidth} * kHeight, 240);
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x)
                if ((x / 468 + y / 351) % 2 == 1) board[size_t(y) * kWidth + x] = static_cast<uint8_t>(160 + (x + y) % 64);
    }
    frame = board;
    const int digits[4] = {n / 600 % 6, n / 60 % 10, n / 10 % 6, n % 10};
    for (int d = 0; d < 4; ++d)
        for (int y = 0; y < kClockH; ++y)
            for (int x = 0; x < kClockW / 4; ++x) {
                const bool ink = y >= 10 && y < 90 && x >= 8 && x < 8 + 6 * (digits[d] + 1);
                frame[size_t(kClockY + y) * kWidth + kClockX + d * (kClockW / 4) + x] = ink ? 0 : 255;
            }
}

void Check(int rc, const char* what) {
    if (rc != QP7730_OK) Die(std::string(what) + ": " + qp7730_strerror(rc) + ": " + qp7730_last_message());
}

}  // namespace

int main() {
    char dir[] = "/tmp/qp7730-dashboard-bench-XXXXXX";
    if (!mkdtemp(dir)) Die("no temporary folder");
    const std::string socket = std::string(dir) + "/emu.sock", log = std::string(dir) + "/emu.log";
    const pid_t emu = Spawn({QP7730_EMU_BIN, "--socket", socket, "--png", ""}, log.c_str());
    for (int i = 0; i < 500 && access(socket.c_str(), F_OK) != 0; ++i) usleep(10000);
    usleep(50000);
    setenv("QP7730_EMULATOR", socket.c_str(), 1);

    // Every frame drawn beforehand, so that drawing costs no way anything.
    std::vector<std::vector<uint8_t>> frames(kLibraryFrames);
    for (int n = 0; n < kLibraryFrames; ++n) Draw(frames[n], n);
    const std::string bmp = std::string(dir) + "/frame.bmp";
    const std::vector<std::string> display = {"-display", "-wait", "0", "0", std::to_string(kWidth),
                                              std::to_string(kHeight), "2"};

    double tool = 1e9, whole = 1e9, changed = 1e9;  // seconds per frame, best round
    uint64_t sentPixels = 0;
    for (int round = 0; round < 3; ++round) {
        double start = Now();
        for (int n = 0; n < kToolFrames; ++n) {
            WriteGreyBmp(bmp, frames[n]);
            RunTool({"-load", bmp});
            RunTool(display);
        }
        tool = std::min(tool, (Now() - start) / kToolFrames);

        qp7730* panel = nullptr;
        for (bool changesOnly : {false, true}) {
            Check(qp7730_open(socket.c_str(), 0, &panel), "open");
            Check(qp7730_changes_only(panel, changesOnly ? 1 : 0), "changes only");
            // The first frame is sent whole either way; the frames after it are timed.
            Check(qp7730_load_pixels(panel, frames[0].data(), kWidth, kHeight, kWidth, 0, 0, nullptr), "first");
            Check(qp7730_display(panel, 0, 0, kWidth, kHeight, 2, 1), "display");
            uint64_t pixels = 0;
            start = Now();
            for (int n = 1; n < kLibraryFrames; ++n) {
                qp7730_area sent{};
                Check(qp7730_load_pixels(panel, frames[n].data(), kWidth, kHeight, kWidth, 0, 0, &sent), "pixels");
                pixels += uint64_t(sent.width) * sent.height;
                if (changesOnly)
                    Check(qp7730_display_changes(panel, 2, 1, nullptr), "display changes");
                else
                    Check(qp7730_display(panel, 0, 0, kWidth, kHeight, 2, 1), "display");
            }
            const double perFrame = (Now() - start) / (kLibraryFrames - 1);
            Check(qp7730_close(panel), "close");
            if (changesOnly) {
                changed = std::min(changed, perFrame);
                sentPixels = pixels / (kLibraryFrames - 1);
            } else {
                whole = std::min(whole, perFrame);
            }
        }
    }

    kill(emu, SIGTERM);
    waitpid(emu, nullptr, 0);
    std::string cleanup = std::string("rm -rf ") + dir;
    if (system(cleanup.c_str()) != 0) fprintf(stderr, "dashboard_bench: %s left behind\n", dir);

    printf("a %d x %d dashboard whose %d x %d clock changes every frame, on qp7730-emu (best of 3 rounds)\n", kWidth,
           kHeight, kClockW, kClockH);
    printf("  %-52s %10s %10s %9s\n", "way", "ms/frame", "frames/s", "speed-up");
    const auto row = [&](const char* name, double seconds) {
        printf("  %-52s %10.2f %10.1f %8.1fx\n", name, seconds * 1e3, 1 / seconds, tool / seconds);
    };
    row("tool: BMP written, -load, -display of the panel", tool);
    row("library: whole frame uploaded and refreshed", whole);
    row("library: changed area only (qp7730_changes_only)", changed);
    printf("  changed area against whole frames through the library: %.1fx the frames per second;\n"
           "  %llu pixels sent a frame instead of %d\n",
           whole / changed, static_cast<unsigned long long>(sentPixels), kWidth * kHeight);
    return 0;
}
