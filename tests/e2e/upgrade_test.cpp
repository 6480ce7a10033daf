// Firmware and waveform upgrades against qp7730-emu, and the fault matrix: every command
// of a firmware upgrade answered wrongly in every way the emulator can, and power lost
// after every command. Whatever happens, the run ends, reports one of its two outcomes,
// and flash never holds a valid header over an image that is not the one written (or the
// old one, untouched).
#include <gtest/gtest.h>
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

struct MatrixCase {
    std::string fault;  // emulator option, e.g. "--fault" "no-answer@7", or "--exit-after" "7"
    std::string value;
};

TEST(UpgradeFaultMatrix, NeverAValidHeaderOverAnUnverifiedImage) {
    const auto image = Firmware(40000, "FW 3.00 matrix");  // two 32 KiB pieces, one erase block

    // A clean run gives the number of commands and the flash as it was before.
    size_t commands = 0;
    std::vector<uint8_t> original;
    {
        Emulator emu;
        original = e2e::ReadFileBytes(emu.FlashFilePath());
        const std::string fw = WriteFile(emu.TempDir(), "fw.bin", image);
        const RunResult r = RunTool({"-upgrade", "1", fw}, emu.SocketPath());
        ASSERT_EQ(r.exitStatus, 0);
        ASSERT_NE(r.out.find(kDone), std::string::npos);
        commands = emu.TraceLines().size();
    }
    ASSERT_GE(commands, 15u);  // start-up 2, erase 1, write 4, read 4, header page 4
    ASSERT_FALSE(Holds(original, 0, image));

    std::vector<MatrixCase> cases;
    for (size_t n = 1; n <= commands; ++n) {
        for (const char* kind : {"fail-status", "bad-signature", "no-answer", "short-data", "flip-bit"})
            cases.push_back({"--fault", std::string(kind) + "@" + std::to_string(n)});
        cases.push_back({"--exit-after", std::to_string(n)});
    }

    std::mutex mutex;
    std::vector<std::string> problems;
    std::atomic<size_t> next{0}, succeeded{0};
    auto worker = [&] {
        for (size_t i; (i = next++) < cases.size();) {
            const MatrixCase& c = cases[i];
            const std::string name = c.fault + " " + c.value;
            std::string problem;
            try {
                Emulator emu{{c.fault, c.value}};
                const std::string fw = WriteFile(emu.TempDir(), "fw.bin", image);
                e2e::RunOptions options;
                options.timeoutSec = 90;
                options.stripDiscovery = false;  // a fault on the INQUIRY changes what discovery prints
                const RunResult r = RunTool({"-upgrade", "1", fw}, emu.SocketPath(), options);
                emu.Stop();
                const auto flash = e2e::ReadFileBytes(emu.FlashFilePath());
                const bool done = r.out.find(kDone) != std::string::npos;
                const bool failed = r.out.find(kFailed) != std::string::npos;
                const bool validHeader = Holds(flash, 0, std::vector<uint8_t>(kHeader.begin(), kHeader.end()));
                const bool newImage = Holds(flash, 0, image);
                const bool oldImage = std::equal(original.begin(), original.begin() + 0x20000, flash.begin());
                if (r.exitStatus != 0) problem = "exit status " + std::to_string(r.exitStatus);
                else if (done == failed) problem = "not exactly one outcome";
                else if (done && !newImage) problem = "reported done over a wrong image";
                else if (validHeader && !newImage && !oldImage) problem = "valid header over a wrong image";
                if (done) ++succeeded;
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
    std::printf("fault matrix: %zu commands x 6 fault kinds = %zu runs, %zu reported done\n", commands, cases.size(),
                succeeded.load());
}

}  // namespace
