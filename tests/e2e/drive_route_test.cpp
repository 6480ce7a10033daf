// The drive route on its own terms: what the tool shows when the kernel refuses vendor
// blocks to a user without CAP_SYS_RAWIO, and when an exchange breaks. The controller is
// /dev/sdc through the SG_IO stand-in, talking to qp7730-emu.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace {

using e2e::Emulator;
using e2e::RunResult;
using e2e::RunTool;

const std::string kStartup = "Panel width = 1872\nPanel height = 1404\nImage Buffer Address = 0x120000\n";
// Start-up when the system-information command failed: the record is cleared.
const std::string kNoSystemInfo = "Panel width = 0\nPanel height = 0\nImage Buffer Address = 0x0\n";
const std::string kHint =
    "qp7730: /dev/sdc refused a controller command (permission denied). Run as root, or grant the capability: "
    "setcap cap_sys_rawio+ep qp7730\n";

e2e::RunOptions OnDrive(std::vector<std::string> env) {
    e2e::RunOptions options;
    options.route = e2e::Route::Drive;
    options.env = std::move(env);
    options.timeoutSec = 60;
    return options;
}

TEST(DriveRoute, WithoutRawIoAccessTheHintComesOnceAndNothingElseReachesTheController) {
    Emulator emu;
    // System information, then a flash read and a memory read: three refused blocks.
    const RunResult r = RunTool({"-version"}, emu.SocketPath(), OnDrive({"QP7730_SG_VENDOR_ERRNO=" + std::to_string(EPERM)}));
    EXPECT_EQ(r.out, kNoSystemInfo + "\nGetting FW version...\nFW Version :  \r\nDone.\n");
    EXPECT_EQ(r.err, kHint);
    EXPECT_EQ(r.exitStatus, 0);
    const auto trace = emu.TraceLines();
    ASSERT_EQ(trace.size(), 1u);
    EXPECT_NE(trace[0].find("\"cmd\":\"inquiry\""), std::string::npos);
}

TEST(DriveRoute, ABrokenExchangeGetsOneLineWhileACheckConditionCountsAsSuccess) {
    struct Case {
        std::vector<std::string> emulator;  // command 3 is the action's own
        std::vector<std::string> env;
        std::vector<std::string> args;
        std::string printed;  // after the start-up lines
        std::string err;
    };
    const std::string ad = "\nTesting 0xAD Engine info command...\n";
    const std::string ac = "\nTesting 0xAC LOW speed USB command...\nDone.\n";
    // Where 0xAD gets no reply, it prints the first words the system-information reply
    // left in the shared buffer ("7730" and the version).
    const std::string stale = "37373330\n10002\n";
    const Case cases[] = {
        {{}, {}, {"0xAD"}, kStartup + ad + "773001\n10002\nDone.\n", ""},
        {{"--fault", "fail-status@3"}, {}, {"0xAD"}, kStartup + ad + "0\n0\nDone.\n", ""},
        {{"--fault", "no-answer@3"},
         {"QP7730_SG_TIMEOUT_MS=300"},
         {"0xAD"},
         kStartup + ad + stale + "Done.\n",
         "[FAIL] /dev/sdc SG_IO (host status 0x03, timed out)\n"},
        {{"--fault", "bad-signature@3"},
         {},
         {"0xAD"},
         kStartup + ad + "773001\n10002\nDone.\n",
         "[FAIL] /dev/sdc SG_IO (host status 0x07, transport error)\n"},
        // The controller goes away after start-up.
        {{"--exit-after", "2"},
         {},
         {"0xAD"},
         kStartup + ad + stale + "Done.\n",
         "[FAIL] /dev/sdc SG_IO (host status 0x07, transport error)\n"},
        {{},
         {"QP7730_SG_VENDOR_ERRNO=" + std::to_string(EIO)},
         {"0xAC"},
         kNoSystemInfo + ac,
         "[FAIL] /dev/sdc SG_IO (Input/output error)\n[FAIL] /dev/sdc SG_IO (Input/output error)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.emulator) + " " + testing::PrintToString(c.env));
        Emulator emu(c.emulator);
        const RunResult r = RunTool(c.args, emu.SocketPath(), OnDrive(c.env));
        EXPECT_EQ(r.out, c.printed);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.exitStatus, 0);
    }
}

}  // namespace
