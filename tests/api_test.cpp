// The C interface where the Python tests do not reach: how many controllers a process may
// hold and when, the run lock against other programs, calls from several threads, the
// messages per thread, refused arguments, and exceptions stopped at the boundary.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <new>
#include <regex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "include/qp7730/qp7730.h"
#include "link/pipe.h"
#include "emu/model.h"
#include "tests/e2e/harness.h"
#include "tests/support/run_lock_holder.h"
#include "tests/support/scripted_pipe.h"

namespace {

using e2e::Emulator;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kImageBuffer = 0x00120000;
constexpr int kPanelW = 64, kPanelH = 32;
const std::vector<std::string> kSmallPanel = {"--width", "64", "--height", "32"};

// A handle that is closed at the end of the test, whatever happens.
struct Opened {
    qp7730* handle = nullptr;
    ~Opened() { qp7730_close(handle); }
};

int Open(const Emulator& emu, Opened& opened, int lockWait = 0) {
    return qp7730_open(emu.SocketPath().c_str(), lockWait, &opened.handle);
}

std::vector<uint8_t> Frame(const Emulator& emu) {
    return e2e::EmuClient(emu.SocketPath()).ReadMemory(kImageBuffer, kPanelW * kPanelH);
}

TEST(ApiOpen, OpenUseCloseAndOpenAgain) {
    Emulator emu(kSmallPanel);
    for (int round = 0; round < 3; ++round) {
        Opened c;
        ASSERT_EQ(Open(emu, c), QP7730_OK) << qp7730_last_message();
        qp7730_info info{};
        ASSERT_EQ(qp7730_get_info(c.handle, &info), QP7730_OK);
        EXPECT_EQ(info.panel_width, 64u);
        EXPECT_EQ(info.panel_height, 32u);
        EXPECT_EQ(info.image_buffer_address, kImageBuffer);
        EXPECT_STREQ(info.firmware_version, "FW 1.02 emu");
        EXPECT_STREQ(info.lut_version, "QP7730-LUT-EMU01");
        EXPECT_EQ(info.location, "emulator " + emu.SocketPath());
        EXPECT_EQ(qp7730_fill(c.handle, round, 0, 1, 1, static_cast<uint8_t>(0x10 + round)), QP7730_OK);
    }
    const std::vector<uint8_t> frame = Frame(emu);
    EXPECT_EQ(frame[0], 0x10);
    EXPECT_EQ(frame[1], 0x11);
    EXPECT_EQ(frame[2], 0x12);
}

TEST(ApiOpen, SecondOpenIsBusyAndLeavesTheFirstAlone) {
    Emulator emu(kSmallPanel);
    Opened first;
    ASSERT_EQ(Open(emu, first), QP7730_OK);
    const size_t commands = emu.TraceLines().size();

    Opened second;
    second.handle = reinterpret_cast<qp7730*>(&second);  // overwritten with null
    EXPECT_EQ(Open(emu, second), QP7730_ERR_BUSY);
    EXPECT_EQ(second.handle, nullptr);
    EXPECT_NE(std::string(qp7730_last_message()).find("already open"), std::string::npos);
    EXPECT_EQ(qp7730_open(nullptr, 0, &second.handle), QP7730_ERR_BUSY);
    EXPECT_EQ(emu.TraceLines().size(), commands);

    EXPECT_EQ(qp7730_fill(first.handle, 0, 0, 4, 4, 0x44), QP7730_OK);
    EXPECT_EQ(qp7730_close(first.handle), QP7730_OK);
    first.handle = nullptr;
    EXPECT_EQ(Frame(emu)[0], 0x44);
}

TEST(ApiLock, AnotherProgramHoldingTheControllerMakesOpenBusy) {
    Emulator emu(kSmallPanel);
    auto holder = std::make_unique<RunLockHolder>(emu.SocketPath());  // as another program holds it
    Opened c;
    const auto start = Clock::now();
    EXPECT_EQ(Open(emu, c, 0), QP7730_ERR_BUSY);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    EXPECT_NE(std::string(qp7730_last_message()).find("in use by another run"), std::string::npos);
    // Only the identification reached the controller.
    const std::vector<std::string> trace = emu.TraceLines();
    ASSERT_EQ(trace.size(), 1u);
    EXPECT_NE(trace[0].find("\"inquiry\""), std::string::npos);

    // Released once open has reached the controller: open goes ahead, having waited for
    // it when it tried the lock before.
    std::thread release([&] {
        const auto start = Clock::now();
        while (emu.TraceLines().size() < 2 && Clock::now() - start < std::chrono::seconds(10))
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        holder.reset();
    });
    EXPECT_EQ(Open(emu, c, 10), QP7730_OK) << qp7730_last_message();
    release.join();
}

TEST(ApiLock, ToolRunWaitsForTheLibraryToClose) {
    // The emulator serves both connections at once, as a drive serves two processes.
    Emulator emu(kSmallPanel);
    Opened c;
    ASSERT_EQ(Open(emu, c), QP7730_OK);
    e2e::RunOptions noWait;
    noWait.route = e2e::Route::Emulator;
    noWait.env = {"QP7730_LOCK_WAIT=0"};
    const size_t commands = emu.TraceLines().size();
    const e2e::RunResult refused = e2e::RunTool({"-load", "80", "0", "0", "4", "4"}, emu.SocketPath(), noWait);
    EXPECT_EQ(refused.exitStatus, 255);
    EXPECT_NE(refused.err.find("in use by another run"), std::string::npos) << refused.err;
    EXPECT_EQ(emu.TraceLines().size(), commands + 1);  // its INQUIRY, nothing more

    ASSERT_EQ(qp7730_close(c.handle), QP7730_OK);
    c.handle = nullptr;
    EXPECT_EQ(e2e::RunTool({"-load", "80", "0", "0", "4", "4"}, emu.SocketPath(), noWait).exitStatus, 0);
}

TEST(ApiThreads, CallsFromManyThreadsTakeTurns) {
    Emulator emu(kSmallPanel);
    Opened c;
    ASSERT_EQ(Open(emu, c), QP7730_OK);
    constexpr int kThreads = 4, kRounds = 30;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const uint8_t value = static_cast<uint8_t>(0x20 * (t + 1));
            std::vector<uint8_t> block(16 * 8, value);
            for (int i = 0; i < kRounds; ++i) {
                // Each thread owns a 16 x 8 block in both rows of blocks.
                if (qp7730_fill(c.handle, 16 * t, 0, 16, 8, value) != QP7730_OK) ++failures;
                if (qp7730_load_pixels(c.handle, block.data(), 16, 8, 16, 16 * t, 16, nullptr) != QP7730_OK)
                    ++failures;
                if (qp7730_display(c.handle, 16 * t, 0, 16, 8, 2, i & 1) != QP7730_OK) ++failures;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    ASSERT_EQ(qp7730_close(c.handle), QP7730_OK);
    c.handle = nullptr;

    const std::vector<uint8_t> frame = Frame(emu);
    for (int t = 0; t < kThreads; ++t) {
        for (int y : {0, 7, 16, 23}) {
            for (int x = 16 * t; x < 16 * t + 16; ++x) ASSERT_EQ(frame[y * kPanelW + x], 0x20 * (t + 1)) << x << "," << y;
        }
    }
}

TEST(ApiMessages, EachThreadKeepsItsOwnMessage) {
    Emulator emu(kSmallPanel);
    Opened c;
    ASSERT_EQ(Open(emu, c), QP7730_OK);
    std::promise<void> failed, succeeded;
    std::string seen;
    std::thread other([&] {
        EXPECT_EQ(qp7730_display(c.handle, -1, 0, 4, 4, 2, 1), QP7730_ERR_ARGUMENT);
        failed.set_value();
        succeeded.get_future().wait();
        seen = qp7730_last_message();
    });
    failed.get_future().wait();
    EXPECT_EQ(qp7730_fill(c.handle, 0, 0, 2, 2, 0), QP7730_OK);
    EXPECT_STREQ(qp7730_last_message(), "");
    succeeded.set_value();
    other.join();
    EXPECT_EQ(seen, "Wrong argument! Too tiny size or negative number.");
}

// Progress callback that tries to use the controller it is reporting for.
struct Meddler {
    qp7730* handle;
    std::vector<int> codes;
    std::set<std::string> phases;
};

void Meddle(void* data, const char* phase, uint32_t, uint32_t) {
    auto* m = static_cast<Meddler*>(data);
    m->phases.insert(phase);
    m->codes.push_back(qp7730_fill(m->handle, 0, 0, 1, 1, 0));
    m->codes.push_back(qp7730_close(m->handle));
}

TEST(ApiProgress, CallsFromTheProgressCallbackAreRefused) {
    Emulator emu(kSmallPanel);
    const std::string path = emu.TempDir() + "/new.wbf";
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::vector<uint8_t> data(70000, 0x5A);
    fwrite(data.data(), 1, data.size(), f);
    fclose(f);

    Opened c;
    ASSERT_EQ(Open(emu, c), QP7730_OK);
    Meddler m{c.handle, {}, {}};
    EXPECT_EQ(qp7730_upgrade(c.handle, QP7730_UPGRADE_WAVEFORM, path.c_str(), Meddle, &m), QP7730_OK)
        << qp7730_last_message();
    ASSERT_FALSE(m.codes.empty());
    EXPECT_EQ(std::set<int>(m.codes.begin(), m.codes.end()), std::set<int>{QP7730_ERR_BUSY});
    EXPECT_EQ(m.phases, (std::set<std::string>{"erase", "write", "verify"}));
    EXPECT_EQ(qp7730_fill(c.handle, 0, 0, 1, 1, 0), QP7730_OK);  // still open
}

// A stop signal during an upgrade waits for it: the program's own handler gets the signal
// once the call has returned, and the library has printed nothing.
volatile sig_atomic_t g_stopSeen = 0;
void SeeStop(int number) { g_stopSeen = number; }

struct StopInside {
    int number;
    bool sent = false, seenInside = false;
};

void SendStop(void* data, const char* phase, uint32_t, uint32_t) {
    auto* s = static_cast<StopInside*>(data);
    if (!s->sent && std::strcmp(phase, "erase") == 0) {
        s->sent = true;
        raise(s->number);
    }
    s->seenInside = s->seenInside || g_stopSeen != 0;
}

TEST(ApiProgress, AStopSignalGoesToTheProgramsHandlerAfterTheUpgrade) {
    Emulator emu(kSmallPanel);
    const std::string path = emu.TempDir() + "/new.wbf";
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::vector<uint8_t> data(70000, 0x3C);
    fwrite(data.data(), 1, data.size(), f);
    fclose(f);
    Opened c;
    ASSERT_EQ(Open(emu, c), QP7730_OK);
    for (int number : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(number);
        struct sigaction own {}, before{};
        own.sa_handler = SeeStop;
        sigemptyset(&own.sa_mask);
        ASSERT_EQ(sigaction(number, &own, &before), 0);
        g_stopSeen = 0;
        StopInside s{number};
        testing::internal::CaptureStderr();
        testing::internal::CaptureStdout();
        const int rc = qp7730_upgrade(c.handle, QP7730_UPGRADE_WAVEFORM, path.c_str(), SendStop, &s);
        const std::string printed = testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
        sigaction(number, &before, nullptr);
        EXPECT_EQ(rc, QP7730_OK) << qp7730_last_message();
        EXPECT_TRUE(s.sent);
        EXPECT_FALSE(s.seenInside);
        EXPECT_EQ(g_stopSeen, number);
        EXPECT_EQ(printed, "");
    }
}

TEST(ApiArguments, RefusedArgumentsSendNothing) {
    Emulator emu(kSmallPanel);
    Opened c;
    ASSERT_EQ(Open(emu, c), QP7730_OK);
    qp7730* h = c.handle;
    const uint8_t pixels[16] = {};
    const qp7730_fit badOrient[2] = {{QP7730_FIT_STRETCH, 16, -1, 0, 0}, {QP7730_FIT_STRETCH, -1, -1, 0, 0}};
    qp7730_info info;
    const size_t commands = emu.TraceLines().size();
    struct Case {
        const char* name;
        int code;
    };
    const Case cases[] = {
        {"info without handle", qp7730_get_info(nullptr, &info)},
        {"info without room", qp7730_get_info(h, nullptr)},
        {"file without handle", qp7730_load_file(nullptr, "x.bmp", 0, 0, nullptr)},
        {"file without name", qp7730_load_file(h, nullptr, 0, 0, nullptr)},
        {"file at negative x", qp7730_load_file(h, "x.bmp", -1, 0, nullptr)},
        {"picture format 0", qp7730_load_picture(h, pixels, 4, 4, 4, 0, 0, 0, nullptr)},
        {"picture format 6", qp7730_load_picture(h, pixels, 4, 4, 16, 6, 0, 0, nullptr)},
        {"picture stride", qp7730_load_picture(h, pixels, 4, 1, 11, QP7730_PIXELS_RGB24, 0, 0, nullptr)},
        {"picture without pixels", qp7730_load_picture(h, nullptr, 4, 4, 4, QP7730_PIXELS_GREY8, 0, 0, nullptr)},
        {"picture empty", qp7730_load_picture(h, pixels, 0, 4, 4, QP7730_PIXELS_GREY8, 0, 0, nullptr)},
        {"orient bit 16", qp7730_load_picture_fit(h, pixels, 4, 4, 4, QP7730_PIXELS_GREY8, 0, 0, &badOrient[0], nullptr)},
        {"orient negative", qp7730_load_picture_fit(h, pixels, 4, 4, 4, QP7730_PIXELS_GREY8, 0, 0, &badOrient[1], nullptr)},
        {"pixels without pixels", qp7730_load_pixels(h, nullptr, 4, 4, 4, 0, 0, nullptr)},
        {"pixels stride", qp7730_load_pixels(h, pixels, 4, 4, 3, 0, 0, nullptr)},
        {"pixels empty", qp7730_load_pixels(h, pixels, 4, 0, 4, 0, 0, nullptr)},
        {"dither method 3", qp7730_set_dither(h, 3, QP7730_MODE_GREY16)},
        {"dither for mode 99", qp7730_set_dither(h, QP7730_DITHER_ORDERED, 99)},
        {"fill without handle", qp7730_fill(nullptr, 0, 0, 1, 1, 0)},
        {"fill negative", qp7730_fill(h, 0, -1, 1, 1, 0)},
        {"display without handle", qp7730_display(nullptr, 0, 0, 1, 1, 2, 1)},
        {"power neither", qp7730_power(h, -1, -1, nullptr)},
        {"power state", qp7730_power(h, 256, -1, nullptr)},
        {"power vcom", qp7730_power(h, -1, 65536, nullptr)},
        {"upgrade without file", qp7730_upgrade(h, QP7730_UPGRADE_FIRMWARE, nullptr, nullptr, nullptr)},
        {"upgrade type", qp7730_upgrade(h, 0, "x.bin", nullptr, nullptr)},
        {"open without room", qp7730_open(nullptr, 0, nullptr)},
    };
    for (const Case& k : cases) EXPECT_EQ(k.code, QP7730_ERR_ARGUMENT) << k.name;
    EXPECT_EQ(emu.TraceLines().size(), commands);
    EXPECT_EQ(qp7730_close(nullptr), QP7730_OK);
}

TEST(ApiArguments, RoutesThatFindNothing) {
    const struct {
        const char* route;
        int code;
    } cases[] = {
        {"/nonexistent/emu.sock", QP7730_ERR_NOT_FOUND},
        {"tcp:127.0.0.1:1", QP7730_ERR_NOT_FOUND},
        {"/dev/sdz", QP7730_ERR_NOT_FOUND},
        {"Z:", QP7730_ERR_NOT_FOUND},
        {"usb", UsbRouteBuilt() ? QP7730_ERR_NOT_FOUND : QP7730_ERR_UNSUPPORTED},
    };
    for (const auto& k : cases) {
        qp7730* h = reinterpret_cast<qp7730*>(&h);
        EXPECT_EQ(qp7730_open(k.route, 0, &h), k.code) << k.route;
        EXPECT_EQ(h, nullptr);
    }
}

TEST(ApiText, CodesHaveTextsAndTheVersionMatches) {
    EXPECT_EQ(qp7730_version(), QP7730_VERSION);
    EXPECT_EQ(qp7730_version() / 10000, QP7730_VERSION_MAJOR);
    std::set<std::string> texts;
    for (int code = QP7730_ERR_INTERNAL; code <= QP7730_OK; ++code) {
        ASSERT_NE(qp7730_strerror(code), nullptr);
        texts.insert(qp7730_strerror(code));
    }
    EXPECT_EQ(texts.size(), 12u);
    EXPECT_EQ(texts.count("unknown error"), 0u);
    EXPECT_STREQ(qp7730_strerror(-12), "unknown error");
    EXPECT_STREQ(qp7730_strerror(1), "unknown error");
}

// A scripted controller whose pipe throws once armed: whatever a lower layer throws stops
// at the C boundary as a result code, and the controller can still be closed and opened.
struct Thrower {
    enum Kind { kNone, kBadAlloc, kRuntime, kInt } kind = kNone;
};
Thrower g_thrower;

TransferResult ThrowingTransfer(void* device, uint8_t pipe, uint8_t* buf, uint32_t len, uint32_t* moved) {
    switch (g_thrower.kind) {
    case Thrower::kBadAlloc: throw std::bad_alloc();
    case Thrower::kRuntime: throw std::runtime_error("pipe exploded");
    case Thrower::kInt: throw 42;
    case Thrower::kNone: break;
    }
    return ScriptedPipe::kBackend.Transfer(device, pipe, buf, len, moved);
}

TEST(ApiBoundary, ExceptionsBecomeCodes) {
    ScriptedPipe pipe;
    pipe.ActAsController("Generic Storage RamDisc 1.00",
                         {0, 0, 0, 0, 64, 32, 0, kImageBuffer, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x200000, 0, 0, 0,
                          0, 0, 0, 0, 0, 0, 0});
    PipeBackend throwing = ScriptedPipe::kBackend;
    throwing.Name = "throwing";
    throwing.Transfer = ThrowingTransfer;
    const PipeBackend* backends[] = {&throwing};
    SetPipeBackends(backends, 1);

    const struct {
        Thrower::Kind kind;
        int code;
        const char* message;
    } cases[] = {
        {Thrower::kBadAlloc, QP7730_ERR_NO_MEMORY, ""},
        {Thrower::kRuntime, QP7730_ERR_INTERNAL, "pipe exploded"},
        {Thrower::kInt, QP7730_ERR_INTERNAL, ""},
    };
    for (const auto& k : cases) {
        g_thrower.kind = Thrower::kNone;
        qp7730* h = nullptr;
        ASSERT_EQ(qp7730_open(nullptr, 0, &h), QP7730_OK) << qp7730_last_message();
        g_thrower.kind = k.kind;
        EXPECT_EQ(qp7730_fill(h, 0, 0, 8, 8, 0x80), k.code);
        EXPECT_NE(std::string(qp7730_last_message()).find(k.message), std::string::npos);
        EXPECT_EQ(qp7730_display(h, 0, 0, 8, 8, 2, 1), k.code);
        g_thrower.kind = Thrower::kNone;
        EXPECT_EQ(qp7730_close(h), QP7730_OK);
    }
    SetPipeBackends(nullptr, 0);
}

// The image library: the list the emulator's flash holds, pictures placed where the words
// ask (checked against the emulator's own pixels), refusals, and replies cut short.
TEST(ApiLibrary, ListsAndLoadsStoredPictures) {
    const std::vector<std::string> panel = {"--width", "800", "--height", "600"};
    constexpr uint32_t kW = 800, kH = 600;
    uint64_t opening = 0;  // commands of qp7730_open
    {
        Emulator emu(panel);
        Opened c;
        ASSERT_EQ(Open(emu, c), QP7730_OK) << qp7730_last_message();
        opening = emu.TraceLines().size();

        unsigned count = 0;
        ASSERT_EQ(qp7730_library_list(c.handle, nullptr, 0, &count), QP7730_OK) << qp7730_last_message();
        EXPECT_EQ(count, 4u);
        qp7730_library_image images[6] = {};
        ASSERT_EQ(qp7730_library_list(c.handle, images, 6, &count), QP7730_OK);
        const uint16_t sizes[][2] = {{800, 480}, {400, 400}, {640, 480}, {256, 256}};
        for (uint16_t i = 0; i < 4; ++i) {
            EXPECT_EQ(images[i].index, i);
            EXPECT_EQ(images[i].bits_per_pixel, 8);
            EXPECT_EQ(images[i].width, sizes[i][0]);
            EXPECT_EQ(images[i].height, sizes[i][1]);
        }
        EXPECT_EQ(images[4].width, 0);  // only what the library holds is written

        // Picture 3 cut to 30 x 12 at (10, 20); then pictures 1 and 3 whole, in one request.
        ASSERT_EQ(qp7730_library_load(c.handle, 3, 10, 20, 0, 30, 12), QP7730_OK) << qp7730_last_message();
        const uint16_t groups[] = {1, 0, 100, 3, 500, 300};
        ASSERT_EQ(qp7730_library_load_many(c.handle, groups, 2), QP7730_OK) << qp7730_last_message();
        // The emulator serves one connection at a time: the handle is closed to read memory.
        const auto frameAfter = [&] {
            qp7730_close(c.handle);
            c.handle = nullptr;
            std::vector<uint8_t> f = e2e::EmuClient(emu.SocketPath()).ReadMemory(kImageBuffer, kW * kH);
            EXPECT_EQ(Open(emu, c), QP7730_OK) << qp7730_last_message();
            return f;
        };
        const std::vector<uint8_t> frame = frameAfter();
        struct Placed {
            size_t index;
            uint32_t x, y, w, h;
        } placed[] = {{3, 10, 20, 30, 12}, {1, 0, 100, 400, 400}, {3, 500, 300, 256, 256}};
        for (const Placed& p : placed)
            for (uint32_t y = 0; y < p.h; ++y)
                for (uint32_t x = 0; x < p.w; ++x)
                    ASSERT_EQ(frame[(p.y + y) * kW + p.x + x], emu::LibraryPixel(p.index, x, y))
                        << "picture " << p.index << " at " << x << ", " << y;

        // A picture the library lacks, or a group of them with one such: nothing changes.
        EXPECT_EQ(qp7730_library_load(c.handle, 9, 0, 0, 0, 0, 0), QP7730_ERR_IO);
        const uint16_t oneBad[] = {2, 0, 0, 9, 0, 0};
        EXPECT_EQ(qp7730_library_load_many(c.handle, oneBad, 2), QP7730_ERR_IO);
        EXPECT_EQ(frameAfter(), frame);

        EXPECT_EQ(qp7730_library_list(c.handle, images, 6, nullptr), QP7730_ERR_ARGUMENT);
        EXPECT_EQ(qp7730_library_list(c.handle, nullptr, 1, &count), QP7730_ERR_ARGUMENT);
        EXPECT_EQ(qp7730_library_load_many(c.handle, nullptr, 1), QP7730_ERR_ARGUMENT);
        EXPECT_EQ(qp7730_library_load_many(c.handle, groups, QP7730_LIBRARY_LOAD_MAX + 1), QP7730_ERR_ARGUMENT);
    }
    // The header reply cut short, then (on the next call) the list reply: both are errors,
    // never a list made of what the buffers held.
    Emulator emu({"--width", "800", "--height", "600", "--fault", "short-data@" + std::to_string(opening + 1), "--fault",
                  "short-data@" + std::to_string(opening + 3)});
    Opened c;
    ASSERT_EQ(Open(emu, c), QP7730_OK) << qp7730_last_message();
    unsigned count = 99;
    qp7730_library_image images[4] = {};
    EXPECT_EQ(qp7730_library_list(c.handle, images, 4, &count), QP7730_ERR_IO);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(qp7730_library_list(c.handle, images, 4, &count), QP7730_ERR_IO);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(qp7730_library_list(c.handle, images, 4, &count), QP7730_OK);
    EXPECT_EQ(count, 4u);
}

// The refresh the emulator was last asked for: x, y, w, h and mode, from its trace.
struct Refresh {
    uint32_t x, y, w, h, mode;
    bool operator==(const Refresh&) const = default;
};
std::vector<Refresh> Refreshes(const Emulator& emu) {
    std::vector<Refresh> out;
    for (const std::string& line : emu.TraceLines()) {
        if (line.find("\"cmd\":\"0x94\"") == std::string::npos) continue;
        const size_t at = line.find("\"data\":\"") + 8;
        const auto word = [&](int i) { return static_cast<uint32_t>(std::stoul(line.substr(at + 8 * i, 8), nullptr, 16)); };
        out.push_back({word(2), word(3), word(4), word(5), word(1)});
    }
    return out;
}

// A refresh is clipped to the panel or refused, never moved; modes the controller does not
// have are refused.
TEST(ApiDisplay, RefreshesOnlyWhereAskedInAModeTheControllerHas) {
    Emulator emu(kSmallPanel);
    Opened c;
    ASSERT_EQ(Open(emu, c), QP7730_OK);
    unsigned modes = 0;
    ASSERT_EQ(qp7730_display_modes(c.handle, &modes), QP7730_OK);
    EXPECT_EQ(modes, 5u);  // what qp7730-emu reports
    const struct {
        int32_t x, y, w, h;
        int mode;
        int code;
        Refresh sent;
    } cases[] = {
        {60, 0, 10, 10, QP7730_MODE_GREY16, QP7730_OK, {60, 0, 4, 10, 2}},  // past the right edge
        {0, 28, 10, 10, QP7730_MODE_MONO, QP7730_OK, {0, 28, 10, 4, 1}},    // past the bottom
        {0, 0, 100, 100, QP7730_MODE_CLEAR, QP7730_OK, {0, 0, 64, 32, 0}},
        {63, 31, 1, 1, 4, QP7730_OK, {63, 31, 1, 1, 4}},
        {64, 0, 4, 4, 2, QP7730_ERR_ARGUMENT, {}},  // nothing of it on the panel
        {0, 32, 4, 4, 2, QP7730_ERR_ARGUMENT, {}},
        {0, 0, 4, 4, 5, QP7730_ERR_ARGUMENT, {}},
        {0, 0, 4, 4, 99, QP7730_ERR_ARGUMENT, {}},
        {0, 0, 4, 4, -1, QP7730_ERR_ARGUMENT, {}},
    };
    for (const auto& k : cases) {
        const size_t before = Refreshes(emu).size();
        EXPECT_EQ(qp7730_display(c.handle, k.x, k.y, k.w, k.h, k.mode, 0), k.code) << k.x << "," << k.y << " " << k.mode;
        const std::vector<Refresh> sent = Refreshes(emu);
        if (k.code != QP7730_OK) {
            EXPECT_EQ(sent.size(), before) << k.x << "," << k.y << " " << k.mode;
            continue;
        }
        ASSERT_EQ(sent.size(), before + 1);
        EXPECT_EQ(sent.back(), k.sent) << k.x << "," << k.y;
    }
}

// Changed-area updates, step by step on one handle: what each call sends (the rectangle
// it reports, and whether any command went out) and what a refresh of the changes covers;
// then a transfer that fails part way, and the image buffer at the end.
TEST(ApiChanges, OnlyWhatChangedIsSentAndRefreshed) {
    std::vector<uint8_t> a(kPanelW * kPanelH), b;
    for (size_t i = 0; i < a.size(); ++i) a[i] = static_cast<uint8_t>(i * 7);
    b = a;
    b[5 * kPanelW + 10] ^= 1, b[7 * kPanelW + 20] ^= 1;  // (10, 5) and (20, 7)
    const auto pixels = [](qp7730* h, const std::vector<uint8_t>& p, qp7730_area* sent) {
        return qp7730_load_pixels(h, p.data(), kPanelW, kPanelH, kPanelW, 0, 0, sent);
    };
    using Area = std::array<int32_t, 4>;
    struct Step {
        const char* name;
        std::function<int(qp7730*, qp7730_area*)> call;
        Area reported;  // the rectangle sent or refreshed
        bool commands;  // whether anything went to the controller
    };
    const Area none = {0, 0, 0, 0}, all = {0, 0, kPanelW, kPanelH};
    const auto changes = [](qp7730* h, qp7730_area* r) { return qp7730_display_changes(h, 2, 1, r); };
    const Step steps[] = {
        {"off: sent whole", [&](qp7730* h, qp7730_area* r) { return pixels(h, a, r); }, all, true},
        {"on", [](qp7730* h, qp7730_area*) { return qp7730_changes_only(h, 1); }, none, false},
        {"first load: nothing known", [&](qp7730* h, qp7730_area* r) { return pixels(h, a, r); }, all, true},
        {"the same again", [&](qp7730* h, qp7730_area* r) { return pixels(h, a, r); }, none, false},
        {"two pixels", [&](qp7730* h, qp7730_area* r) { return pixels(h, b, r); }, {10, 5, 11, 3}, true},
        {"refresh: all since the last", changes, all, true},
        {"refresh: nothing new", changes, none, false},
        {"fill as it is", [&](qp7730* h, qp7730_area*) { return qp7730_fill(h, 0, 0, 1, 1, b[0]); }, none, false},
        {"fill", [](qp7730* h, qp7730_area*) { return qp7730_fill(h, 60, 30, 9, 9, 0xEE); }, none, true},
        {"refresh: the fill", changes, {60, 30, 4, 2}, true},
        {"a picture by the controller", [](qp7730* h, qp7730_area*) { return qp7730_library_load(h, 3, 0, 0, 0, 8, 8); }, none, true},
        {"refresh: all of it", changes, all, true},
        {"after it: sent whole", [&](qp7730* h, qp7730_area* r) { return pixels(h, b, r); }, all, true},
        {"a refresh covering it", [](qp7730* h, qp7730_area*) { return qp7730_display(h, 0, 0, 64, 32, 2, 1); }, none, true},
        {"refresh: nothing after it", changes, none, false},
        {"off", [](qp7730* h, qp7730_area*) { return qp7730_changes_only(h, 0); }, none, false},
        {"off: the same, sent whole", [&](qp7730* h, qp7730_area* r) { return pixels(h, b, r); }, all, true},
    };
    Emulator emu(kSmallPanel);
    size_t opening = 0;
    {
        Opened c;
        ASSERT_EQ(Open(emu, c), QP7730_OK);
        opening = emu.TraceLines().size();
        for (const Step& s : steps) {
            const size_t before = emu.TraceLines().size();
            qp7730_area r{-1, -1, -1, -1};
            ASSERT_EQ(s.call(c.handle, &r), QP7730_OK) << s.name << ": " << qp7730_last_message();
            if (s.reported != none || r.x != -1) {
                EXPECT_EQ((Area{r.x, r.y, r.width, r.height}), s.reported) << s.name;
            }
            EXPECT_EQ(emu.TraceLines().size() > before, s.commands) << s.name;
        }
    }
    EXPECT_EQ(Frame(emu), b);
    // A load the controller carries out but whose answer is lost is not taken as written:
    // the buffer may hold it, so going back sends that rectangle again.
    Emulator faulty({"--width", "64", "--height", "32", "--fault", "bad-signature@" + std::to_string(opening + 2)});
    Opened c;
    ASSERT_EQ(Open(faulty, c), QP7730_OK);
    qp7730_area r{};
    ASSERT_EQ(qp7730_changes_only(c.handle, 1), QP7730_OK);
    ASSERT_EQ(pixels(c.handle, a, &r), QP7730_OK);
    EXPECT_EQ(pixels(c.handle, b, &r), QP7730_ERR_IO);
    ASSERT_EQ(pixels(c.handle, a, &r), QP7730_OK) << qp7730_last_message();
    EXPECT_EQ((Area{r.x, r.y, r.width, r.height}), (Area{10, 5, 11, 3}));
    qp7730_close(c.handle);
    c.handle = nullptr;
    EXPECT_EQ(Frame(faulty), a);
}

// One line in words per failure: the cause with the system's error name, never the
// tool's trailing lines or a raw number.
TEST(ApiMessages, AFailureIsOneLineInWordsWithTheErrorsName) {
    Emulator emu(kSmallPanel);
    Opened c;
    ASSERT_EQ(Open(emu, c), QP7730_OK);
    const std::string missing = emu.TempDir() + "/missing.jpg", text = emu.TempDir() + "/text.bmp";
    FILE* f = std::fopen(text.c_str(), "w");
    std::fputs("no picture\n", f);
    std::fclose(f);
    EXPECT_EQ(qp7730_load_file(c.handle, missing.c_str(), 0, 0, nullptr), QP7730_ERR_FILE);
    EXPECT_EQ(qp7730_last_message(), missing + ": cannot open the file: No such file or directory (ENOENT, 2)");
    EXPECT_EQ(qp7730_load_file(c.handle, text.c_str(), 0, 0, nullptr), QP7730_ERR_PICTURE);
    EXPECT_EQ(qp7730_last_message(), text + ": not a BMP, JPEG, PNG, GIF or TIFF picture");
    const uint8_t junk[4] = {1, 2, 3, 4};
    EXPECT_EQ(qp7730_load_encoded(c.handle, junk, 4, 0, 0, nullptr, nullptr), QP7730_ERR_PICTURE);
    EXPECT_STREQ(qp7730_last_message(), "the picture's 4 bytes: not a BMP, JPEG, PNG, GIF or TIFF picture");

    // The controller vanishes: the first failure says why, the next that it is gone.
    emu.Stop();
    EXPECT_EQ(qp7730_fill(c.handle, 0, 0, 4, 4, 0x10), QP7730_ERR_IO);
    const std::string vanished = qp7730_last_message();
    const std::regex inWords("^(sending|moving the data of|reading the status of) command 0x[0-9A-F]{2} failed: "
                             ".* \\(E[A-Z]+, [0-9]+\\)");
    EXPECT_TRUE(std::regex_search(vanished, inWords)) << vanished;
    EXPECT_EQ(qp7730_fill(c.handle, 0, 0, 4, 4, 0x10), QP7730_ERR_IO);
    const std::string gone = qp7730_last_message();
    EXPECT_NE(gone.find("the controller is gone"), std::string::npos) << gone;
    for (const std::string& m : {vanished, gone}) {
        EXPECT_EQ(m.find('\n'), std::string::npos) << m;
        EXPECT_EQ(m.find("[FAIL]"), std::string::npos) << m;
    }
}

// A wait for the run lock stops within its 20 ms step once the caller's flag is set, and
// leaves nothing held: the controller opens as soon as the other program lets go.
TEST(ApiLock, ACancelledWaitGivesUpAndHoldsNothing) {
    Emulator emu(kSmallPanel);
    auto holder = std::make_unique<RunLockHolder>(emu.SocketPath());
    volatile int cancel = 0;
    qp7730* h = nullptr;
    std::string message;
    Clock::time_point returned;
    std::thread opener([&] {
        const int code = qp7730_open_cancellable(emu.SocketPath().c_str(), 30, &cancel, &h);
        returned = Clock::now();
        EXPECT_EQ(code, QP7730_ERR_BUSY);
        message = qp7730_last_message();
    });
    // The opener waits once it has identified the controller.
    const auto start = Clock::now();
    while (emu.TraceLines().empty() && Clock::now() - start < std::chrono::seconds(10))
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    const auto asked = Clock::now();
    // The library reads the flag atomically; a plain store here is a race to the thread sanitizer.
    __atomic_store_n(&cancel, 1, __ATOMIC_SEQ_CST);
    opener.join();
    EXPECT_LT(returned - asked, std::chrono::milliseconds(500));
    EXPECT_EQ(h, nullptr);
    EXPECT_NE(message.find("was cancelled"), std::string::npos) << message;
    EXPECT_EQ(qp7730_open((emu.TempDir() + "/nobody.sock").c_str(), 0, &h), QP7730_ERR_NOT_FOUND);  // not "cancelled"
    holder.reset();
    Opened again;
    EXPECT_EQ(Open(emu, again), QP7730_OK) << qp7730_last_message();
}

}  // namespace
