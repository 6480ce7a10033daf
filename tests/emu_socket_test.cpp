// qp7730-emu as a process: the socket contract, framing, fault injection and shutdown,
// seen from a bulk-only client.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "tests/e2e/harness.h"

namespace {

using e2e::EmuClient;
using e2e::Emulator;
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

TEST(EmuSocket, SigtermEndsCleanlyAndRemovesTheSocket) {
    Emulator emu;
    EXPECT_EQ(emu.Stop(), 0);
    EXPECT_FALSE(std::filesystem::exists(emu.SocketPath()));
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
    EXPECT_EQ(write.rfind("{\"seq\":1,\"cmd\":\"0xA5\",\"cdb\":\"fe00001200", 0), 0u) << write;
    EXPECT_NE(write.find("\"dir\":\"out\",\"len\":1000,\"data\":\"808182"), std::string::npos) << write;
    EXPECT_NE(write.find("...\",\"status\":0}"), std::string::npos) << write;
    EXPECT_EQ(write.find("\"data\":\"") + 8 + 128 + 3, write.find("\",\"status")) << "64 bytes shown";
    EXPECT_NE(trace[1].find("\"seq\":2,\"cmd\":\"0xAC\""), std::string::npos) << trace[1];
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

TEST(EmuSocket, DisplayWritesThePanelPng) {
    Emulator emu({"--width", "200", "--height", "100"});
    EmuClient client(emu.SocketPath());
    std::vector<uint8_t> rows(200 * 100);
    for (size_t i = 0; i < rows.size(); ++i) rows[i] = (i % 200) < 100 ? 0 : 255;
    client.WriteMemory(kImageBuffer, rows);
    const std::vector<uint8_t> record = BeWords({kImageBuffer, 1, 0, 0, 200, 100, 1});
    ASSERT_EQ(client.Raw(VendorCdb(0x94), record), 0);
    uint32_t w = 0, h = 0;
    EXPECT_EQ(e2e::ReadGreyPng(emu.PngPath(), &w, &h), rows);
    EXPECT_EQ(w, 200u);
    EXPECT_EQ(h, 100u);
}

}  // namespace
