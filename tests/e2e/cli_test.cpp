// The real qp7730 against the real qp7730-emu: every dispatcher row with its exact
// standard output and exit status, and the controller's memory and panel afterwards.
#include <gtest/gtest.h>

#include <glob.h>

#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace {

using e2e::EmuClient;
using e2e::Emulator;
using e2e::RunResult;
using e2e::RunTool;

constexpr uint32_t kW = 800, kH = 600, kBase = 0x12000;
const std::string kStartup = "Panel width = 800\nPanel height = 600\nImage Buffer Address = 0x12000\n";

bool AnyScsiDisk() {
    glob_t g{};
    const bool any = glob("/dev/sd[a-z]", 0, nullptr, &g) == 0 && g.gl_pathc > 0;
    globfree(&g);
    return any;
}

const std::string kNotFound = "QP7730 not found!\nPanel width = 0\nPanel height = 0\nImage Buffer Address = 0x0\n";

std::string NoDeviceStartup() {
    std::string s;
    for (char c = 'A'; c <= 'Z'; ++c) s += std::string("\nSearching for device in ") + c + ":// ...\n-1: No device connected.\n";
    return s + kNotFound;
}

// Wine maps some letters (C: always, the system drive): they open, their INQUIRY fails,
// and the letter's search line stands alone. Every other letter cannot be opened. Returns
// the part of `out` after the start-up lines, or why they differ.
std::string AfterWineNoDeviceStartup(const std::string& out, bool* ok) {
    *ok = false;
    size_t at = 0;
    for (char c = 'A'; c <= 'Z'; ++c) {
        const std::string search = std::string("\nSearching for device in ") + c + ":// ...\n";
        if (out.compare(at, search.size(), search) != 0) return "no search line for " + std::string(1, c) + ":";
        at += search.size();
        const std::string failed = "-1: No device connected.\n";
        const bool opened = out.compare(at, failed.size(), failed) != 0;
        if (c == 'C' && !opened) return "C: did not open";
        if (!opened) at += failed.size();
    }
    if (out.compare(at, kNotFound.size(), kNotFound) != 0) return "no not-found lines at " + std::to_string(at);
    *ok = true;
    return out.substr(at + kNotFound.size());
}

e2e::RunOptions ToFull() {
    e2e::RunOptions options;
    options.stdoutFile = "/dev/full";
    return options;
}

const char* kAmount = "Incorrect argument ammount.\n";
const char* kUnsupported = "Command not supported.\n";
const char* kPmic01 = "Wrong argument. Please select 0 for Vcom setting or 1 for PMIC On/Off\n";
const char* kPmic2 = "Wrong argument. Please select 2 for Vcom setting and PMIC On/Off\n";

struct ErrorRow {
    std::vector<std::string> args;
    const char* text;
};

const std::vector<ErrorRow> kErrorRows = {
    {{}, kAmount},
    {{"-load", "1", "2", "3", "4"}, kAmount},
    {{"-HTFY", "1", "2", "3", "4", "5", "6", "7"}, kAmount},
    {{"-version", "x"}, kUnsupported},
    {{"-load", "a.bmp", "b"}, kUnsupported},
    {{"-LOAD", "a.bmp"}, kUnsupported},
    {{"-Version"}, kUnsupported},
    {{"-display", "-wait", "0", "0", "1", "1"}, kUnsupported},
    {{"-pmic", "00", "5"}, kPmic01},
    {{"-pmic", "2", "5"}, kPmic01},
    {{"-pmic", "0", "1", "2"}, kPmic2},
};

TEST(NoDevice, UnderWineSearchesEveryLetterThenRefusesEachErrorRow) {
    if (!e2e::ToolIsWindowsProgram()) GTEST_SKIP() << "the tool is not a Windows program";
    for (const ErrorRow& row : kErrorRows) {
        const RunResult r = RunTool(row.args, "");
        bool ok = false;
        EXPECT_EQ(AfterWineNoDeviceStartup(r.out, &ok), row.text) << r.out;
        EXPECT_TRUE(ok);
        EXPECT_EQ(r.exitStatus, 255);
        EXPECT_NE(r.err.find("usage: qp7730"), std::string::npos);
    }
    const RunResult r = RunTool({"0xAD"}, "");
    bool ok = false;
    EXPECT_EQ(AfterWineNoDeviceStartup(r.out, &ok), "\nTesting 0xAD Engine info command...\n0\n0\nDone.\n");
    EXPECT_TRUE(ok);
    EXPECT_EQ(r.exitStatus, 0);
}

TEST(NoDevice, SearchesEveryLetterThenRefusesEachErrorRow) {
    if (e2e::ToolIsWindowsProgram()) GTEST_SKIP() << "Wine presents its own drive letters";
    // On the drive route the SG_IO stand-in hides the machine's own disks.
    if (e2e::DefaultRoute() == e2e::Route::Emulator && AnyScsiDisk())
        GTEST_SKIP() << "this machine has SCSI disks; the search lines would differ";
    const std::string startup = NoDeviceStartup();
    for (const ErrorRow& row : kErrorRows) {
        const RunResult r = RunTool(row.args, "");
        EXPECT_EQ(r.out, startup + row.text) << testing::PrintToString(row.args);
        EXPECT_EQ(r.exitStatus, 255);
        EXPECT_NE(r.err.find("usage: qp7730"), std::string::npos);
    }
    // An action still runs with no device, every command failing at the transport.
    const RunResult r = RunTool({"0xAD"}, "");
    EXPECT_EQ(r.out, startup + "\nTesting 0xAD Engine info command...\n0\n0\nDone.\n");
    EXPECT_EQ(r.exitStatus, 0);
}

class EmulatedController : public ::testing::Test {
protected:
    RunResult Run(const std::vector<std::string>& args) { return RunTool(args, emu.SocketPath()); }
    std::vector<uint8_t> Frame() {
        EmuClient client(emu.SocketPath());
        return client.ReadMemory(kBase, kW * kH + kW);  // the frame and one row past it
    }
    Emulator emu{{"--width", "800", "--height", "600", "--image-buffer", "0x12000"}};
};

TEST_F(EmulatedController, StartUpIsSilentAndTestCommandsAnswer) {
    struct Case {
        std::vector<std::string> args;
        std::string printed;
    };
    const Case cases[] = {
        {{"0xAC"}, "\nTesting 0xAC LOW speed USB command...\nDone.\n"},
        {{"0xAD"}, "\nTesting 0xAD Engine info command...\n773001\n10002\nDone.\n"},
        {{"-version"}, "\nGetting FW version...\nFW Version : FW 1.02 emu \r\nDone.\n"},
        {{"0x97"},
         "\nTesting 0x97 Read flash command...\n\nGetting FW version from SFI 0x120...\nFW 1.02 emu" +
             std::string(5, '\0') + "\n\nGetting LUT version from SFI 0x130...\nQP7730-LUT-EMU01\nDone.\n"},
    };
    for (const Case& c : cases) {
        const RunResult r = Run(c.args);
        EXPECT_EQ(r.out, kStartup + c.printed);
        EXPECT_EQ(r.exitStatus, 0);
        EXPECT_EQ(r.err, "");
    }
    // The flash-read test leaves the LUT text at the start of the image buffer.
    EmuClient client(emu.SocketPath());
    const auto head = client.ReadMemory(kBase, 16);
    EXPECT_EQ(std::string(head.begin(), head.end()), "QP7730-LUT-EMU01");
}

TEST(Help, PrintsTheUsageWithoutOpeningTheController) {
    for (const char* word : {"--help", "-h"}) {
        const RunResult r = RunTool({word}, "");
        EXPECT_EQ(r.out.rfind("usage: qp7730 -version | 0xAD | 0xAC | 0x81 | 0x97\n", 0), 0u) << r.out;
        EXPECT_NE(r.out.find("qp7730 --help | -h"), std::string::npos);
        EXPECT_EQ(r.out.find("Searching"), std::string::npos);
        EXPECT_EQ(r.out.find("Panel width"), std::string::npos);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.exitStatus, 0);
    }
    // The usage is the run's output: losing it is a failed run.
    const RunResult r = RunTool({"--help"}, "", ToFull());
    EXPECT_EQ(r.exitStatus, 255);
    EXPECT_NE(r.err.find("writing standard output failed"), std::string::npos) << r.err;
}

TEST_F(EmulatedController, HelpWordsAreNoKeywordsAmongOtherWords) {
    for (const auto& args : std::vector<std::vector<std::string>>{{"--help", "x"}, {"-h", "-version"}, {"-H"}}) {
        const RunResult r = Run(args);
        EXPECT_EQ(r.out, kStartup + kUnsupported) << testing::PrintToString(args);
        EXPECT_EQ(r.exitStatus, 255);
    }
    EXPECT_FALSE(emu.TraceLines().empty());  // these runs started the device
}

// Nobody is at a console (standard input is /dev/null): a failed exchange is reported on
// standard error, on Windows too, and the run goes on.
TEST(Diagnostics, FailReportsGoToStandardErrorWhenNoOneWatches) {
    if (e2e::DefaultRoute() == e2e::Route::Drive) GTEST_SKIP() << "the drive route reports its own failures";
    Emulator emu{{"--width", "800", "--height", "600", "--image-buffer", "0x12000", "--fault", "bad-signature@3"}};
    const RunResult r = RunTool({"0xAD"}, emu.SocketPath());  // INQUIRY, 0x80, then 0xAD
    EXPECT_EQ(r.err, "[FAIL] CSW Signature (0x43425355)\n");
    EXPECT_EQ(r.out.rfind(kStartup + "\nTesting 0xAD Engine info command...\n", 0), 0u) << r.out;
    EXPECT_TRUE(r.out.ends_with("Done.\n")) << r.out;
    EXPECT_EQ(r.exitStatus, 0);
}

TEST_F(EmulatedController, ErrorRowsFollowTheStartUpLines) {
    for (const ErrorRow& row : kErrorRows) {
        const RunResult r = Run(row.args);
        EXPECT_EQ(r.out, kStartup + row.text);
        EXPECT_EQ(r.exitStatus, 255);
    }
}

TEST_F(EmulatedController, MemoryDumpPrintsAllItems) {
    {
        EmuClient client(emu.SocketPath());
        std::vector<uint8_t> pattern(65535);
        for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(i * 7);
        client.WriteMemory(kBase, pattern);
    }
    const RunResult r = Run({"0x81"});
    std::string dump;
    char item[8];
    for (size_t i = 0; i < 65535; ++i) {
        snprintf(item, sizeof item, "%X ", static_cast<unsigned>(static_cast<uint8_t>(i * 7)));
        dump += item;
    }
    EXPECT_EQ(r.out, kStartup + "\nTesting 0x81 Read memory command...\n" + dump + "\nDone.\n");
}

// Output that could not be written is a failed run: one line on standard error, status -1.
TEST_F(EmulatedController, LostStandardOutputFailsTheRun) {
    for (const char* action : {"0x81", "-version", "0xAC"}) {
        SCOPED_TRACE(action);
        const RunResult r = RunTool({action}, emu.SocketPath(), ToFull());
        EXPECT_EQ(r.exitStatus, 255);
        // Windows' C library keeps no reason for a write that failed before the last flush.
        if (e2e::ToolIsWindowsProgram()) {
            EXPECT_EQ(r.err, "qp7730: writing standard output failed\n");
        } else {
            EXPECT_EQ(r.err, "qp7730: writing standard output failed: No space left on device\n");
        }
    }
    // A user error keeps its status, and still reports the lost output.
    const RunResult r = RunTool({"-Version"}, emu.SocketPath(), ToFull());
    EXPECT_EQ(r.exitStatus, 255);
    EXPECT_NE(r.err.find("qp7730: writing standard output failed"), std::string::npos) << r.err;
}

TEST_F(EmulatedController, SolidFillWritesExactlyTheClippedRectangle) {
    struct Case {
        std::vector<std::string> args;
        std::string line;
        uint8_t pixel;
        uint32_t x, y, w, h;  // the rectangle expected in the frame
    };
    const Case cases[] = {
        {{"1FF", "0", "0", "8", "4"}, "Loaded pixel: 0xFF, X/Y/W/H: 0/0/8/4\n", 0xFF, 0, 0, 8, 4},
        {{"0x80", "100", "50", "300", "200"}, "Loaded pixel: 0x80, X/Y/W/H: 100/50/300/200\n", 0x80, 100, 50, 300, 200},
        {{"zz", "10", "10", "5", "5"}, "Loaded pixel: 0x0, X/Y/W/H: 10/10/5/5\n", 0x00, 10, 10, 5, 5},
        {{"7", "790", "595", "20", "10"}, "Loaded pixel: 0x7, X/Y/W/H: 790/595/20/10\n", 0x07, 790, 595, 10, 5},
        {{"9", "800", "0", "5", "5"}, "Loaded pixel: 0x9, X/Y/W/H: 800/0/5/5\n", 0x09, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        {
            EmuClient client(emu.SocketPath());
            client.WriteMemory(kBase, std::vector<uint8_t>(kW * kH + kW, 0xA5));
        }
        std::vector<std::string> args = {"-load"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const RunResult r = Run(args);
        EXPECT_EQ(r.out, kStartup + "\nSetting image buffer as a same pixel...\n" + c.line + "Done.\n");
        EXPECT_EQ(r.exitStatus, 0);
        const auto frame = Frame();
        size_t wrong = 0;
        for (uint32_t i = 0; i < frame.size(); ++i) {
            const uint32_t x = i % kW, y = i / kW;
            const bool inside = x >= c.x && x < c.x + c.w && y >= c.y && y < c.y + c.h;
            wrong += frame[i] != (inside ? c.pixel : 0xA5);
        }
        EXPECT_EQ(wrong, 0u);
    }
}

TEST_F(EmulatedController, SolidFillRefusesEmptyOrNegativeRectangles) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"-load", "10", "-1", "0", "5", "5"}, {"-load", "10", "0", "0", "0", "5"}, {"-load", "10", "0", "0", "5", "-3"}}) {
        const RunResult r = Run(args);
        EXPECT_EQ(r.exitStatus, 255);
        EXPECT_NE(r.out.find("Wrong argument! Too tiny size or negative number.\r\n"), std::string::npos);
        EXPECT_EQ(r.out.find("Done."), std::string::npos);
    }
    const auto frame = Frame();
    EXPECT_EQ(std::count(frame.begin(), frame.end(), 0), static_cast<long>(frame.size()));
}

TEST_F(EmulatedController, DisplayShowsTheBufferOnThePanel) {
    ASSERT_EQ(Run({"-load", "FF", "100", "100", "200", "50"}).exitStatus, 0);
    const RunResult r = Run({"-display", "-wait", "10", "0", "900", "600", "2"});
    EXPECT_EQ(r.out, kStartup +
                         "\nDisplaying...\nArguments: -wait, X/Y/W/H = 10/0/900/600, mode 2\n"
                         "Width limitation: 800\r\nOut of panel width! Set X to 0.\r\nDone.\n");
    EXPECT_EQ(r.exitStatus, 0);
    uint32_t w = 0, h = 0;
    // The panel starts white: the refresh has come when the zero buffer shows.
    const auto panel = e2e::WaitForGreyPng(
        emu.PngPath(), [](const std::vector<uint8_t>& shown) { return shown.size() == kW * kH && shown[99 * kW + 150] == 0; },
        &w, &h);
    ASSERT_EQ(w, kW);
    ASSERT_EQ(h, kH);
    EXPECT_EQ(panel[120 * kW + 150], 255);  // inside the filled rectangle
    EXPECT_EQ(panel[99 * kW + 150], 0);     // the zero buffer just above it
    EXPECT_EQ(panel[599 * kW + 799], 0);

    const RunResult bad = Run({"-display", "-Wait", "0", "0", "10", "10", "2"});
    EXPECT_EQ(bad.out, kStartup + "\nDisplaying...\nArguments: -Wait, X/Y/W/H = 0/0/10/10, mode 2\n"
                                  "Incorrect waiting selection.\r\n");
    EXPECT_EQ(bad.exitStatus, 255);
}

TEST_F(EmulatedController, DirectDisplayPassesValuesUnchecked) {
    const RunResult r = Run({"-HTFY", "-1", "0", "5000", "10", "3", "1"});
    EXPECT_EQ(r.out, kStartup + "Directly send 0x94 command...\nGot argument x/y/w/h/mode/enWait = -1/0/5000/10/3/1\nDone.\n");
    EXPECT_EQ(r.exitStatus, 0);
    const auto trace = emu.TraceLines();
    ASSERT_FALSE(trace.empty());
    // The record went out as typed: image buffer, mode 3, x = -1 as FFFFFFFF, w = 5000.
    EXPECT_NE(trace.back().find("00012000000000" "03ffffffff00000000000013880000000a00000001"), std::string::npos)
        << trace.back();
}

TEST_F(EmulatedController, PowerFormsSetVcomAndPowerSilently) {
    struct Case {
        std::vector<std::string> args;
        uint32_t vcom, power;
    };
    const Case cases[] = {
        {{"-pmic", "0", "70000"}, 4464, 0},
        {{"-pmic", "1", "257"}, 4464, 1},
        {{"-pmic", "2", "2000", "0"}, 2000, 0},
    };
    for (const Case& c : cases) {
        const RunResult r = Run(c.args);
        EXPECT_EQ(r.out, kStartup);
        EXPECT_EQ(r.exitStatus, 0);
        EmuClient client(emu.SocketPath());
        const auto info = client.SystemInfo();
        EXPECT_EQ(info[20], c.vcom);
        EXPECT_EQ(info[21], c.power);
    }
}

}  // namespace
