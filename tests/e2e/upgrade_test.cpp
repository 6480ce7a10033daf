// Firmware and waveform upgrades against qp7730-emu, stop signals and a controller gone
// during them, and the fault matrix: every command of a firmware upgrade answered wrongly
// in every way the emulator can, and power lost after every command, then the same on the
// commands that invalidate the header after a failure. Whatever happens, the run ends,
// reports one of its two outcomes, and flash never holds a valid header over an image
// that is not the one written (or the old one, untouched) -- unless the run says that the
// header could not be invalidated; a failed run that does not say so leaves it erased or
// zero.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/harness.h"

namespace {

using e2e::Emulator;
using e2e::RunResult;
using e2e::RunTool;

const std::string kHeader = "QPXEPD7730_A0100";
const std::string kDone = "Done. Please reset QP7730.\n";
const std::string kFailed = "QP7730 FW upgrade failed.\n";
const std::string kStartup = "Panel width = 1872\nPanel height = 1404\nImage Buffer Address = 0x120000\n";
const std::string kNotInvalidated =
    "Flash header could not be invalidated: the controller may start a damaged firmware.\n";
const std::string kStopHeld = "qp7730: upgrade in progress; finishing it before stopping\n";
const std::string kGone = ": the controller is gone; no further commands are sent";

std::vector<uint8_t> Firmware(size_t n, const std::string& version) {
    std::vector<uint8_t> image(n);
    for (size_t i = 0; i < n; ++i) image[i] = static_cast<uint8_t>((i * 29 + 3) ^ (i >> 8));
    std::memcpy(image.data(), kHeader.data(), 16);
    std::fill(image.begin() + 0x120, image.begin() + 0x130, 0);
    std::memcpy(image.data() + 0x120, version.data(), version.size());
    return image;
}

std::string WriteFile(const std::string& dir, const std::string& name, const std::vector<uint8_t>& data) {
    const std::string path = dir + "/" + name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), data.size());
    return path;
}

bool Holds(const std::vector<uint8_t>& flash, size_t at, const std::vector<uint8_t>& data) {
    return flash.size() >= at + data.size() && std::equal(data.begin(), data.end(), flash.begin() + at);
}

TEST(Upgrade, FirmwareAndWaveformLandInFlash) {
    Emulator emu;
    const auto firmware = Firmware(300000, "FW 2.00 new");
    const std::string fw = WriteFile(emu.TempDir(), "fw.bin", firmware);
    RunResult r = RunTool({"-upgrade", "1", fw}, emu.SocketPath());
    EXPECT_EQ(r.out, kStartup + "\nUpgrading file to flash...\n" + kDone + "Done.\n");
    EXPECT_EQ(r.exitStatus, 0);
    r = RunTool({"-version"}, emu.SocketPath());
    EXPECT_EQ(r.out, kStartup + "\nGetting FW version...\nFW Version : FW 2.00 new \r\nDone.\n");

    std::vector<uint8_t> waveform(200000);
    for (size_t i = 0; i < waveform.size(); ++i) waveform[i] = static_cast<uint8_t>(i * 7 + (i >> 10));
    const std::string wf = WriteFile(emu.TempDir(), "panel.wbf", waveform);
    r = RunTool({"-upgrade", "2", wf}, emu.SocketPath());
    EXPECT_EQ(r.out, kStartup + "\nUpgrading file to flash...\n" + kDone + "Done.\n");

    emu.Stop();
    const auto flash = e2e::ReadFileBytes(emu.FlashFilePath());
    EXPECT_TRUE(Holds(flash, 0, firmware));
    EXPECT_TRUE(Holds(flash, 0x200000, waveform));
}

TEST(Upgrade, RefusalsSendNothing) {
    Emulator emu{{"--waveform-address", "0xFFFFFFFF"}};
    const std::string good = WriteFile(emu.TempDir(), "fw.bin", Firmware(1000, "x"));
    auto bad = Firmware(1000, "x");
    bad[3] = 'x';
    const std::string wrongHeader = WriteFile(emu.TempDir(), "bad.bin", bad);
    const std::string wf = WriteFile(emu.TempDir(), "lut.wbf", std::vector<uint8_t>(100, 1));
    const struct {
        std::vector<std::string> args;
        std::string printed;
    } cases[] = {
        {{"-upgrade", "1", good + ".BIN"}, "Incorrect FW file is not safe.\nPlease use a .bin file.\n"},
        {{"-upgrade", "2", good}, "Incorrect WF file is not safe.\nPlease use a .wbf file.\n"},
        {{"-upgrade", "2", wf}, "Current FW does not support WBF converting.\n"},
        {{"-upgrade", "1", wrongHeader}, "Wrong FW Header!\n"},
        {{"-upgrade", "1", emu.TempDir() + "/missing.bin"}, "Open file failed.\n"},
        {{"-upgrade", "0", good}, "Unknown upgrade type. Please use 1 for FW or 2 for WF.\n"},
    };
    const size_t commandsBefore = emu.TraceLines().size();
    size_t runs = 0;
    for (const auto& c : cases) {
        const RunResult r = RunTool(c.args, emu.SocketPath());
        EXPECT_EQ(r.out, kStartup + "\nUpgrading file to flash...\n" + c.printed);
        EXPECT_EQ(r.exitStatus, 255);
        ++runs;
    }
    // Each run sent only its start-up commands (INQUIRY and system information).
    EXPECT_EQ(emu.TraceLines().size(), commandsBefore + 2 * runs);
}

// SIGINT or SIGTERM once flash is being erased: the upgrade goes on to its end, says so
// once on standard error, prints its outcome and then ends by the signal, with the whole
// file in flash. The signal is sent while the emulator serves the first erase or a
// command just after it, long before the upgrade can end (the trace pipe holds it there).
TEST(UpgradeStop, ASignalAfterTheFirstEraseWaitsForTheOutcome) {
    if (e2e::ToolIsWindowsProgram()) GTEST_SKIP() << "POSIX signals";
    const auto firmware = Firmware(500000, "FW 4.00 held");
    for (int number : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(number);
        e2e::TracePipe trace;
        Emulator emu{{"--trace", trace.Path()}};
        const std::string file = WriteFile(emu.TempDir(), "fw.bin", firmware);
        e2e::ToolRun run({"-upgrade", "1", file}, emu.SocketPath());
        ASSERT_TRUE(trace.WaitFor("\"cmd\":\"0x96\""));
        kill(run.Pid(), number);
        trace.Drain();
        const RunResult r = run.Wait();
        EXPECT_EQ(r.signal, number);
        EXPECT_EQ(r.err, kStopHeld);
        EXPECT_EQ(r.out, kStartup + "\nUpgrading file to flash...\n" + kDone);
        emu.Stop();
        EXPECT_TRUE(Holds(e2e::ReadFileBytes(emu.FlashFilePath()), 0, firmware));
    }
}

// Before the first erase nothing is held: the run ends at once, by the signal, with
// nothing said and flash untouched. (The system information gets no answer, so the tool
// waits for it when the signal comes.)
TEST(UpgradeStop, ASignalBeforeTheFirstEraseEndsTheRunAtOnce) {
    if (e2e::ToolIsWindowsProgram()) GTEST_SKIP() << "POSIX signals";
    e2e::TracePipe trace;
    Emulator emu{{"--trace", trace.Path(), "--fault", "no-answer@2"}};
    const auto before = e2e::ReadFileBytes(emu.FlashFilePath());
    const std::string file = WriteFile(emu.TempDir(), "fw.bin", Firmware(300000, "FW 4.01"));
    e2e::RunOptions options;
    options.stripDiscovery = false;  // what the tool printed is lost with it
    e2e::ToolRun run({"-upgrade", "1", file}, emu.SocketPath(), options);
    ASSERT_TRUE(trace.WaitFor("\"cmd\":\"0x80\""));
    kill(run.Pid(), SIGINT);
    trace.Drain();
    const RunResult r = run.Wait();
    EXPECT_EQ(r.signal, SIGINT);
    EXPECT_EQ(r.err, "");
    emu.Stop();
    EXPECT_EQ(trace.Lines().size(), 2u);  // INQUIRY and the system information
    EXPECT_TRUE(e2e::ReadFileBytes(emu.FlashFilePath()) == before);
}

// The emulator killed in the middle of an upgrade: the tool says once that the controller
// is gone and sends nothing more; the upgrade fails, and the header it cannot read back
// is reported. (On the drive route the broken exchange has a line of its own first, and
// the stand-in's reconnection may still reach the dying emulator once more.)
TEST(UpgradeStop, AControllerGoneMidwayIsReportedOnce) {
    e2e::TracePipe trace;
    Emulator emu{{"--trace", trace.Path()}};
    const std::string file = WriteFile(emu.TempDir(), "fw.bin", Firmware(500000, "FW 4.02"));
    e2e::ToolRun run({"-upgrade", "1", file}, emu.SocketPath());
    ASSERT_TRUE(trace.WaitFor("\"cmd\":\"0x98\""));
    kill(emu.Pid(), SIGKILL);
    trace.Drain();
    const RunResult r = run.Wait();
    EXPECT_EQ(r.out, kStartup + "\nUpgrading file to flash...\n" + kNotInvalidated + kFailed + "Done.\n");
    EXPECT_EQ(r.exitStatus, 0);
    std::vector<std::string> failures;
    for (size_t at = r.err.find("[FAIL]"); at != std::string::npos; at = r.err.find("[FAIL]", at + 1))
        failures.push_back(r.err.substr(at, r.err.find('\n', at) - at));
    ASSERT_FALSE(failures.empty());
    EXPECT_TRUE(failures.back().ends_with(kGone)) << r.err;
    if (e2e::DefaultRoute() == e2e::Route::Drive) {
        EXPECT_LE(failures.size(), 3u) << r.err;
        for (size_t i = 0; i + 1 < failures.size(); ++i) EXPECT_NE(failures[i].find("transport error"), std::string::npos);
    } else {
        EXPECT_EQ(failures.size(), 1u) << r.err;
    }
    emu.Stop();
    const auto flash = e2e::ReadFileBytes(emu.FlashFilePath());
    EXPECT_FALSE(Holds(flash, 0, std::vector<uint8_t>(kHeader.begin(), kHeader.end())));
}

const std::string kNoSystemInfo = "System information not read from the controller. Upgrade refused.\n";

std::vector<uint8_t> Waveform(size_t n) {
    std::vector<uint8_t> data(n);
    for (size_t i = 0; i < n; ++i) data[i] = static_cast<uint8_t>(i * 7 + (i >> 10));
    return data;
}

// The upgrade is refused, and nothing but start-up is sent, when the system information
// did not arrive in full (the waveform address would read 0) or when the waveform's
// erase blocks would pass 0xFFFFFFFF and wrap to the firmware.
TEST(Upgrade, RefusedWhenTheTargetIsUnknownOrWraps) {
    const struct {
        std::vector<std::string> options;
        const char* type;
        std::string printed;
    } cases[] = {
        {{"--fault", "fail-status@2"}, "2", kNoSystemInfo},
        {{"--fault", "short-data@2"}, "2", kNoSystemInfo},
        {{"--fault", "short-data@2"}, "1", kNoSystemInfo},
        {{"--waveform-address", "0xFFFF8000"}, "2",
         "File of 65536 bytes does not fit in flash at 0xFFFF8000. Upgrade refused.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.options) + " type " + c.type);
        Emulator emu{c.options};
        const auto before = e2e::ReadFileBytes(emu.FlashFilePath());
        const std::string file = *c.type == '1' ? WriteFile(emu.TempDir(), "fw.bin", Firmware(65536, "FW 9"))
                                                : WriteFile(emu.TempDir(), "lut.wbf", Waveform(65536));
        const RunResult r = RunTool({"-upgrade", c.type, file}, emu.SocketPath());
        EXPECT_TRUE(r.out.ends_with("\nUpgrading file to flash...\n" + c.printed)) << r.out;
        EXPECT_EQ(r.exitStatus, 255);
        EXPECT_EQ(emu.TraceLines().size(), 2u);  // INQUIRY and system information only
        emu.Stop();
        EXPECT_TRUE(e2e::ReadFileBytes(emu.FlashFilePath()) == before);
    }
}

// One upgrade to run under faults: emulator options, type, image.
struct MatrixCase {
    std::string name;
    std::vector<std::string> options;
    bool firmware;
    const std::vector<uint8_t>* image;
};

// The commands ("inquiry", "0x80", "0x97", ...) of an upgrade under the options, in order:
// the fault options number commands the same way (from 1). *out: what the run printed.
std::vector<std::string> Commands(const std::vector<std::string>& options, bool firmware,
                                  const std::vector<uint8_t>& image, std::string* out = nullptr) {
    Emulator emu{options};
    const std::string file = WriteFile(emu.TempDir(), firmware ? "fw.bin" : "lut.wbf", image);
    const RunResult r = RunTool({"-upgrade", firmware ? "1" : "2", file}, emu.SocketPath());
    EXPECT_EQ(r.exitStatus, 0);
    if (out != nullptr) *out = r.out;
    std::vector<std::string> commands;
    for (const std::string& line : emu.TraceLines()) {
        const size_t at = line.find("\"cmd\":\"");
        commands.push_back(at == std::string::npos ? "?" : line.substr(at + 7, line.find('"', at + 7) - at - 7));
    }
    return commands;
}

// The commands of a fault-free upgrade.
std::vector<std::string> CleanRun(const std::vector<std::string>& options, bool firmware,
                                  const std::vector<uint8_t>& image) {
    std::string out;
    std::vector<std::string> commands = Commands(options, firmware, image, &out);
    EXPECT_NE(out.find(kDone), std::string::npos);
    return commands;
}

std::vector<std::string> Joined(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Faults on the commands that invalidate the header after a firmware upgrade failed: each
// kind and power loss on each of them, and all of them failing, after each way the upgrade
// can fail before them that leaves a header to invalidate -- the header page spoilt (a
// valid header over damaged bytes), its read-back lost (a valid header the run could not
// show good), the erase lost (the old header stays over a mix of images), and a chip that
// takes no programming with its erase lost too (a header that cannot be zeroed). Two
// failing together after the first of them: the retries are the same whatever came before.
[[maybe_unused]] void AddInvalidationFaults(const std::vector<std::string>& clean, const std::vector<uint8_t>* image,
                                            std::vector<MatrixCase>& cases) {
    // The header page is the last five commands of a clean run: memory write, flash
    // program, then its read-back (fill, flash read, memory read).
    const size_t n = clean.size(), page = n - 4;
    EXPECT_EQ(std::vector<std::string>(clean.begin() + static_cast<long>(page - 1), clean.end()),
              (std::vector<std::string>{"0xA5", "0x98", "0xA5", "0x97", "0x81"}));
    auto at = [](const char* kind, size_t k) { return std::vector<std::string>{"--fault", kind + ("@" + std::to_string(k))}; };
    const struct {
        std::vector<std::string> spoiler;
        size_t from;  // the first invalidation command
        bool pairs;
    } failures[] = {
        {at("short-data", page), n + 1, true},
        {at("fail-status", page + 3), n + 1, false},
        {at("fail-status", 3), page, false},
        {Joined({"--ignore-programming"}, at("fail-status", 3)), page, false},
    };
    // Reading the header back takes 4 commands, programming it 2: three attempts at most.
    constexpr size_t kMostCommands = 4 + 3 * (2 + 4);
    for (const auto& f : failures) {
        const size_t last = Commands(f.spoiler, true, *image).size();
        cases.push_back({"invalidation", f.spoiler, true, image});
        std::vector<std::string> allFail = f.spoiler;
        for (size_t k = f.from; k < f.from + kMostCommands; ++k) allFail = Joined(allFail, at("fail-status", k));
        cases.push_back({"invalidation, all failing", allFail, true, image});
        for (size_t k = f.from; k <= last; ++k) {
            for (const char* kind : {"fail-status", "bad-signature", "no-answer", "short-data", "flip-bit"})
                cases.push_back({"invalidation", Joined(f.spoiler, at(kind, k)), true, image});
            cases.push_back({"invalidation", Joined(f.spoiler, {"--exit-after", std::to_string(k)}), true, image});
        }
        // Two failing together: a command and each of the six after it, one attempt's worth
        // (a read-back of four commands and a program of two), so that every command is
        // also paired with its own counterpart in the next attempt.
        for (size_t j = f.from; f.pairs && j <= last; ++j)
            for (size_t k = j + 1; k <= last && k <= j + 6; ++k)
                cases.push_back({"invalidation, two failing",
                                 Joined(Joined(f.spoiler, at("fail-status", j)), at("fail-status", k)), true, image});
    }
}

// Fault options that fail, in one run, the i-th flash program (0x98) together with the
// i-th flash read (0x97) -- the program and the verify read of the same piece -- for
// every i; and one that fails every erase, program and flash read.
void AddMultipleFaults(const std::string& name, const std::vector<std::string>& clean, bool firmware,
                       const std::vector<uint8_t>* image, std::vector<MatrixCase>& cases) {
    std::vector<size_t> programs, reads;
    std::vector<std::string> everyFlashCommand;
    for (size_t i = 0; i < clean.size(); ++i) {
        const std::string at = "fail-status@" + std::to_string(i + 1);
        if (clean[i] == "0x98") programs.push_back(i + 1);
        if (clean[i] == "0x97") reads.push_back(i + 1);
        if (clean[i] == "0x96" || clean[i] == "0x97" || clean[i] == "0x98")
            everyFlashCommand.insert(everyFlashCommand.end(), {"--fault", at});
    }
    for (size_t i = 0; i < programs.size() && i < reads.size(); ++i) {
        cases.push_back({name + " piece " + std::to_string(i) + " program+read",
                         {"--fault", "fail-status@" + std::to_string(programs[i]), "--fault",
                          "fail-status@" + std::to_string(reads[i])},
                         firmware,
                         image});
    }
    cases.push_back({name + " every flash command", everyFlashCommand, firmware, image});
}

TEST(UpgradeFaultMatrix, NeverAValidHeaderOverAnUnverifiedImage) {
    const auto image = Firmware(40000, "FW 3.00 matrix");  // two 32 KiB pieces, one erase block
    const auto small = Firmware(20000, "FW 3.01 small");   // one piece: staging ends holding all of it
    const auto waveform = Waveform(20000);
    const auto wrapping = Waveform(40000);  // its second piece would land at 0 from 0xFFFF8000

    std::vector<uint8_t> original;
    {
        Emulator emu;
        original = e2e::ReadFileBytes(emu.FlashFilePath());
    }
    ASSERT_FALSE(Holds(original, 0, image));
    const std::vector<std::string> clean = CleanRun({}, true, image);
    ASSERT_GE(clean.size(), 15u);  // start-up 2, erase 1, write 4, verify 4 or more, header page 4 or more

    std::vector<MatrixCase> cases;
    // Every command of a firmware upgrade, one fault at a time.
    for (size_t n = 1; n <= clean.size(); ++n) {
        for (const char* kind : {"fail-status", "bad-signature", "no-answer", "short-data", "flip-bit"})
            cases.push_back({"", {"--fault", std::string(kind) + "@" + std::to_string(n)}, true, &image});
        cases.push_back({"", {"--exit-after", std::to_string(n)}, true, &image});
    }
    // A waveform after a start-up that went wrong: its address is not known.
    for (size_t n = 1; n <= 2; ++n) {
        for (const char* kind : {"fail-status", "bad-signature", "no-answer", "short-data", "flip-bit"})
            cases.push_back({"waveform", {"--fault", std::string(kind) + "@" + std::to_string(n)}, false, &waveform});
        cases.push_back({"waveform", {"--exit-after", std::to_string(n)}, false, &waveform});
    }
    // A waveform whose pieces would wrap past 0xFFFFFFFF onto the firmware.
    cases.push_back({"waveform", {"--waveform-address", "0xFFFF8000"}, false, &wrapping});
    // Two faults and more in one run.
    AddMultipleFaults("firmware", clean, true, &image, cases);
    AddMultipleFaults("small firmware", CleanRun({}, true, small), true, &small, cases);
    AddMultipleFaults("waveform", CleanRun({}, false, waveform), false, &waveform, cases);
#if !defined(__SANITIZE_ADDRESS__)
    // Under the sanitizers these would add minutes, and no code that the unit tests of the
    // invalidation (UpgradeTest.HeaderIsInvalidatedUntilItReadsSo) leave out.
    AddInvalidationFaults(clean, &image, cases);
#endif

    constexpr uint32_t kWaveformAddress = 0x200000;  // the emulator's default
    const std::vector<uint8_t> header(kHeader.begin(), kHeader.end());
    std::mutex mutex;
    std::vector<std::string> problems;
    std::atomic<size_t> next{0}, succeeded{0}, refused{0}, warned{0};
    auto worker = [&] {
        for (size_t i; (i = next++) < cases.size();) {
            const MatrixCase& c = cases[i];
            std::string name = c.name;
            for (const std::string& o : c.options) name += " " + o;
            std::string problem;
            try {
                Emulator emu{c.options};
                const std::string file = WriteFile(emu.TempDir(), c.firmware ? "fw.bin" : "lut.wbf", *c.image);
                e2e::RunOptions options;
                options.timeoutSec = 90;
                options.stripDiscovery = false;  // a fault on the INQUIRY changes what discovery prints
                const RunResult r = RunTool({"-upgrade", c.firmware ? "1" : "2", file}, emu.SocketPath(), options);
                emu.Stop();
                const auto flash = e2e::ReadFileBytes(emu.FlashFilePath());
                const bool done = r.out.find(kDone) != std::string::npos;
                const bool failed = r.out.find(kFailed) != std::string::npos;
                // Power lost right after the identification can take the emulator's run lock
                // with it: the run then ends before sending anything more.
                const bool refusal = r.out.ends_with(" Upgrade refused.\n") ||
                                     r.err.find("cannot take the run lock") != std::string::npos;
                const bool warning = r.out.find(kNotInvalidated) != std::string::npos;
                const bool validHeader = Holds(flash, 0, header);
                const bool headerInvalid = std::all_of(flash.begin(), flash.begin() + 16, [](uint8_t b) { return b == 0xFF; }) ||
                                           std::all_of(flash.begin(), flash.begin() + 16, [](uint8_t b) { return b == 0; });
                const bool newImage = Holds(flash, c.firmware ? 0 : kWaveformAddress, *c.image);
                const bool oldFirmware = std::equal(original.begin(), original.begin() + 0x20000, flash.begin());
                if (r.exitStatus == 255 && refusal) {
                    ++refused;
                    if (flash != original) problem = "refused, but flash changed";
                } else if (r.exitStatus != 0) {
                    problem = "exit status " + std::to_string(r.exitStatus);
                } else if (done == failed) {
                    problem = "not exactly one outcome";
                } else if (done && !newImage) {
                    problem = "reported done over a wrong image";
                } else if (warning && (done || r.out.find(kNotInvalidated + kFailed) == std::string::npos)) {
                    problem = "the header warning out of place";
                } else if (validHeader && !(c.firmware && newImage) && !oldFirmware && !warning) {
                    problem = "valid header over a wrong image";
                } else if (c.firmware && failed && !warning && !headerInvalid) {
                    problem = "failed without a warning, but the header is neither erased nor zero";
                } else if (!c.firmware && !oldFirmware) {
                    problem = "a waveform upgrade changed the firmware";
                }
                if (done) ++succeeded;
                if (warning) ++warned;
            } catch (const std::exception& e) {
                problem = e.what();
            }
            if (!problem.empty()) {
                std::lock_guard<std::mutex> lock(mutex);
                problems.push_back(name + ": " + problem);
            }
        }
    };
    // Most cases wait on the host's transfer bound, not on a core: run many at once.
    std::vector<std::thread> threads;
    for (int t = 0; t < 16; ++t) threads.emplace_back(worker);
    for (auto& t : threads) t.join();

    for (const auto& p : problems) ADD_FAILURE() << p;
    RecordProperty("cases", static_cast<int>(cases.size()));
    std::printf("fault matrix: %zu runs (%zu commands x 6 single faults, then waveform, multiple and "
                "invalidation faults), %zu reported done, %zu refused, %zu could not invalidate the header\n",
                cases.size(), clean.size(), succeeded.load(), refused.load(), warned.load());
}

}  // namespace
