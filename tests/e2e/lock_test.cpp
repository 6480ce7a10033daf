// Runs on one controller take turns: a run that finds the controller's lock held waits
// its turn within QP7730_LOCK_WAIT seconds or ends before sending anything after the
// identification, and a run killed while it holds the lock never delays the next one.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
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

}  // namespace
