// Runs on one controller take turns: a run that finds the controller's lock held waits
// its turn within QP7730_LOCK_WAIT seconds or ends before sending anything after the
// identification, over the emulator's own route (its socket, or TCP under e2e-tcp) and
// over the drive route, and a run killed while it holds the lock never delays the next
// one. Nothing another local user plants where lock files used to be, or beside the
// emulator's socket, hangs, holds or breaks a run. Against an emulator that interleaves
// the commands of its connections, as a drive shared by several processes does, the lock
// is what keeps a firmware upgrade whole while another process fills the panel.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/harness.h"
#include "tests/support/run_lock_holder.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using e2e::Emulator;
using e2e::RunOptions;
using e2e::RunResult;
using e2e::RunTool;
using e2e::Transport;

const std::vector<std::string> kSmallPanel = {"--width", "64", "--height", "32"};
const std::vector<std::string> kFill = {"-load", "80", "0", "0", "8", "8"};

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

bool Exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

bool AnyExists(const std::vector<std::string>& paths) { return std::any_of(paths.begin(), paths.end(), Exists); }

// Where earlier versions of the tool kept the lock file of a device, in /run/lock and in
// /tmp: anyone may create files there.
std::vector<std::string> OldLockFiles(const std::string& location) {
    std::string name;
    for (char c : location) name += std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' ? c : '_';
    return {"/run/lock/qp7730-" + name + ".lock", "/tmp/qp7730-" + name + ".lock"};
}

// ---- taking turns, over the emulator's route and the drive route -----------------------

enum class Way { kEmulator, kDrive };

void PrintTo(Way way, std::ostream* os) { *os << (way == Way::kEmulator ? "emulator" : "drive"); }

// One controller and the way runs reach it. The drive route's stand-in speaks the
// AF_UNIX form only, so under TCP it is left to the AF_UNIX run of the suite.
class LockTurns : public ::testing::TestWithParam<Way> {
protected:
    void SetUp() override {
        if (GetParam() == Way::kDrive && e2e::TransportFromEnvironment() == Transport::Tcp)
            GTEST_SKIP() << "the drive route is tested over the AF_UNIX socket";
        emu = std::make_unique<Emulator>(kSmallPanel);
    }
    RunOptions Options(const char* wait) const {
        RunOptions o;
        o.route = GetParam() == Way::kDrive ? e2e::Route::Drive : e2e::Route::Emulator;
        o.env = {std::string("QP7730_LOCK_WAIT=") + wait};
        return o;
    }
    // The lock another run on this route would take.
    std::unique_ptr<RunLockHolder> Hold() const {
        const bool drive = GetParam() == Way::kDrive;
        return std::make_unique<RunLockHolder>(drive ? e2e::StandInDrivePath(emu->SocketPath()) : emu->SocketPath(),
                                               drive);
    }
    std::string Location() const {
        return GetParam() == Way::kDrive ? e2e::kDriveName : "emulator " + emu->SocketPath();
    }
    std::unique_ptr<Emulator> emu;
};

TEST_P(LockTurns, HeldLockEndsTheRunAfterTheBoundHavingSentOnlyTheIdentification) {
    struct Bound {
        const char* wait;
        double minSeconds, maxSeconds;
        bool saysWaiting;
    };
    const auto other = Hold();
    size_t inquiries = 0;
    for (const Bound& b : {Bound{"0", 0.0, 2.0, false}, Bound{"1", 1.0, 4.0, true}}) {
        SCOPED_TRACE(std::string("QP7730_LOCK_WAIT=") + b.wait);
        const auto start = Clock::now();
        const RunResult r = RunTool(kFill, emu->SocketPath(), Options(b.wait));
        const double took = Seconds(start);
        EXPECT_EQ(r.exitStatus, 255);
        EXPECT_EQ(r.out, "");  // nothing after the discovery lines
        EXPECT_EQ(Count(r.err, "another run is using the controller at " + Location() + "; waiting up to"),
                  b.saysWaiting ? 1 : 0)
            << r.err;
        EXPECT_EQ(Count(r.err, "still in use by another run"), 1) << r.err;
        EXPECT_GE(took, b.minSeconds);
        EXPECT_LT(took, b.maxSeconds);
        EXPECT_EQ(Commands(*emu), std::vector<std::string>(++inquiries, "inquiry"));
    }
}

TEST_P(LockTurns, WaitingRunGoesOnOnceTheOtherLetsGoAndLeavesNoFile) {
    const std::vector<std::string> oldFiles = OldLockFiles(Location());
    std::vector<bool> existed;
    for (const std::string& f : oldFiles) existed.push_back(Exists(f));

    auto other = Hold();
    RunOptions o = Options("20");
    // The other run lets go once this one says that it waits.
    o.onStderr = [&](const std::string& err) {
        if (err.find("waiting up to 20 s") != std::string::npos) other.reset();
    };
    const RunResult r = RunTool(kFill, emu->SocketPath(), o);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(other, nullptr) << "the run did not say that it waits";
    EXPECT_EQ(Count(r.err, "waiting up to 20 s"), 1) << r.err;
    EXPECT_EQ(Count(r.err, "giving up"), 0);
    EXPECT_NE(r.out.find("Done.\n"), std::string::npos);

    for (size_t i = 0; i < oldFiles.size(); ++i) {
        if (!existed[i]) {
            EXPECT_FALSE(Exists(oldFiles[i])) << oldFiles[i];
        }
    }
    const std::string socket = emu->SocketPath();
    emu->Stop();
    if (!socket.starts_with("tcp:")) {
        EXPECT_FALSE(Exists(socket + ".run-lock"));
    }
}

INSTANTIATE_TEST_SUITE_P(Routes, LockTurns, ::testing::Values(Way::kEmulator, Way::kDrive),
                         [](const auto& info) { return testing::PrintToString(info.param); });

// Another process has the default emulator open and holds the controller's lock, as a
// run under way or an open library handle does: the next run identifies the controller,
// says it waits, and runs in full once the other lets go.
TEST(Lock, RunOnTheDefaultEmulatorMeetsAnOpenControllerAtTheLockAndWaitsItsTurn) {
    Emulator emu(kSmallPanel);
    auto other = std::make_unique<e2e::EmuClient>(emu.SocketPath());
    ASSERT_EQ(other->SystemInfo()[4], 64u);
    RunLockHolder held(emu.SocketPath());

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

    // It holds the lock once its system-information command has been served.
    const auto start = Clock::now();
    while (Commands(emu).size() < 2 && Seconds(start) < 10) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(Commands(emu), (std::vector<std::string>{"inquiry", "0x80"}));
    kill(first, SIGKILL);
    int status = 0;
    waitpid(first, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));

    RunOptions noWait;
    noWait.route = e2e::Route::Emulator;
    noWait.env = {"QP7730_LOCK_WAIT=0"};
    const RunResult r = RunTool(kFill, emu.SocketPath(), noWait);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.err.find("in use"), std::string::npos) << r.err;
}

// ---- what another local user plants ---------------------------------------------------

constexpr uid_t kNobody = 65534;  // user and group nobody: no access to any controller

// What user nobody does at a path: 0 when it worked, else errno.
struct Plant {
    const char* name;
    int (*at)(const char* path);
};
const Plant kPlants[] = {
    {"FIFO", [](const char* p) { return mkfifo(p, 0666) == 0 ? 0 : errno; }},
    {"file with a held flock",
     [](const char* p) {
         const int fd = open(p, O_RDWR | O_CREAT | O_EXCL, 0644);  // open until nobody's process ends
         return fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : errno;
     }},
    {"file of mode 000",
     [](const char* p) {
         const int fd = open(p, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0);
         return fd >= 0 && fchmod(fd, 0) == 0 ? 0 : errno;
     }},
    {"symlink", [](const char* p) { return symlink("/etc/passwd", p) == 0 ? 0 : errno; }},
};
// Opening or removing what is there (replacing it needs the same as removing): 0 when
// both are refused.
const Plant kTamper = {"tampering", [](const char* p) {
                           return open(p, O_RDONLY | O_NONBLOCK | O_CLOEXEC) >= 0 || unlink(p) == 0 ? 1 : 0;
                       }};

// User nobody in a process of its own, acting at each of the paths. The process stays
// until this is destroyed, so that a flock it takes is held meanwhile; what it planted is
// removed afterwards.
class Nobody {
public:
    Nobody(const std::vector<std::string>& paths, const Plant& plant) : paths_(paths), planted_(&plant != &kTamper) {
        int ready[2], hold[2];
        if (pipe2(ready, O_CLOEXEC) != 0 || pipe2(hold, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            close(hold[1]);
            int result = setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 && setuid(kNobody) == 0 ? 0 : errno;
            for (size_t i = 0; i < paths_.size() && result == 0; ++i) result = plant.at(paths_[i].c_str());
            char c;
            if (write(ready[1], &result, sizeof result) == sizeof result) {
                while (read(hold[0], &c, 1) < 0 && errno == EINTR) {
                }
            }
            _exit(0);
        }
        close(ready[1]);
        close(hold[0]);
        hold_ = hold[1];
        if (read(ready[0], &result_, sizeof result_) != sizeof result_) result_ = -1;
        close(ready[0]);
    }
    ~Nobody() {
        close(hold_);
        waitpid(pid_, nullptr, 0);
        for (const std::string& p : paths_) {
            if (planted_) unlink(p.c_str());
        }
    }
    Nobody(const Nobody&) = delete;
    Nobody& operator=(const Nobody&) = delete;
    int Result() const { return result_; }

private:
    std::vector<std::string> paths_;
    bool planted_;
    pid_t pid_ = -1;
    int hold_ = -1;
    int result_ = -1;
};

// The attacks need another user, and root to become it.
// (Each test picks its transports itself: under e2e-tcp it would only run again.)
#define REQUIRE_ROOT_AND_THE_NATIVE_TOOL()                                                         \
    do {                                                                                           \
        if (geteuid() != 0) GTEST_SKIP() << "needs root: the other user's side runs as nobody";    \
        if (e2e::ToolIsWindowsProgram()) GTEST_SKIP() << "the planted files are Linux's";          \
        if (e2e::TransportFromEnvironment() == Transport::Tcp) GTEST_SKIP() << "run over AF_UNIX"; \
    } while (0)

// A folder like /tmp: every user may create files in it, none may remove another's.
struct SharedFolder {
    SharedFolder() {
        std::string pattern = "/tmp/qp7730-shared-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr || chmod(pattern.c_str(), 01777) != 0)
            throw std::runtime_error("cannot make a shared folder");
        path = pattern;
    }
    ~SharedFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string path;
};

// A drive name whose old lock files nobody else has made yet (other runs of older tools
// may have left some behind).
std::string UnusedDriveName() {
    for (char c = 'z'; c > 'c'; --c) {
        const std::string name = std::string("/dev/sd") + c;
        if (!AnyExists(OldLockFiles(name))) return name;
    }
    throw std::runtime_error("every drive name has old lock files");
}

TEST(LockAttack, NothingPlantedWhereLockFilesUsedToBeHoldsHangsOrStopsARun) {
    REQUIRE_ROOT_AND_THE_NATIVE_TOOL();
    // An emulator on loopback TCP, which every local user may use (this one as daemon, a
    // user who is not root), and one behind the drive route.
    std::unique_ptr<Emulator> tcp;
    do tcp = std::make_unique<Emulator>(kSmallPanel, Transport::Tcp);
    while (AnyExists(OldLockFiles("emulator " + tcp->SocketPath())));
    Emulator drive(kSmallPanel, Transport::Unix);
    const std::string driveName = UnusedDriveName();

    RunOptions asRoot;
    asRoot.route = e2e::Route::Emulator;
    asRoot.env = {"QP7730_LOCK_WAIT=0"};
    asRoot.timeoutSec = 20;
    RunOptions asDaemon = asRoot;
    asDaemon.command = {"/usr/bin/setpriv", "--reuid=1", "--regid=1", "--clear-groups", e2e::ToolPath()};
    RunOptions onDrive = asRoot;
    onDrive.route = e2e::Route::Drive;
    onDrive.env.push_back("QP7730_SG_DRIVE=" + driveName);
    onDrive.stripDiscovery = false;
    struct Target {
        const char* name;
        const Emulator& emu;
        const RunOptions& options;
        std::string location;
    };
    const Target targets[] = {
        {"TCP, root", *tcp, asRoot, "emulator " + tcp->SocketPath()},
        {"TCP, daemon", *tcp, asDaemon, "emulator " + tcp->SocketPath()},
        {"drive, root", drive, onDrive, driveName},
    };
    for (const Plant& plant : kPlants) {
        for (const Target& t : targets) {
            SCOPED_TRACE(std::string(plant.name) + " / " + t.name);
            const Nobody nobody(OldLockFiles(t.location), plant);
            ASSERT_EQ(nobody.Result(), 0) << std::strerror(nobody.Result());
            const RunResult r = RunTool(kFill, t.emu.SocketPath(), t.options);
            EXPECT_EQ(r.exitStatus, 0) << r.err;
            EXPECT_EQ(r.err, "");
        }
    }
}

TEST(LockAttack, EmulatorRefusesARunLockThatIsNotItsOwnAndNobodyTouchesItsOwn) {
    REQUIRE_ROOT_AND_THE_NATIVE_TOOL();
    const SharedFolder shared;
    const std::string socket = shared.path + "/emu.sock", lock = socket + ".run-lock";
    std::vector<std::string> options = kSmallPanel;
    options.insert(options.end(), {"--socket", socket});
    for (const Plant& plant : kPlants) {
        SCOPED_TRACE(plant.name);
        const Nobody nobody({lock}, plant);
        ASSERT_EQ(nobody.Result(), 0) << std::strerror(nobody.Result());
        try {
            const Emulator emu(options);
            ADD_FAILURE() << "the emulator started";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(lock + " exists and is not a file of this user"), std::string::npos)
                << e.what();
        }
    }

    Emulator emu(options);
    {
        const Nobody nobody({lock}, kTamper);
        EXPECT_EQ(nobody.Result(), 0) << "nobody could open or remove the run lock";
    }
    RunOptions noWait;
    noWait.route = e2e::Route::Emulator;
    noWait.env = {"QP7730_LOCK_WAIT=0"};
    const RunResult r = RunTool(kFill, socket, noWait);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.err, "");
    emu.Stop();
    EXPECT_FALSE(Exists(lock));
}

TEST(LockAttack, RunRefusesARunLockThatIsNotTheEmulatorsOwnAtOnce) {
    REQUIRE_ROOT_AND_THE_NATIVE_TOOL();
    // What a folder open to others could let another user put in place of the emulator's
    // file once it runs.
    struct Case {
        const char* name;
        bool (*make)(const std::string& lock);  // false when it could not be done
        std::string says;                       // after the file's name
    };
    const Case cases[] = {
        {"FIFO", [](const std::string& l) { return unlink(l.c_str()) == 0 && mkfifo(l.c_str(), 0600) == 0; },
         " is not a regular file"},
        {"symlink to it",
         [](const std::string& l) {
             return rename(l.c_str(), (l + ".old").c_str()) == 0 && symlink((l + ".old").c_str(), l.c_str()) == 0;
         },
         " is a symbolic link"},
        {"another user's", [](const std::string& l) { return chown(l.c_str(), kNobody, kNobody) == 0; },
         " is owned by user 65534, not by the emulator's user 0"},
        {"open to others", [](const std::string& l) { return chmod(l.c_str(), 0640) == 0; },
         " is open to other users (mode 640)"},
        {"missing", [](const std::string& l) { return unlink(l.c_str()) == 0; }, ": No such file or directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Emulator emu(kSmallPanel);
        const std::string lock = emu.SocketPath() + ".run-lock";
        ASSERT_TRUE(c.make(lock)) << std::strerror(errno);
        RunOptions o;
        o.route = e2e::Route::Emulator;
        o.env = {"QP7730_LOCK_WAIT=20"};
        const auto start = Clock::now();
        const RunResult r = RunTool(kFill, emu.SocketPath(), o);
        EXPECT_LT(Seconds(start), 3.0);
        EXPECT_EQ(r.exitStatus, 255);
        EXPECT_EQ(r.err, "qp7730: cannot take the run lock of the controller at emulator " + emu.SocketPath() + ": " +
                             lock + c.says + "\n");
        EXPECT_EQ(Commands(emu), std::vector<std::string>{"inquiry"});
    }
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
