// The end-to-end harness itself, with the real qp7730 against the real qp7730-emu.
#include <gtest/gtest.h>

#include "tests/e2e/harness.h"

namespace {

TEST(Harness, RunToolCapturesOutputAndStatusAgainstTheEmulator) {
    e2e::Emulator emu;
    const e2e::RunResult r = e2e::RunTool({"-version"}, emu.SocketPath());
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_NE(r.out.find("Panel width = 1872\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("FW Version : FW 1.02 emu"), std::string::npos) << r.out;
    const std::vector<std::string> trace = emu.TraceLines();
    ASSERT_GE(trace.size(), 2u);
    EXPECT_NE(trace[0].find("\"cmd\":\"inquiry\""), std::string::npos);
    EXPECT_NE(trace[1].find("\"cmd\":\"0x80\""), std::string::npos);
}

// Both transports, whatever QP7730_E2E_TRANSPORT says.
class HarnessTransport : public ::testing::TestWithParam<e2e::Transport> {};

TEST_P(HarnessTransport, ControllerMemoryIsReadableAfterARun) {
    if (GetParam() == e2e::Transport::Tcp && e2e::DefaultRoute() == e2e::Route::Drive)
        GTEST_SKIP() << "the drive route's stand-in reaches the emulator over its AF_UNIX socket only";
    e2e::Emulator emu({"--width", "300", "--height", "200"}, GetParam());
    EXPECT_EQ(emu.SocketPath().starts_with("tcp:127.0.0.1:"), GetParam() == e2e::Transport::Tcp) << emu.SocketPath();
    const e2e::RunResult r = e2e::RunTool({"-load", "80", "10", "20", "30", "5"}, emu.SocketPath());
    ASSERT_EQ(r.exitStatus, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Panel width = 300\n"), std::string::npos) << r.out;
    e2e::EmuClient client(emu.SocketPath());
    const uint32_t buffer = client.SystemInfo()[7];
    const std::vector<uint8_t> row = client.ReadMemory(buffer + 20 * 300, 300);
    EXPECT_EQ(row[9], 0);
    EXPECT_EQ(row[10], 0x80);
    EXPECT_EQ(row[39], 0x80);
    EXPECT_EQ(row[40], 0);
}

INSTANTIATE_TEST_SUITE_P(Transports, HarnessTransport, ::testing::Values(e2e::Transport::Unix, e2e::Transport::Tcp),
                         [](const auto& info) { return info.param == e2e::Transport::Tcp ? "Tcp" : "Unix"; });

TEST(Harness, EmptySocketPathMeansNoEmulator) {
    const e2e::RunResult r = e2e::RunTool({"0xAC"}, "", 60);
    EXPECT_NE(r.out.find("QP7730 not found!"), std::string::npos) << r.out;
}

}  // namespace
