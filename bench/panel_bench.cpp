// A dashboard against qp7730-emu: through the C library, a 300 x 100 clock that changes
// every frame is put into the image buffer and refreshed (mode 1, waited for), as fast as
// the emulator answers, on a 1872 x 1404 panel, with the emulator's panel PNG
//  - off (--png ""): what the protocol and the model allow;
//  - written on the command path (--png-sync): every refresh waits for the whole panel to
//    be encoded;
//  - written beside the command path (--png, the default): refreshes coalesced.
// Refreshes per second (best of the rounds), the emulator's CPU time per refresh, and, for
// the default, how long after the last refresh was answered the file showed it.
// QP7730_BENCH_BASELINE may name another qp7730-emu (an older build), measured with its
// --png in one more row.
#include <fcntl.h>
#include <png.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <poll.h>
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

using Clock = std::chrono::steady_clock;
constexpr int kWidth = 1872, kHeight = 1404;
constexpr int kClockW = 300, kClockH = 100, kClockX = 1500, kClockY = 40;
constexpr double kRoundSeconds = 1.5;
constexpr int kRounds = 2;

[[noreturn]] void Die(const std::string& what) {
    fprintf(stderr, "panel_bench: %s\n", what.c_str());
    exit(1);
}

void Check(int rc, const char* what) {
    if (rc != QP7730_OK) Die(std::string(what) + ": " + qp7730_strerror(rc) + ": " + qp7730_last_message());
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The clock's picture in frame n: squares that move by one each frame, black or white.
void DrawClock(std::vector<uint8_t>& clock, int n) {
    for (int y = 0; y < kClockH; ++y)
        for (int x = 0; x < kClockW; ++x) clock[size_t(y) * kClockW + x] = ((x / 10 + y / 10 + n) % 2) ? 0 : 255;
}

struct Emulator {
    pid_t pid = -1;
    std::string socket;
};

// The emulator with pngOptions; pid -1 when it did not start.
Emulator Start(const std::string& binary, const std::string& dir, const std::vector<std::string>& pngOptions) {
    Emulator e;
    e.socket = dir + "/emu.sock";
    std::vector<std::string> args = {binary, "--socket", e.socket};
    args.insert(args.end(), pngOptions.begin(), pngOptions.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) Die("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (posix_spawn(&e.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) Die("cannot start qp7730-emu");
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    // Ready once it says where it listens.
    std::string said;
    char buf[256];
    for (ssize_t n; said.find('\n') == std::string::npos && (n = read(out[0], buf, sizeof buf)) > 0;) said.append(buf, n);
    close(out[0]);
    if (said.find("listening on") == std::string::npos) {
        waitpid(e.pid, nullptr, 0);
        e.pid = -1;
    }
    return e;
}

// Ends the emulator; returns its CPU seconds.
double Stop(const Emulator& e) {
    kill(e.pid, SIGTERM);
    int status = 0;
    rusage usage{};
    wait4(e.pid, &status, 0, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
}

// True when the PNG at path shows `clock` at the clock's place.
bool ShowsClock(const std::string& path, const std::vector<uint8_t>& clock) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
    image.format = PNG_FORMAT_GRAY;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr) || image.width != kWidth) return false;
    for (int y = 0; y < kClockH; ++y)
        if (std::memcmp(&pixels[size_t(kClockY + y) * kWidth + kClockX], &clock[size_t(y) * kClockW], kClockW) != 0)
            return false;
    return true;
}

struct Row {
    std::string name;
    std::vector<std::string> options;
    bool measureLag = false;
    std::string binary = QP7730_EMU_BIN;
    double perSecond = 0, cpuPerRefresh = 1e9;
    double lagMs = -1;  // the default's: file current this long after the last refresh
};

}  // namespace

int main() {
    char dir[] = "/tmp/qp7730-panel-bench-XXXXXX";
    if (!mkdtemp(dir)) Die("no temporary folder");
    const std::string png = std::string(dir) + "/panel.png";
    std::vector<Row> rows = {
        {"no PNG (--png \"\")", {"--png", ""}},
        {"PNG on the command path (--png-sync)", {"--png", png, "--png-sync"}},
        {"PNG beside it (--png, the default)", {"--png", png}, true},
    };
    if (const char* baseline = getenv("QP7730_BENCH_BASELINE"); baseline && *baseline) {
        rows.insert(rows.begin() + 1, Row{"QP7730_BENCH_BASELINE with --png", {"--png", png}, false, baseline});
    }
    std::vector<uint8_t> clock(size_t{kClockW} * kClockH);
    // The rows take turns round by round, so that other work on the machine falls on all.
    for (int round = 0; round < kRounds; ++round) {
        for (Row& row : rows) {
            const Emulator emu = Start(row.binary, dir, row.options);
            if (emu.pid < 0) continue;
            qp7730* panel = nullptr;
            Check(qp7730_open(emu.socket.c_str(), 0, &panel), "open");
            int n = 0;
            const auto start = Clock::now();
            while (Seconds(Clock::now() - start) < kRoundSeconds) {
                DrawClock(clock, n++);
                Check(qp7730_load_pixels(panel, clock.data(), kClockW, kClockH, kClockW, kClockX, kClockY, nullptr),
                      "pixels");
                Check(qp7730_display(panel, kClockX, kClockY, kClockW, kClockH, 1, 1), "display");
            }
            const auto last = Clock::now();
            row.perSecond = std::max(row.perSecond, n / Seconds(last - start));
            if (row.measureLag) {
                // Woken by every replacement of the file, until it shows the last clock.
                const int watch = inotify_init1(IN_CLOEXEC);
                inotify_add_watch(watch, dir, IN_MOVED_TO);
                while (!ShowsClock(png, clock) && Seconds(Clock::now() - last) < 5) {
                    pollfd p{watch, POLLIN, 0};
                    char events[4096];
                    if (poll(&p, 1, 1000) > 0 && read(watch, events, sizeof events) < 0) break;
                }
                const double lag = Seconds(Clock::now() - last) * 1e3;
                row.lagMs = std::max(row.lagMs, lag);
                close(watch);
            }
            Check(qp7730_close(panel), "close");
            row.cpuPerRefresh = std::min(row.cpuPerRefresh, Stop(emu) / n);
        }
    }
    std::string cleanup = std::string("rm -rf ") + dir;
    if (system(cleanup.c_str()) != 0) fprintf(stderr, "panel_bench: %s left behind\n", dir);

    printf("A dashboard on a %d x %d qp7730-emu: a %d x %d clock into the image buffer and a waited-for\n"
           "mode 1 refresh of it, again and again for %.1f s, through the C library (best of %d rounds)\n",
           kWidth, kHeight, kClockW, kClockH, kRoundSeconds, kRounds);
    printf("  %-40s %14s %16s\n", "emulator", "refreshes/s", "emulator CPU ms");
    for (const Row& r : rows) {
        if (r.perSecond == 0) printf("  %-40s %14s\n", r.name.c_str(), "did not start");
        else printf("  %-40s %14.1f %16.3f\n", r.name.c_str(), r.perSecond, r.cpuPerRefresh * 1e3);
    }
    printf("  (emulator CPU: per refresh, the picture's thread included)\n");
    for (const Row& r : rows) {
        if (r.lagMs >= 0) printf("  the default's file showed the last refresh at most %.0f ms after it was answered\n", r.lagMs);
    }
    return 0;
}
