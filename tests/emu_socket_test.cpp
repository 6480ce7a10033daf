// qp7730-emu as a process: the socket contract, framing, fault injection and shutdown,
// seen from a bulk-only client.
#include <gtest/gtest.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>

#include "tests/e2e/harness.h"

namespace {

using e2e::EmuClient;
using e2e::Emulator;
using e2e::RunResult;
using e2e::RunTool;
using e2e::VendorCdb;

constexpr uint32_t kImageBuffer = 0x00120000;
constexpr uint32_t kUsbc = 0x43425355;

std::vector<uint8_t> MemoryCdb(uint8_t sub, uint32_t address, uint16_t length) {
    std::vector<uint8_t> cdb = VendorCdb(sub);
    cdb[2] = static_cast<uint8_t>(address >> 24);
    cdb[3] = static_cast<uint8_t>(address >> 16);
    cdb[4] = static_cast<uint8_t>(address >> 8);
    cdb[5] = static_cast<uint8_t>(address);
    cdb[7] = static_cast<uint8_t>(length >> 8);
    cdb[8] = static_cast<uint8_t>(length);
    return cdb;
}

std::vector<uint8_t> BeWords(std::initializer_list<uint32_t> words) {
    std::vector<uint8_t> v;
    for (uint32_t w : words) {
        for (int shift = 24; shift >= 0; shift -= 8) v.push_back(static_cast<uint8_t>(w >> shift));
    }
    return v;
}

std::string Identity(EmuClient& client) {
    std::vector<uint8_t> reply;
    if (client.Raw(VendorCdb(0x12), 40, &reply) != 0 || reply.size() != 40) return "<failed>";
    return std::string(reply.begin() + 8, reply.begin() + 36);
}

// The "cmd" field of every trace line.
std::vector<std::string> CommandNames(const Emulator& emu) {
    std::vector<std::string> names;
    for (const std::string& line : emu.TraceLines()) {
        const size_t at = line.find("\"cmd\":\"") + 7;
        names.push_back(line.substr(at, line.find('"', at) - at));
    }
    return names;
}

TEST(EmuSocket, AnswersInquiryAndServesOneConnectionAfterAnother) {
    Emulator emu;
    {
        EmuClient first(emu.SocketPath());
        EXPECT_EQ(Identity(first), "Generic Storage RamDisc 1.00");
        const std::vector<uint32_t> info = first.SystemInfo();
        EXPECT_EQ(info[4], 1872u);
        EXPECT_EQ(info[5], 1404u);
        EXPECT_EQ(info[7], kImageBuffer);
        EXPECT_EQ(info[19], 0x00200000u);
    }
    EmuClient second(emu.SocketPath());
    EXPECT_EQ(Identity(second), "Generic Storage RamDisc 1.00");
}

TEST(EmuSocket, ClientThatSaysNothingIsDroppedAndTheNextIsServed) {
    Emulator emu;
    EmuClient silent(emu.SocketPath());
    EmuClient next(emu.SocketPath());
    next.SetTimeoutMs(20000);  // the silent client has 10 s to send its first wrapper
    EXPECT_EQ(Identity(next), "Generic Storage RamDisc 1.00");
}

TEST(EmuSocket, SocketIsOwnerOnly) {
    Emulator emu;
    struct stat st {};
    ASSERT_EQ(lstat(emu.SocketPath().c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(EmuSocket, MalformedWrappersGetPhaseErrorAndTheNextCommandWorks) {
    Emulator emu;
    EmuClient client(emu.SocketPath());
    client.SetTimeoutMs(2000);
    std::vector<uint8_t> good = EmuClient::MakeCbw(VendorCdb(0xAC), 0, false, 0x1234);
    std::vector<uint8_t> badSignature = good;
    badSignature[0] = 'X';
    std::vector<uint8_t> badCbLength = good;
    badCbLength[14] = 12;
    std::vector<uint8_t> tooLong = good;
    tooLong.push_back(0);
    std::vector<uint8_t> badLun = good;
    badLun[13] = 1;
    const std::vector<std::pair<const char*, std::vector<uint8_t>>> cases = {
        {"short", {'U', 'S', 'B', 'C', 1}}, {"signature", badSignature}, {"CB length", badCbLength},
        {"32 bytes", tooLong},              {"LUN", badLun},
    };
    for (const auto& [what, message] : cases) {
        ASSERT_TRUE(client.SendMessage(message)) << what;
        std::vector<uint8_t> csw;
        ASSERT_TRUE(client.ReceiveMessage(&csw)) << what;
        ASSERT_EQ(csw.size(), 13u) << what;
        EXPECT_EQ(std::string(csw.begin(), csw.begin() + 4), "USBS") << what;
        EXPECT_EQ(csw[12], 2) << what;
    }
    EXPECT_EQ(Identity(client), "Generic Storage RamDisc 1.00");
}

TEST(EmuSocket, FramingPadsDataInAndConsumesWholeDataOut) {
    Emulator emu;
    EmuClient client(emu.SocketPath());
    client.SetTimeoutMs(3000);
    // Asking for more than the reply has: the rest comes as zeros.
    std::vector<uint8_t> reply;
    ASSERT_EQ(client.Raw(VendorCdb(0x12), 64, &reply), 0);
    ASSERT_EQ(reply.size(), 64u);
    EXPECT_EQ(reply[40], 0);
    // A failing data-in command still sends the whole phase.
    ASSERT_EQ(client.Raw(MemoryCdb(0x81, 0xFFFFFF00, 300), 300, &reply), 1);
    EXPECT_EQ(reply, std::vector<uint8_t>(300, 0));
    // A data-out phase longer than the command wants, in several messages, is consumed.
    std::vector<uint8_t> big(200000, 0x5A);
    EXPECT_EQ(client.Raw(MemoryCdb(0xA5, 0, 100), big), 1);
    EXPECT_EQ(Identity(client), "Generic Storage RamDisc 1.00");
    // Memory written and read back over several pieces.
    std::vector<uint8_t> pattern(150000);
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(i * 31 + 7);
    client.WriteMemory(kImageBuffer, pattern);
    EXPECT_EQ(client.ReadMemory(kImageBuffer, static_cast<uint32_t>(pattern.size())), pattern);
}

TEST(EmuSocket, SecondEmulatorOnTheSamePathIsRefusedAndStaleSocketsAreReplaced) {
    Emulator emu;
    try {
        Emulator other({"--socket", emu.SocketPath()});
        ADD_FAILURE() << "a second emulator started on a served path";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("already serves"), std::string::npos) << e.what();
    }
    EmuClient client(emu.SocketPath());
    EXPECT_EQ(Identity(client), "Generic Storage RamDisc 1.00");

    // A socket file nobody listens on any more.
    const std::string stale = emu.TempDir() + "/stale.sock";
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, stale.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    close(fd);
    Emulator replacement({"--socket", stale});
    EmuClient staleClient(stale);
    EXPECT_EQ(Identity(staleClient), "Generic Storage RamDisc 1.00");
}

TEST(EmuSocket, FlashFileOfAnotherSizeStopsTheStartAndIsKept) {
    Emulator scratch;  // only for its temporary directory
    const std::string path = scratch.TempDir() + "/notes.txt";
    const std::string text = "not a flash image\n";
    std::ofstream(path) << text;
    try {
        Emulator emu({"--flash-file", path});
        ADD_FAILURE() << "the emulator started";
    } catch (const std::runtime_error& e) {
        const std::string what = e.what();
        EXPECT_NE(what.find("(exit status 1)"), std::string::npos) << what;
        EXPECT_NE(what.find("refusing to overwrite"), std::string::npos) << what;
    }
    const auto kept = e2e::ReadFileBytes(path);
    EXPECT_EQ(std::string(kept.begin(), kept.end()), text);
}

TEST(EmuSocket, FlashFileEmptiedWhileServingChangesNothingForTheTool) {
    Emulator emu;
    std::filesystem::resize_file(emu.FlashFilePath(), 0);
    const RunResult r = RunTool({"-version"}, emu.SocketPath(), 60);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_NE(r.out.find("FW Version : FW 1.02 emu"), std::string::npos) << r.out;
    EXPECT_TRUE(emu.Running()) << emu.Stderr();
}

TEST(EmuSocket, SigtermEndsCleanlyAndRemovesTheSocket) {
    Emulator emu;
    EXPECT_EQ(emu.Stop(), 0);
    EXPECT_FALSE(std::filesystem::exists(emu.SocketPath()));
    EXPECT_FALSE(std::filesystem::exists(emu.SocketPath() + ".lock"));
}

TEST(EmuSocket, ExitAfterEndsRightAfterThatCommand) {
    Emulator emu({"--exit-after", "2"});
    EmuClient client(emu.SocketPath());
    EXPECT_EQ(Identity(client), "Generic Storage RamDisc 1.00");
    std::vector<uint8_t> pattern(16, 0x33);
    EXPECT_EQ(client.Raw(MemoryCdb(0xA5, 0, 16), pattern), 0) << "command 2 is still answered";
    EXPECT_EQ(emu.WaitForExit(5000), 0);
    EXPECT_FALSE(std::filesystem::exists(emu.SocketPath()));
    EXPECT_TRUE(std::filesystem::exists(emu.FlashFilePath()));
}

TEST(EmuSocket, IdentityOptionChangesTheInquiryText) {
    Emulator emu({"--identity", "Other   Memory Stick    2.00"});
    EmuClient client(emu.SocketPath());
    EXPECT_EQ(Identity(client), "Other   Memory Stick    2.00");
}

// Each fault hits command 2 of a fresh emulator; command 1 writes a known pattern.
struct FaultCase {
    const char* fault;
    // Command 2 and what the client sees.
    std::function<void(EmuClient&, const Emulator&)> check;
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.fault; }

class EmuFaultTest : public ::testing::TestWithParam<FaultCase> {};

const std::vector<uint8_t> kPattern = [] {
    std::vector<uint8_t> p(1000);
    for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>(0x80 | (i & 0x7F));
    return p;
}();

TEST_P(EmuFaultTest, HitsOnlyTheChosenCommand) {
    Emulator emu({"--fault", std::string(GetParam().fault) + "@2"});
    EmuClient client(emu.SocketPath());
    client.SetTimeoutMs(3000);
    ASSERT_EQ(client.Raw(MemoryCdb(0xA5, kImageBuffer, 1000), kPattern), 0);
    GetParam().check(client, emu);
    // Command 3 is served normally.
    client.SetTimeoutMs(3000);
    EXPECT_EQ(Identity(client), "Generic Storage RamDisc 1.00");
    const std::vector<std::string> trace = emu.TraceLines();
    ASSERT_GE(trace.size(), 3u);
    EXPECT_NE(trace[1].find("\"fault\":\"" + std::string(GetParam().fault) + "\""), std::string::npos) << trace[1];
    EXPECT_EQ(trace[2].find("fault"), std::string::npos);
}

int DifferingBits(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    int bits = 0;
    for (size_t i = 0; i < std::min(a.size(), b.size()); ++i) bits += __builtin_popcount(a[i] ^ b[i]);
    return bits;
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, EmuFaultTest,
    ::testing::Values(
        FaultCase{"fail-status",
                  [](EmuClient& c, const Emulator&) {
                      std::vector<uint8_t> data;
                      EXPECT_EQ(c.Raw(MemoryCdb(0x81, kImageBuffer, 1000), 1000, &data), 1);
                      EXPECT_EQ(data, std::vector<uint8_t>(1000, 0)) << "full phase of zeros";
                  }},
        FaultCase{"bad-signature",
                  [](EmuClient& c, const Emulator&) {
                      std::vector<uint8_t> data;
                      EXPECT_EQ(c.Raw(MemoryCdb(0x81, kImageBuffer, 1000), 1000, &data), -1);
                      EXPECT_EQ(c.LastCswSignature(), kUsbc);
                      EXPECT_EQ(data, kPattern) << "the command itself was carried out";
                  }},
        FaultCase{"no-answer",
                  [](EmuClient& c, const Emulator&) {
                      c.SetTimeoutMs(300);
                      std::vector<uint8_t> data;
                      EXPECT_EQ(c.Raw(MemoryCdb(0x81, kImageBuffer, 1000), 1000, &data), -1);
                      EXPECT_TRUE(data.empty());
                      std::vector<uint8_t> late;
                      EXPECT_FALSE(c.ReceiveMessage(&late)) << "nothing comes later either";
                  }},
        FaultCase{"short-data",
                  [](EmuClient& c, const Emulator&) {
                      std::vector<uint8_t> data;
                      EXPECT_EQ(c.Raw(MemoryCdb(0x81, kImageBuffer, 1000), 1000, &data), 0);
                      EXPECT_EQ(data, std::vector<uint8_t>(kPattern.begin(), kPattern.begin() + 500));
                  }},
        FaultCase{"stall-data",
                  [](EmuClient& c, const Emulator&) {
                      std::vector<uint8_t> data;
                      EXPECT_EQ(c.Raw(MemoryCdb(0x81, kImageBuffer, 1000), 1000, &data), 1);
                      EXPECT_EQ(data, std::vector<uint8_t>(1000, 0)) << "no stall on a socket: zeros";
                      EXPECT_EQ(c.LastCswResidue(), 1000u);
                  }},
        FaultCase{"stall-status",
                  [](EmuClient& c, const Emulator&) {
                      std::vector<uint8_t> data;
                      EXPECT_EQ(c.Raw(MemoryCdb(0x81, kImageBuffer, 1000), 1000, &data), 0);
                      EXPECT_EQ(data, kPattern) << "no stall on a socket: answered as usual";
                  }},
        FaultCase{"phase-error",
                  [](EmuClient& c, const Emulator&) {
                      std::vector<uint8_t> data;
                      EXPECT_EQ(c.Raw(MemoryCdb(0x81, kImageBuffer, 1000), 1000, &data), 2);
                  }},
        FaultCase{"flip-bit",
                  [](EmuClient& c, const Emulator&) {
                      std::vector<uint8_t> data;
                      EXPECT_EQ(c.Raw(MemoryCdb(0x81, kImageBuffer, 1000), 1000, &data), 0);
                      EXPECT_EQ(DifferingBits(data, kPattern), 1);
                      EXPECT_EQ(c.ReadMemory(kImageBuffer, 1000), kPattern) << "memory itself unchanged";
                  }}),
    [](const auto& info) {
        std::string name = info.param.fault;
        std::erase(name, '-');
        return name;
    });

TEST(EmuFaults, ShortDataOutKeepsOnlyTheFirstHalf) {
    Emulator emu({"--fault", "short-data@1"});
    EmuClient client(emu.SocketPath());
    EXPECT_EQ(client.Raw(MemoryCdb(0xA5, kImageBuffer, 1000), kPattern), 0);
    const std::vector<uint8_t> memory = client.ReadMemory(kImageBuffer, 1000);
    EXPECT_EQ(std::vector<uint8_t>(memory.begin(), memory.begin() + 500),
              std::vector<uint8_t>(kPattern.begin(), kPattern.begin() + 500));
    EXPECT_EQ(std::vector<uint8_t>(memory.begin() + 500, memory.end()), std::vector<uint8_t>(500, 0));
}

TEST(EmuFaults, NoAnswerAfterADataOutPhaseLeavesTheHostInStep) {
    Emulator emu({"--fault", "no-answer@1"});
    EmuClient client(emu.SocketPath());
    client.SetTimeoutMs(300);
    EXPECT_EQ(client.Raw(MemoryCdb(0xA5, kImageBuffer, 1000), kPattern), -1);
    client.SetTimeoutMs(3000);
    EXPECT_EQ(client.ReadMemory(kImageBuffer, 1000), std::vector<uint8_t>(1000, 0)) << "not carried out";
}

TEST(EmuSocket, DataMessageLongerThanAnnouncedIsAPhaseError) {
    Emulator emu;
    EmuClient client(emu.SocketPath());
    client.SetTimeoutMs(3000);
    ASSERT_TRUE(client.SendMessage(EmuClient::MakeCbw(MemoryCdb(0xA5, 0, 10), 10, false)));
    ASSERT_TRUE(client.SendMessage(std::vector<uint8_t>(20, 1)));
    std::vector<uint8_t> csw;
    ASSERT_TRUE(client.ReceiveMessage(&csw));
    ASSERT_EQ(csw.size(), 13u);
    EXPECT_EQ(csw[12], 2);
    EXPECT_EQ(client.ReadMemory(0, 10), std::vector<uint8_t>(10, 0));
}

TEST(EmuSocket, TraceHasOneLinePerCommandWithDataCut) {
    Emulator emu;
    {
        EmuClient client(emu.SocketPath());
        client.WriteMemory(kImageBuffer, kPattern);
        ASSERT_EQ(client.Raw(VendorCdb(0xAC)), 0);
    }
    const std::vector<std::string> trace = emu.TraceLines();
    ASSERT_EQ(trace.size(), 2u);
    const std::string& write = trace[0];
    EXPECT_EQ(write.rfind("{\"seq\":1,\"conn\":1,\"cmd\":\"0xA5\",\"cdb\":\"fe00001200", 0), 0u) << write;
    EXPECT_NE(write.find("\"dir\":\"out\",\"len\":1000,\"data\":\"808182"), std::string::npos) << write;
    EXPECT_NE(write.find("...\",\"status\":0}"), std::string::npos) << write;
    EXPECT_EQ(write.find("\"data\":\"") + 8 + 128 + 3, write.find("\",\"status")) << "64 bytes shown";
    EXPECT_NE(trace[1].find("\"seq\":2,\"conn\":1,\"cmd\":\"0xAC\""), std::string::npos) << trace[1];
    EXPECT_NE(trace[1].find("\"dir\":\"none\",\"len\":0,\"status\":0}"), std::string::npos) << trace[1];
}

TEST(EmuFaults, FlipBitWhileProgrammingFlashAndCountingAcrossConnections) {
    // Command 1 (first connection) writes memory; commands 2 and 3 (second connection)
    // erase and program flash, the programming with one bit flipped.
    Emulator emu({"--fault", "flip-bit@3"});
    {
        EmuClient client(emu.SocketPath());
        ASSERT_EQ(client.Raw(MemoryCdb(0xA5, kImageBuffer, 1000), kPattern), 0);
    }
    EmuClient client(emu.SocketPath());
    const uint32_t at = 0x300000;
    const std::vector<uint8_t> erase = BeWords({at, 0x1000});
    ASSERT_EQ(client.Raw(VendorCdb(0x96), erase), 0);
    const std::vector<uint8_t> program = BeWords({at, kImageBuffer, 1000});
    ASSERT_EQ(client.Raw(VendorCdb(0x98), program), 0);
    const std::vector<uint8_t> flash = e2e::ReadFileBytes(emu.FlashFilePath());
    const std::vector<uint8_t> written(flash.begin() + at, flash.begin() + at + 1000);
    EXPECT_EQ(DifferingBits(written, kPattern), 1);
    EXPECT_EQ(flash[at + 1000], 0xFF);
}

// The standard commands a storage stack sends work over the socket too, padded to the
// host's length as every data-in phase there; the trace names them.
TEST(EmuSocket, StandardCommandsAnswerWithTheirSenseAndAreTracedByName) {
    Emulator emu;
    EmuClient client(emu.SocketPath());
    client.SetTimeoutMs(3000);
    const std::vector<uint8_t> testUnitReady(6, 0);
    EXPECT_EQ(client.Raw(testUnitReady), 1) << "no medium";
    std::vector<uint8_t> sense;
    ASSERT_EQ(client.Raw(std::vector<uint8_t>{0x03, 0, 0, 0, 96, 0}, 96, &sense), 0);
    ASSERT_EQ(sense.size(), 96u);
    EXPECT_EQ(std::vector<uint8_t>(sense.begin(), sense.begin() + 14),
              (std::vector<uint8_t>{0x70, 0, 0x02, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x3A, 0}));
    EXPECT_EQ(sense[18], 0) << "zeros past the 18 bytes of sense";
    EXPECT_EQ(CommandNames(emu), (std::vector<std::string>{"test-unit-ready", "request-sense"}));
}

TEST(EmuSocket, DisplayWritesThePanelPng) {
    Emulator emu({"--width", "200", "--height", "100"});
    EmuClient client(emu.SocketPath());
    std::vector<uint8_t> rows(200 * 100);
    for (size_t i = 0; i < rows.size(); ++i) rows[i] = (i % 200) < 100 ? 0 : 255;
    client.WriteMemory(kImageBuffer, rows);
    const std::vector<uint8_t> record = BeWords({kImageBuffer, 1, 0, 0, 200, 100, 1});
    ASSERT_EQ(client.Raw(VendorCdb(0x94), record), 0);
    uint32_t w = 0, h = 0;
    EXPECT_EQ(e2e::WaitForGreyPng(emu.PngPath(), rows, &w, &h), rows);
    EXPECT_EQ(w, 200u);
    EXPECT_EQ(h, 100u);
}

// ---- who may talk to whom, and bounds --------------------------------------------------

constexpr uid_t kNobody = 65534;
using Clock = std::chrono::steady_clock;

// A private directory, removed with everything in it.
struct ScratchDir {
    std::string path;
    ScratchDir() {
        char pattern[] = "/tmp/qp7730-emu-test-XXXXXX";
        if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
        path = pattern;
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

sockaddr_un UnixAddress(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    return addr;
}

bool BecomeUser(uid_t uid) { return setgroups(0, nullptr) == 0 && setgid(uid) == 0 && setuid(uid) == 0; }

// Waits for a child up to timeoutMs; its exit status, or -1 (killed when still running).
int WaitChild(pid_t pid, int timeoutMs) {
    const auto start = Clock::now();
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() - start > std::chrono::milliseconds(timeoutMs)) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A controller impostor in a child process that runs as another user: it answers every
// command with the controller's identity and a passing status. Returns its pid once it
// listens on path.
pid_t StartImpostor(const std::string& path, uid_t uid) {
    int ready[2];
    if (pipe(ready) != 0) return -1;
    const pid_t pid = fork();
    if (pid != 0) {
        close(ready[1]);
        char c = 0;
        const bool up = read(ready[0], &c, 1) == 1;
        close(ready[0]);
        if (!up && pid > 0) {
            WaitChild(pid, 0);
            return -1;
        }
        return pid;
    }
    close(ready[0]);
    const sockaddr_un addr = UnixAddress(path);
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    if (!BecomeUser(uid) || bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(fd, 4) != 0)
        _exit(1);
    [[maybe_unused]] ssize_t w = write(ready[1], "r", 1);
    uint8_t reply[0x10000] = {};
    std::memcpy(reply + 8, "Generic Storage RamDisc 1.00", 28);
    for (;;) {
        const int c = accept(fd, nullptr, nullptr);
        if (c < 0) continue;
        uint8_t cbw[64];
        while (recv(c, cbw, sizeof cbw, 0) == 31) {
            uint32_t length = cbw[8] | cbw[9] << 8 | cbw[10] << 16 | uint32_t{cbw[11]} << 24;
            while (length > 0) {
                const uint32_t n = std::min<uint32_t>(length, sizeof reply);
                if (cbw[12] & 0x80) send(c, reply, n, MSG_NOSIGNAL);
                else recv(c, reply + 64, sizeof reply - 64, 0);
                length -= n;
            }
            uint8_t csw[13] = {'U', 'S', 'B', 'S'};
            std::memcpy(csw + 4, cbw + 4, 4);
            send(c, csw, sizeof csw, MSG_NOSIGNAL);
        }
        close(c);
    }
}

TEST(EmuPeers, ToolIgnoresAControllerServedByAnotherUser) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to serve a socket as another user";
    ScratchDir dir;
    chmod(dir.path.c_str(), 0777);
    const std::string path = dir.path + "/impostor.sock";
    const pid_t impostor = StartImpostor(path, kNobody);
    ASSERT_GT(impostor, 0);
    const RunResult r = RunTool({"0xAD"}, path, 60);
    kill(impostor, SIGKILL);
    WaitChild(impostor, 5000);
    EXPECT_NE(r.out.find("QP7730 not found!"), std::string::npos) << r.out;
    EXPECT_EQ(r.err.find("[FAIL]"), std::string::npos) << r.err;
    // Told why, once, on standard error.
    EXPECT_EQ(r.err, "qp7730: the emulator at " + path + " is served by user " + std::to_string(kNobody) +
                         ", not by this user: not used (start your own, or point QP7730_EMULATOR at it)\n");
}

// Connects to path as another user, sends INQUIRY and reports what came back: 0 the
// connection was closed without an answer, 1 an answer came, 2 no connection, 3 silence.
int ClientOfAnotherUser(const std::string& path, uid_t uid) {
    const pid_t pid = fork();
    if (pid != 0) return pid < 0 ? -1 : WaitChild(pid, 10000);
    const sockaddr_un addr = UnixAddress(path);
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    if (!BecomeUser(uid) || connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) _exit(2);
    const std::vector<uint8_t> cbw = EmuClient::MakeCbw(VendorCdb(0x12), 40, true);
    send(fd, cbw.data(), cbw.size(), MSG_NOSIGNAL);
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) _exit(3);
    uint8_t buf[64];
    _exit(recv(fd, buf, sizeof buf, 0) > 0 ? 1 : 0);
}

TEST(EmuPeers, EmulatorRefusesClientsOfAnotherUser) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to connect as another user";
    for (const std::vector<std::string>& options : {std::vector<std::string>{}, {"--interleave"}}) {
        SCOPED_TRACE(options.empty() ? "one connection after another" : "--interleave");
        Emulator emu(options);
        // Open the way for the other user: only the credential check is left to refuse it.
        chmod(emu.TempDir().c_str(), 0711);
        chmod(emu.SocketPath().c_str(), 0666);
        EXPECT_EQ(ClientOfAnotherUser(emu.SocketPath(), kNobody), 0);
        EXPECT_EQ(ClientOfAnotherUser(emu.SocketPath(), kNobody), 0);
        const std::string err = emu.Stderr();
        const size_t first = err.find("refused a client of uid 65534");
        EXPECT_NE(first, std::string::npos) << err;
        EXPECT_EQ(err.find("refused", first + 1), std::string::npos) << "said once: " << err;
        EmuClient own(emu.SocketPath());
        EXPECT_EQ(Identity(own), "Generic Storage RamDisc 1.00");
        EXPECT_EQ(emu.TraceLines().size(), 1u) << "only the own user's INQUIRY was served";
    }
}

// A listener that never accepts, with its queue full: a further connect would wait until
// someone accepts.
struct FullListener {
    std::string address;
    std::vector<int> fds;  // the listener, then the queued connections
    ~FullListener() {
        for (int fd : fds) close(fd);
    }
};

void FillUnix(const std::string& path, FullListener* full) {
    const sockaddr_un addr = UnixAddress(path);
    full->address = path;
    full->fds.push_back(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    ASSERT_EQ(bind(full->fds[0], reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(full->fds[0], 0), 0);
    for (int i = 0; i < 64; ++i) {
        const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
            close(fd);
            return;
        }
        full->fds.push_back(fd);
    }
    FAIL() << "the listen queue never filled";
}

void FillTcp(FullListener* full) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof addr;
    full->fds.push_back(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(bind(full->fds[0], reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(full->fds[0], 0), 0);
    ASSERT_EQ(getsockname(full->fds[0], reinterpret_cast<sockaddr*>(&addr), &size), 0);
    full->address = "tcp:127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
    // The kernel drops handshakes beyond the full queue; the connecting side keeps retrying.
    for (int i = 0; i < 4; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        full->fds.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

class EmuConnect : public ::testing::TestWithParam<e2e::Transport> {};

TEST_P(EmuConnect, ToolGivesUpOnAListenerThatNeverAccepts) {
    ScratchDir dir;
    FullListener full;
    if (GetParam() == e2e::Transport::Tcp) FillTcp(&full);
    else FillUnix(dir.path + "/full.sock", &full);
    if (HasFatalFailure()) return;
    const RunResult r = RunTool({"0xAC"}, full.address, 30);
    EXPECT_NE(r.exitStatus, -1) << "still waiting to connect after 30 s";
    EXPECT_NE(r.out.find("QP7730 not found!"), std::string::npos) << r.out;
}

std::string TransportName(const ::testing::TestParamInfo<e2e::Transport>& info) {
    return info.param == e2e::Transport::Tcp ? "Tcp" : "Unix";
}

INSTANTIATE_TEST_SUITE_P(Transports, EmuConnect, ::testing::Values(e2e::Transport::Unix, e2e::Transport::Tcp),
                         TransportName);

TEST(EmuSocket, PanelPngIgnoresASymlinkPlantedAtItsTemporaryName) {
    Emulator emu({"--width", "64", "--height", "32"});
    const std::string victim = emu.TempDir() + "/victim.txt";
    std::ofstream(victim) << "precious";
    const std::string planted = emu.PngPath() + ".tmp." + std::to_string(emu.Pid());
    ASSERT_EQ(symlink(victim.c_str(), planted.c_str()), 0);

    EmuClient client(emu.SocketPath());
    std::vector<uint8_t> rows(64 * 32);
    for (size_t i = 0; i < rows.size(); ++i) rows[i] = (i / 64) < 16 ? 0 : 255;
    client.WriteMemory(kImageBuffer, rows);
    ASSERT_EQ(client.Raw(VendorCdb(0x94), BeWords({kImageBuffer, 1, 0, 0, 64, 32, 1})), 0);
    EXPECT_EQ(e2e::WaitForGreyPng(emu.PngPath(), rows), rows);

    const std::vector<uint8_t> bytes = e2e::ReadFileBytes(victim);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "precious");
    struct stat st {};
    ASSERT_EQ(lstat(emu.PngPath().c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode)) << "the PNG is a file of its own";
}

TEST(EmuSocket, EmulatorsStartedTogetherOnAStaleSocketLeaveExactlyOneServing) {
    ScratchDir dir;
    const std::string path = dir.path + "/shared.sock";
    constexpr int kEmulators = 6;
    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const sockaddr_un addr = UnixAddress(path);
        const int stale = socket(AF_UNIX, SOCK_SEQPACKET, 0);
        ASSERT_EQ(bind(stale, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
        close(stale);

        std::unique_ptr<Emulator> started[kEmulators];
        std::string refused[kEmulators];
        std::vector<std::thread> threads;
        for (int i = 0; i < kEmulators; ++i) {
            threads.emplace_back([&, i] {
                try {
                    started[i] = std::make_unique<Emulator>(std::vector<std::string>{
                        "--socket", path, "--flash-file", "", "--width", "64", "--height", "32", "--memory-mib",
                        "2", "--image-buffer", "0"});
                } catch (const std::exception& e) {
                    refused[i] = e.what();
                }
            });
        }
        for (auto& t : threads) t.join();
        int serving = 0;
        for (int i = 0; i < kEmulators; ++i) {
            if (started[i]) ++serving;
            else EXPECT_NE(refused[i].find("another emulator already serves " + path), std::string::npos) << refused[i];
        }
        EXPECT_EQ(serving, 1);
        EmuClient client(path);
        EXPECT_EQ(Identity(client), "Generic Storage RamDisc 1.00");
    }
}

class EmuStop : public ::testing::TestWithParam<e2e::Transport> {};

TEST_P(EmuStop, SigtermEndsPromptlyWhileAClientDoesNotRead) {
    Emulator emu({}, GetParam());
    EmuClient client(emu.SocketPath());
    // Big replies that nobody reads: the emulator soon waits to send.
    const std::vector<uint8_t> cbw = EmuClient::MakeCbw(MemoryCdb(0x81, kImageBuffer, 0xFFFF), 0xFFFF, true);
    constexpr size_t kCommands = 256;  // 16 MiB of replies: more than any socket buffers
    for (size_t i = 0; i < kCommands; ++i) ASSERT_TRUE(client.SendMessage(cbw));
    // Serving has begun; it cannot end, as the replies do not fit in the socket's buffers.
    ASSERT_TRUE(emu.WaitForTraceLines(1, 5000));
    ASSERT_TRUE(emu.Running());
    ASSERT_LT(emu.TraceLines().size(), kCommands - 1) << "the emulator is waiting to send";
    const auto start = Clock::now();
    kill(emu.Pid(), SIGTERM);
    EXPECT_EQ(emu.WaitForExit(2500), 0);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2500));
}

INSTANTIATE_TEST_SUITE_P(Transports, EmuStop, ::testing::Values(e2e::Transport::Unix, e2e::Transport::Tcp),
                         TransportName);

// ---- the TCP form ----------------------------------------------------------------------

int ConnectTcp(const std::string& address) {
    const size_t colon = address.rfind(':');
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(std::stoi(address.substr(colon + 1))));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Exactly n bytes, or fewer when the stream ends or stays silent for 3 s.
std::vector<uint8_t> ReadBytes(int fd, size_t n) {
    std::vector<uint8_t> bytes(n);
    size_t done = 0;
    while (done < n) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 3000) != 1) break;
        const ssize_t got = recv(fd, bytes.data() + done, n - done, 0);
        if (got <= 0) break;
        done += static_cast<size_t>(got);
    }
    bytes.resize(done);
    return bytes;
}

std::vector<uint8_t> Framed(const std::vector<uint8_t>& message) {
    std::vector<uint8_t> frame(4 + message.size());
    frame[0] = static_cast<uint8_t>(message.size());
    frame[1] = static_cast<uint8_t>(message.size() >> 8);
    std::copy(message.begin(), message.end(), frame.begin() + 4);
    return frame;
}

TEST(EmuTcp, EveryMessageTravelsAsItsLengthAndItsBytes) {
    Emulator emu({}, e2e::Transport::Tcp);
    ASSERT_EQ(emu.SocketPath().rfind("tcp:127.0.0.1:", 0), 0u) << emu.SocketPath();
    const int fd = ConnectTcp(emu.SocketPath());
    ASSERT_GE(fd, 0);
    // INQUIRY: the data (40 bytes) and the status (13) come back as two framed messages.
    const std::vector<uint8_t> inquiry = Framed(EmuClient::MakeCbw(VendorCdb(0x12), 40, true));
    ASSERT_EQ(send(fd, inquiry.data(), inquiry.size(), 0), static_cast<ssize_t>(inquiry.size()));
    const std::vector<uint8_t> reply = ReadBytes(fd, 4 + 40 + 4 + 13);
    ASSERT_EQ(reply.size(), 61u);
    EXPECT_EQ(std::vector<uint8_t>(reply.begin(), reply.begin() + 4), (std::vector<uint8_t>{40, 0, 0, 0}));
    EXPECT_EQ(std::string(reply.begin() + 12, reply.begin() + 40), "Generic Storage RamDisc 1.00");
    EXPECT_EQ(std::vector<uint8_t>(reply.begin() + 44, reply.begin() + 48), (std::vector<uint8_t>{13, 0, 0, 0}));
    EXPECT_EQ(std::string(reply.begin() + 48, reply.begin() + 52), "USBS");
    EXPECT_EQ(reply[60], 0);
    // A data-out phase split across messages, each sent in pieces of a few bytes.
    const std::vector<uint8_t> cbw = Framed(EmuClient::MakeCbw(MemoryCdb(0xA5, kImageBuffer, 6), 6, false));
    std::vector<uint8_t> stream = cbw;
    for (const auto& piece : {std::vector<uint8_t>{1, 2, 3, 4}, std::vector<uint8_t>{5, 6}}) {
        const std::vector<uint8_t> framed = Framed(piece);
        stream.insert(stream.end(), framed.begin(), framed.end());
    }
    for (size_t at = 0; at < stream.size(); at += 3) {
        const size_t n = std::min<size_t>(3, stream.size() - at);
        ASSERT_EQ(send(fd, stream.data() + at, n, 0), static_cast<ssize_t>(n));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const std::vector<uint8_t> status = ReadBytes(fd, 4 + 13);
    ASSERT_EQ(status.size(), 17u);
    EXPECT_EQ(status[16], 0);
    close(fd);
    EmuClient client(emu.SocketPath());
    EXPECT_EQ(client.ReadMemory(kImageBuffer, 6), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
}

TEST(EmuTcp, LengthAboveOneTransferDropsTheClientAndServingGoesOn) {
    Emulator emu({}, e2e::Transport::Tcp);
    for (const std::vector<uint8_t>& header : {std::vector<uint8_t>{0x01, 0x00, 0x01, 0x00},  // 65,537
                                               std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}}) {
        EmuClient hostile(emu.SocketPath());
        hostile.SetTimeoutMs(3000);
        ASSERT_TRUE(hostile.SendBytes(header));
        EXPECT_TRUE(hostile.ClosedByPeer());
    }
    EXPECT_NE(emu.Stderr().find("dropped a client that announced a message of 4294967295 bytes"), std::string::npos)
        << emu.Stderr();
    EmuClient client(emu.SocketPath());
    EXPECT_EQ(Identity(client), "Generic Storage RamDisc 1.00");
}

TEST(EmuTcp, ListenServesOnlyLoopbackAddresses) {
    const struct {
        const char* address;
        const char* error;  // nullptr: served
    } cases[] = {
        {"0.0.0.0:0", "0.0.0.0:0 is not a loopback address: --listen serves only 127.0.0.0/8 and ::1"},
        {"10.1.2.3:5000", "is not a loopback address"},
        {"[::]:0", "is not a loopback address"},
        {"[::ffff:10.0.0.1]:0", "is not a loopback address"},
        {"127.0.0.1", "--listen wants HOST:PORT or [IPV6]:PORT"},
        {"127.0.0.1:65536", "--listen wants HOST:PORT"},
        {"127.0.0.2:0", nullptr},
    };
    for (const auto& c : cases) {
        try {
            Emulator emu({"--listen", c.address});
            EXPECT_EQ(c.error, nullptr) << c.address << " was served";
            EmuClient client(emu.SocketPath());
            EXPECT_EQ(Identity(client), "Generic Storage RamDisc 1.00");
        } catch (const std::runtime_error& e) {
            ASSERT_NE(c.error, nullptr) << c.address << ": " << e.what();
            EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
        }
    }
}

}  // namespace

// ---- --interleave ----------------------------------------------------------------------

// "CONN CMD" for every trace line, e.g. "2 inquiry"; CONN is empty without --interleave.
std::vector<std::string> ConnAndCommand(const Emulator& emu) {
    std::vector<std::string> lines;
    for (const std::string& line : emu.TraceLines()) {
        auto field = [&](const std::string& name, char end) {
            const size_t at = line.find("\"" + name + "\":");
            if (at == std::string::npos) return std::string();
            const size_t from = at + name.size() + 3 + (end == '"' ? 1 : 0);
            return line.substr(from, line.find(end, from) - from);
        };
        lines.push_back(field("conn", ',') + " " + field("cmd", '"'));
    }
    return lines;
}

class EmuInterleave : public ::testing::TestWithParam<e2e::Transport> {};

TEST_P(EmuInterleave, CommandsOfTwoOpenConnectionsAlternateOnOneController) {
    Emulator emu({"--interleave"}, GetParam());
    EmuClient a(emu.SocketPath()), b(emu.SocketPath());
    EXPECT_EQ(Identity(a), "Generic Storage RamDisc 1.00");
    EXPECT_EQ(Identity(b), "Generic Storage RamDisc 1.00");
    a.WriteMemory(kImageBuffer, kPattern);
    EXPECT_EQ(b.ReadMemory(kImageBuffer, 1000), kPattern) << "one controller behind both";
    const std::vector<uint8_t> other(1000, 0x11);
    b.WriteMemory(kImageBuffer, other);
    EXPECT_EQ(a.ReadMemory(kImageBuffer, 1000), other);
    EXPECT_EQ(ConnAndCommand(emu),
              (std::vector<std::string>{"1 inquiry", "2 inquiry", "1 0xA5", "2 0x81", "2 0xA5", "1 0x81"}));
}

TEST_P(EmuInterleave, ASecondConnectionIsServedWhileTheFirstStaysOpen) {
    // --interleave asked for this before it was the default.
    for (const std::vector<std::string>& options : {std::vector<std::string>{}, {"--interleave"}}) {
        SCOPED_TRACE(options.empty() ? "default" : "--interleave");
        Emulator emu(options, GetParam());
        EmuClient a(emu.SocketPath());
        EXPECT_EQ(Identity(a), "Generic Storage RamDisc 1.00");
        EmuClient b(emu.SocketPath());
        b.SetTimeoutMs(3000);
        EXPECT_EQ(Identity(b), "Generic Storage RamDisc 1.00") << "not answered while the first connection is open";
        EXPECT_EQ(ConnAndCommand(emu), (std::vector<std::string>{"1 inquiry", "2 inquiry"}));
    }
}

TEST_P(EmuInterleave, AHostIdleInTheMiddleOfACommandHoldsUpNoOneAndItsCommandRunsWhole) {
    Emulator emu({}, GetParam());
    EmuClient a(emu.SocketPath()), b(emu.SocketPath());
    a.SetTimeoutMs(3000);
    b.SetTimeoutMs(3000);
    // a's write stops after 600 of its 1000 bytes; b's INQUIRY is answered meanwhile.
    ASSERT_TRUE(a.SendMessage(EmuClient::MakeCbw(MemoryCdb(0xA5, kImageBuffer, 1000), 1000, false)));
    ASSERT_TRUE(a.SendMessage(std::span(kPattern).first(600)));
    EXPECT_EQ(Identity(b), "Generic Storage RamDisc 1.00") << "held up by a command in its data phase";
    EXPECT_EQ(b.ReadMemory(kImageBuffer, 4), std::vector<uint8_t>(4, 0)) << "a's write is not carried out in part";
    ASSERT_TRUE(a.SendMessage(std::span(kPattern).subspan(600)));
    std::vector<uint8_t> message;
    ASSERT_TRUE(a.ReceiveMessage(&message));
    ASSERT_EQ(message.size(), 13u);
    EXPECT_EQ(message[12], 0);
    EXPECT_EQ(b.ReadMemory(kImageBuffer, 1000), kPattern);
    EXPECT_EQ(ConnAndCommand(emu), (std::vector<std::string>{"2 inquiry", "2 0x81", "1 0xA5", "2 0x81"}));
}

TEST_P(EmuInterleave, ABusyConnectionDoesNotStarveAnother) {
    Emulator emu({"--interleave", "--width", "64", "--height", "32", "--refresh-ms", "100"}, GetParam());
    EmuClient busy(emu.SocketPath()), other(emu.SocketPath());
    // Twenty waited refreshes, two seconds of work, queued at once and not read.
    constexpr int kRefreshes = 20;
    const std::vector<uint8_t> record = BeWords({kImageBuffer, 2, 0, 0, 8, 8, 1});
    for (int i = 0; i < kRefreshes; ++i) {
        ASSERT_TRUE(busy.SendMessage(EmuClient::MakeCbw(VendorCdb(0x94), 28, false)));
        ASSERT_TRUE(busy.SendMessage(record));
    }
    ASSERT_TRUE(emu.WaitForTraceLines(1, 5000)) << "the first refresh is done";
    other.SetTimeoutMs(3000);
    EXPECT_EQ(Identity(other), "Generic Storage RamDisc 1.00");
    const std::vector<std::string> served = ConnAndCommand(emu);
    const auto at = std::find(served.begin(), served.end(), "2 inquiry");
    ASSERT_NE(at, served.end());
    // Round robin: one refresh done and one under way when the INQUIRY came, at most one
    // more before it.
    EXPECT_LE(at - served.begin(), 3) << "refreshes served before the other connection's turn";
}

// Clients that connect and idle: saying nothing, or stopping in the middle of a data-out
// phase or of a TCP message. Runs of the tool are served meanwhile at once, and each idle
// client is dropped after the data bound (10 s), a command it left unfinished traced as lost.
TEST(EmuIdleClients, HoldUpNoOneAndAreDroppedAfterTheDataBound) {
    struct Served {
        std::unique_ptr<Emulator> emu;
        std::vector<std::unique_ptr<EmuClient>> idle;
    };
    std::vector<Served> all;
    for (e2e::Transport transport : {e2e::Transport::Unix, e2e::Transport::Tcp}) {
        Served s{std::make_unique<Emulator>(std::vector<std::string>{}, transport), {}};
        const std::vector<uint8_t> cbw = EmuClient::MakeCbw(MemoryCdb(0xA5, kImageBuffer, 1000), 1000, false);
        for (int i = 0; i < 10; ++i) {
            auto client = std::make_unique<EmuClient>(s.emu->SocketPath());
            if (i % 3 == 1) {
                EXPECT_TRUE(client->SendMessage(cbw));
                EXPECT_TRUE(client->SendMessage(std::span(kPattern).first(100)));
            } else if (i % 3 == 2) {
                // TCP: a message announced and cut short; on the socket, a wrapper and nothing more.
                EXPECT_TRUE(transport == e2e::Transport::Tcp ? client->SendBytes(std::vector<uint8_t>{31, 0, 0, 0, 'U'})
                                                            : client->SendMessage(cbw));
            }
            s.idle.push_back(std::move(client));
        }
        const auto start = Clock::now();
        const RunResult r = RunTool({"0xAC"}, s.emu->SocketPath(), 60);
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(3)) << "the run was held up";
        EXPECT_EQ(r.exitStatus, 0);
        EXPECT_EQ(r.err.find("[FAIL]"), std::string::npos) << r.err;
        EXPECT_NE(r.out.find("Done.\n"), std::string::npos) << r.out;
        all.push_back(std::move(s));
    }
    for (Served& s : all) {
        for (auto& client : s.idle) {
            client->SetTimeoutMs(20000);
            EXPECT_TRUE(client->ClosedByPeer());
        }
        int lost = 0;
        for (const std::string& line : s.emu->TraceLines())
            lost += line.find("\"note\":\"connection lost in the data phase\"") != std::string::npos;
        EXPECT_EQ(lost, &s == &all[0] ? 6 : 3) << "one line for each command left in its data phase";
    }
}

INSTANTIATE_TEST_SUITE_P(Transports, EmuInterleave, ::testing::Values(e2e::Transport::Unix, e2e::Transport::Tcp),
                         TransportName);

TEST(EmuInterleaveLimits, SixteenConnectionsAtOnceAndFurtherOnesAreRefused) {
    Emulator emu({"--interleave"});
    std::vector<std::unique_ptr<EmuClient>> clients;
    for (int i = 0; i < 16; ++i) {
        clients.push_back(std::make_unique<EmuClient>(emu.SocketPath()));
        EXPECT_EQ(Identity(*clients.back()), "Generic Storage RamDisc 1.00") << "connection " << i + 1;
    }
    for (int i = 0; i < 2; ++i) {
        EmuClient refused(emu.SocketPath());
        refused.SetTimeoutMs(3000);
        EXPECT_TRUE(refused.ClosedByPeer());
    }
    const std::string err = emu.Stderr();
    const size_t first = err.find("refused a connection: 16 are open already");
    EXPECT_NE(first, std::string::npos) << err;
    EXPECT_EQ(err.find("refused", first + 1), std::string::npos) << "said once: " << err;
    for (auto& client : clients) EXPECT_EQ(Identity(*client), "Generic Storage RamDisc 1.00");

    // A closed connection makes room for a new one.
    clients.pop_back();
    bool served = false;
    for (int attempt = 0; attempt < 50 && !served; ++attempt) {
        EmuClient next(emu.SocketPath());
        served = Identity(next) == "Generic Storage RamDisc 1.00";
        if (!served) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(served);
}

TEST(EmuInterleaveLimits, FaultsAndExitAfterCountCommandsAcrossOpenConnections) {
    Emulator emu({"--interleave", "--fault", "fail-status@2", "--exit-after", "3"});
    EmuClient a(emu.SocketPath()), b(emu.SocketPath());
    b.SetTimeoutMs(3000);
    EXPECT_EQ(Identity(a), "Generic Storage RamDisc 1.00");
    std::vector<uint8_t> reply;
    EXPECT_EQ(b.Raw(VendorCdb(0x12), 40, &reply), 1) << "command 2 is b's first";
    EXPECT_EQ(Identity(a), "Generic Storage RamDisc 1.00") << "command 3 is still answered";
    EXPECT_EQ(emu.WaitForExit(5000), 0);
    EXPECT_TRUE(b.ClosedByPeer());
    EXPECT_NE(emu.Stderr().find("stopped after command 3"), std::string::npos) << emu.Stderr();
    EXPECT_FALSE(std::filesystem::exists(emu.SocketPath()));
    EXPECT_EQ(ConnAndCommand(emu), (std::vector<std::string>{"1 inquiry", "2 inquiry", "1 inquiry"}));
}

TEST(EmuInterleaveLimits, SigtermEndsPromptlyWhileOneConnectionDoesNotReadAndAnotherIsIdle) {
    Emulator emu({"--interleave"});
    EmuClient idle(emu.SocketPath()), flooding(emu.SocketPath());
    EXPECT_EQ(Identity(idle), "Generic Storage RamDisc 1.00");
    const std::vector<uint8_t> cbw = EmuClient::MakeCbw(MemoryCdb(0x81, kImageBuffer, 0xFFFF), 0xFFFF, true);
    for (int i = 0; i < 256; ++i) ASSERT_TRUE(flooding.SendMessage(cbw));
    ASSERT_TRUE(emu.WaitForTraceLines(2, 5000)) << "the flooding connection is being served";
    ASSERT_TRUE(emu.Running());
    const auto start = Clock::now();
    kill(emu.Pid(), SIGTERM);
    EXPECT_EQ(emu.WaitForExit(2500), 0);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2500));
    EXPECT_FALSE(std::filesystem::exists(emu.SocketPath()));
}
