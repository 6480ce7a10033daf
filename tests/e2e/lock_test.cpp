// Runs on one controller take turns: a run that finds the controller's lock held waits
// its turn within QP7730_LOCK_WAIT seconds or ends before sending anything after the
// identification, and a run killed while it holds the lock never delays the next one.
// Against an emulator that interleaves the commands of its connections, as a drive
// shared by several processes does, the lock is what keeps a firmware upgrade whole
// while another process fills the panel.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "link/run_lock.h"
#include "tests/e2e/harness.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using e2e::Emulator;
using e2e::RunResult;
using e2e::RunTool;

const std::vector<std::string> kSmallPanel = {"--width", "64", "--height", "32"};
const std::vector<std::string> kFill = {"-load", "80", "0", "0", "8", "8"};

// The lock file the tool takes for this emulator, over either form of its route.
std::string LockPath(const Emulator& emu) { return RunLockPath("emulator " + emu.SocketPath()); }

struct LockWait {
    explicit LockWait(const char* seconds) { setenv("QP7730_LOCK_WAIT", seconds, 1); }
    ~LockWait() { unsetenv("QP7730_LOCK_WAIT"); }
};

// Holds the lock as another run would, until released.
struct Holder {
    explicit Holder(const std::string& path) : fd(open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644)) {
        EXPECT_GE(fd, 0);
        EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    }
    ~Holder() { Release(); }
    void Release() {
        if (fd >= 0) close(fd);
        fd = -1;
    }
    int fd;
};

int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

double Seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// The commands the emulator saw, by name.
std::vector<std::string> Commands(const Emulator& emu) {
    std::vector<std::string> names;
    for (const std::string& line : emu.TraceLines()) {
        const size_t at = line.find("\"cmd\":\"");
        if (at != std::string::npos) names.push_back(line.substr(at + 7, line.find('"', at + 7) - at - 7));
    }
    return names;
}

struct HeldCase {
    const char* wait;
    double minSeconds, maxSeconds;
    bool saysWaiting;
};

class LockHeld : public ::testing::TestWithParam<HeldCase> {};

TEST_P(LockHeld, RunEndsAfterTheBoundHavingSentOnlyTheIdentification) {
    const HeldCase& c = GetParam();
    Emulator emu(kSmallPanel);
    Holder other(LockPath(emu));
    LockWait wait(c.wait);
    const auto start = Clock::now();
    const RunResult r = RunTool(kFill, emu.SocketPath());
    const double took = Seconds(start);

    EXPECT_EQ(r.exitStatus, 255);
    EXPECT_EQ(r.out, "");  // the emulator route prints nothing before the panel lines
    EXPECT_EQ(Count(r.err, "waiting up to"), c.saysWaiting ? 1 : 0) << r.err;
    EXPECT_EQ(Count(r.err, "still in use by another run"), 1) << r.err;
    EXPECT_GE(took, c.minSeconds);
    EXPECT_LT(took, c.maxSeconds);
    EXPECT_EQ(Commands(emu), std::vector<std::string>{"inquiry"});
}

INSTANTIATE_TEST_SUITE_P(Bounds, LockHeld,
                         ::testing::Values(HeldCase{"0", 0.0, 2.0, false}, HeldCase{"1", 1.0, 4.0, true}),
                         [](const auto& info) { return std::string("Wait") + info.param.wait; });

TEST(Lock, SecondRunWaitsItsTurnThenRunsInFull) {
    Emulator emu(kSmallPanel);
    Holder other(LockPath(emu));
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(800));
        other.Release();
    });
    LockWait wait("20");
    const auto start = Clock::now();
    const RunResult r = RunTool(kFill, emu.SocketPath());
    release.join();

    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_GE(Seconds(start), 0.8);
    EXPECT_EQ(Count(r.err, "waiting up to 20 s"), 1) << r.err;
    EXPECT_EQ(Count(r.err, "giving up"), 0);
    EXPECT_NE(r.out.find("Done.\n"), std::string::npos);
}

// Another process has the default emulator open and holds the controller's lock, as a
// run under way or an open library handle does: the next run identifies the controller,
// says it waits, and runs in full once the other lets go.
TEST(Lock, RunOnTheDefaultEmulatorMeetsAnOpenControllerAtTheLockAndWaitsItsTurn) {
    Emulator emu(kSmallPanel);
    auto other = std::make_unique<e2e::EmuClient>(emu.SocketPath());
    ASSERT_EQ(other->SystemInfo()[4], 64u);
    Holder held(LockPath(emu));

    int err[2];
    ASSERT_EQ(pipe2(err, O_CLOEXEC), 0);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, (emu.TempDir() + "/out.txt").c_str(), O_WRONLY | O_CREAT, 0600);
    posix_spawn_file_actions_adddup2(&files, err[1], 2);
    setenv("QP7730_EMULATOR", emu.SocketPath().c_str(), 1);
    setenv("QP7730_LOCK_WAIT", "20", 1);
    std::vector<std::string> words = {e2e::ToolPath()};
    words.insert(words.end(), kFill.begin(), kFill.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    pid_t run = -1;
    const int spawned = posix_spawn(&run, argv[0], &files, nullptr, argv.data(), environ);
    unsetenv("QP7730_EMULATOR");
    unsetenv("QP7730_LOCK_WAIT");
    posix_spawn_file_actions_destroy(&files);
    close(err[1]);
    ASSERT_EQ(spawned, 0);

    // Once the run says it waits, the other process lets go; then the rest of its text.
    std::string text;
    bool released = false;
    for (char buf[512];;) {
        pollfd p{err[0], POLLIN, 0};
        if (poll(&p, 1, released ? 60000 : 15000) <= 0) break;
        const ssize_t n = read(err[0], buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
        if (!released && text.find("waiting up to 20 s") != std::string::npos) {
            held.Release();
            other.reset();
            released = true;
        }
    }
    close(err[0]);
    int status = 0;
    waitpid(run, &status, 0);
    const std::vector<uint8_t> out = e2e::ReadFileBytes(emu.TempDir() + "/out.txt");
    const std::string printed(out.begin(), out.end());

    EXPECT_TRUE(released) << text;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text;
    EXPECT_EQ(Count(text, "waiting up to 20 s"), 1) << text;
    EXPECT_EQ(Count(text, "[FAIL]"), 0) << text;
    EXPECT_EQ(Count(printed, "not found"), 0) << printed;
    EXPECT_NE(printed.find("Done.\n"), std::string::npos) << printed;
}

TEST(Lock, KilledRunDoesNotDelayTheNext) {
    // The first run holds the lock while the controller takes 1.5 s over a waited refresh.
    Emulator emu({"--width", "64", "--height", "32", "--refresh-ms", "1500"});
    setenv("QP7730_EMULATOR", emu.SocketPath().c_str(), 1);
    const char* argv[] = {e2e::ToolPath(), "-HTFY", "0", "0", "8", "8", "2", "1", nullptr};
    pid_t first = -1;
    ASSERT_EQ(posix_spawn(&first, argv[0], nullptr, nullptr, const_cast<char**>(argv), environ), 0);
    unsetenv("QP7730_EMULATOR");

    // Wait until it holds the lock, then kill it.
    const int fd = open(LockPath(emu).c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    const auto start = Clock::now();
    while (flock(fd, LOCK_EX | LOCK_NB) == 0 && Seconds(start) < 10) {
        flock(fd, LOCK_UN);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    close(fd);
    kill(first, SIGKILL);
    int status = 0;
    waitpid(first, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));

    LockWait wait("0");
    const RunResult r = RunTool(kFill, emu.SocketPath());
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.err.find("in use"), std::string::npos) << r.err;
}

// ---- two processes on a controller that interleaves their commands --------------------

// A whole-panel fill covers the first 32 KiB of the image buffer, where an upgrade
// stages each piece of the image before programming flash from it.
const std::string kPanelW = "256", kPanelH = "128";
const std::string kDoneUpgrade = "Done. Please reset QP7730.\n";

// 2 MiB: the firmware header, then random bytes.
std::vector<uint8_t> RandomFirmware() {
    std::vector<uint8_t> image(2u << 20);
    std::mt19937 random(7730);
    std::generate(image.begin(), image.end(), [&] { return static_cast<uint8_t>(random()); });
    std::memcpy(image.data(), "QPXEPD7730_A0100", 16);
    return image;
}

// Another process at work on the same controller: `qp7730 -load V 0 0 W H` over the
// whole panel, again and again with a different V each time, until destroyed.
class FillLoop {
public:
    explicit FillLoop(const std::string& address)
        : thread_([this, address] {
              static const char* const kValues[] = {"80", "0", "FF", "40", "C0", "20", "E0"};
              for (size_t i = 0; !stop_; ++i) {
                  const RunResult r =
                      RunTool({"-load", kValues[i % std::size(kValues)], "0", "0", kPanelW, kPanelH}, address, 60);
                  if (r.exitStatus == 0) ++completed_;
              }
          }) {}
    ~FillLoop() {
        stop_ = true;
        thread_.join();
    }
    // Waits until n fills have come through; false when they do not within 20 s.
    bool WaitForFills(int n) const {
        const auto start = Clock::now();
        while (completed_ < n && Seconds(start) < 20) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return completed_ >= n;
    }

private:
    std::atomic<bool> stop_{false};
    std::atomic<int> completed_{0};
    std::thread thread_;
};

// QP7730_TEST_NO_RUN_LOCK=1 for every run started meanwhile: runs no longer take turns.
struct NoRunLock {
    NoRunLock() { setenv("QP7730_TEST_NO_RUN_LOCK", "1", 1); }
    ~NoRunLock() { unsetenv("QP7730_TEST_NO_RUN_LOCK"); }
};

struct Attempt {
    RunResult upgrade;
    bool flashHoldsImage = false;
    // Inside the upgrade, from its first command after the identification to its last:
    // commands of other runs, their identifications apart; and those identifications
    // (a run that reached the controller and, with the lock, waited its turn).
    int foreignCommands = 0;
    int contenders = 0;
};

// A firmware upgrade while a fill loop runs on the same interleaving controller.
Attempt UpgradeWhileFilling(const std::vector<uint8_t>& image) {
    Emulator emu({"--interleave", "--width", kPanelW, "--height", kPanelH});
    const std::string fw = emu.TempDir() + "/fw.bin";
    std::ofstream(fw, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), image.size());
    Attempt a;
    {
        FillLoop fills(emu.SocketPath());
        if (!fills.WaitForFills(2)) throw std::runtime_error("the fill loop does not get through");
        a.upgrade = RunTool({"-upgrade", "1", fw}, emu.SocketPath());
    }
    emu.Stop();
    const std::vector<uint8_t> flash = e2e::ReadFileBytes(emu.FlashFilePath());
    a.flashHoldsImage = flash.size() >= image.size() && std::equal(image.begin(), image.end(), flash.begin());

    // Connection and command of every traced command; the upgrade is the run that
    // programs flash (0x98).
    std::vector<std::pair<std::string, std::string>> served;
    for (const std::string& line : emu.TraceLines()) {
        const size_t conn = line.find("\"conn\":") + 7, cmd = line.find("\"cmd\":\"") + 7;
        served.emplace_back(line.substr(conn, line.find(',', conn) - conn), line.substr(cmd, line.find('"', cmd) - cmd));
    }
    const auto programs = std::find_if(served.begin(), served.end(), [](const auto& s) { return s.second == "0x98"; });
    if (programs == served.end()) return a;
    const std::string upgrade = programs->first;
    const auto ofUpgrade = [&](const auto& s) { return s.first == upgrade && s.second != "inquiry"; };
    const auto first = std::find_if(served.begin(), served.end(), ofUpgrade);
    const auto last = std::find_if(served.rbegin(), served.rend(), ofUpgrade).base();
    for (auto s = first; s != last; ++s) {
        if (s->first == upgrade) continue;
        ++(s->second == "inquiry" ? a.contenders : a.foreignCommands);
    }
    return a;
}

// A fill that lands while the upgrade erases flash, or between programming one piece and
// staging the next, does no harm; one in two or three unlocked upgrades comes through
// whole. Attempts are repeated until the fills were seen to matter.
constexpr int kAttempts = 10;

TEST(LockInterleaved, UpgradeStaysWholeWhileAnotherProcessFillsThePanel) {
    const std::vector<uint8_t> image = RandomFirmware();
    // Until a fill reached the controller during the upgrade and had to wait its turn.
    int contended = 0;
    for (int attempt = 0; attempt < kAttempts && contended == 0; ++attempt) {
        SCOPED_TRACE("attempt " + std::to_string(attempt + 1));
        const Attempt a = UpgradeWhileFilling(image);
        EXPECT_EQ(a.upgrade.exitStatus, 0) << a.upgrade.err;
        EXPECT_NE(a.upgrade.out.find(kDoneUpgrade), std::string::npos) << a.upgrade.out << a.upgrade.err;
        EXPECT_TRUE(a.flashHoldsImage);
        EXPECT_EQ(a.foreignCommands, 0) << "another run's commands inside the upgrade";
        contended = a.contenders;
    }
    EXPECT_GT(contended, 0) << "no fill reached the controller during any upgrade: the test shows nothing";
}

TEST(LockInterleaved, WithoutTheLockTheFillsCorruptTheUpgrade) {
    const std::vector<uint8_t> image = RandomFirmware();
    const NoRunLock off;
    bool corrupted = false;
    for (int attempt = 0; attempt < kAttempts && !corrupted; ++attempt) {
        SCOPED_TRACE("attempt " + std::to_string(attempt + 1));
        const Attempt a = UpgradeWhileFilling(image);
        EXPECT_EQ(a.upgrade.exitStatus, 0) << a.upgrade.err;
        const bool done = a.upgrade.out.find(kDoneUpgrade) != std::string::npos;
        corrupted = !done || !a.flashHoldsImage;
        if (corrupted) {
            EXPECT_GT(a.foreignCommands, 0) << "corrupted with no other run's command inside";
            std::printf("unlocked attempt %d: %s, flash %s the image, %d fill commands inside the upgrade\n",
                        attempt + 1, done ? "reported done" : "reported failure",
                        a.flashHoldsImage ? "holds" : "does not hold", a.foreignCommands);
        }
    }
    EXPECT_TRUE(corrupted) << "every unlocked upgrade came through whole: the test cannot tell the lock matters";
}

}  // namespace
