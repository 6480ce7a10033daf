// The flash upgrade against the in-process controller: command sequence, header
// hold-back, refusals.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "commands/commands.h"
#include "flash/flash_upgrade.h"
#include "link/endian.h"
#include "tests/support/fake_controller.h"

namespace {

namespace fs = std::filesystem;

const std::string kHeader = "QPXEPD7730_A0100";

std::vector<uint8_t> Image(size_t n, bool withHeader) {
    std::vector<uint8_t> data(n);
    for (size_t i = 0; i < n; ++i) data[i] = static_cast<uint8_t>((i * 131 + 7) ^ (i >> 9));
    if (withHeader) std::memcpy(data.data(), kHeader.data(), std::min(n, kHeader.size()));
    return data;
}

class UpgradeTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("qp7730-upgrade-" + std::to_string(getpid()));
        fs::create_directories(dir);
        fake.Install(800, 600, 0x12000);
    }
    void TearDown() override {
        ResetDeviceState();
        fs::remove_all(dir);
    }
    std::string Write(const std::string& name, const std::vector<uint8_t>& data) {
        const fs::path p = dir / name;
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), data.size());
        return p.string();
    }
    // Runs the upgrade; returns what it printed and the status it ended with (0: returned).
    std::pair<std::string, int> Run(const char* type, const std::string& file) {
        int status = 0;
        testing::internal::CaptureStdout();
        try {
            UpgradeFlashImage(type, file.c_str());
        } catch (const RunEnded& e) {
            status = e.Status;
        }
        return {testing::internal::GetCapturedStdout(), status};
    }
    std::vector<uint8_t> Flash(uint32_t at, size_t n) const {
        return {fake.flash.begin() + at, fake.flash.begin() + at + n};
    }
    fs::path dir;
    FakeController fake;
};

TEST_F(UpgradeTest, FirmwareHoldsBackTheHeaderUntilTheImageVerified) {
    const auto image = Image(100000, true);
    const auto [out, status] = Run("1", Write("fw.bin", image));
    EXPECT_EQ(out, "Done. Please reset QP7730.\n");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(Flash(0, image.size()), image);

    const auto erases = fake.WithSubCommand(0x96);
    ASSERT_EQ(erases.size(), 1u);
    EXPECT_EQ(GetBe32(&erases[0]->dataOut[0]), 0u);

    // The first memory write carries the image with its header as 0xFF.
    const auto memoryWrites = fake.WithSubCommand(0xA5);
    ASSERT_EQ(memoryWrites.size(), 5u);  // four pieces, then the header page
    EXPECT_EQ(memoryWrites[0]->dataOut, [&] {
        std::vector<uint8_t> first(image.begin(), image.begin() + 32768);
        std::fill(first.begin(), first.begin() + 16, 0xFF);
        return first;
    }());
    EXPECT_EQ(memoryWrites[3]->length, 100000u - 3 * 32768);

    // The header page comes last: memory write, flash write, then its read-back.
    const size_t n = fake.log.size();
    ASSERT_GE(n, 4u);
    EXPECT_EQ(fake.log[n - 4].SubCommand(), 0xA5);
    EXPECT_EQ(fake.log[n - 4].dataOut, std::vector<uint8_t>(image.begin(), image.begin() + 256));
    EXPECT_EQ(fake.log[n - 3].SubCommand(), 0x98);
    EXPECT_EQ(GetBe32(&fake.log[n - 3].dataOut[0]), 0u);
    EXPECT_EQ(GetBe32(&fake.log[n - 3].dataOut[8]), 256u);
    EXPECT_EQ(fake.log[n - 2].SubCommand(), 0x97);
    EXPECT_EQ(fake.log[n - 1].SubCommand(), 0x81);
    EXPECT_EQ(fake.log[n - 1].length, 256u);
}

TEST_F(UpgradeTest, WaveformAtItsAddressIsWrittenAsItIs) {
    const auto image = Image(300000, false);
    const auto [out, status] = Run("2", Write("lut.wbf", image));
    EXPECT_EQ(out, "Done. Please reset QP7730.\n");
    EXPECT_EQ(Flash(0x200000, image.size()), image);
    const auto erases = fake.WithSubCommand(0x96);
    ASSERT_EQ(erases.size(), 3u);
    for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(GetBe32(&erases[i]->dataOut[0]), 0x200000 + i * 131072);
    EXPECT_EQ(fake.WithSubCommand(0xA5)[0]->dataOut[0], image[0]);
    EXPECT_EQ(fake.WithSubCommand(0xA5).size(), 10u);  // no header page
    EXPECT_EQ(Flash(0, 16), std::vector<uint8_t>(16, 0xFF));
}

TEST_F(UpgradeTest, EmptyWaveformSendsNothingAndSucceeds) {
    const auto [out, status] = Run("2", Write("empty.wbf", {}));
    EXPECT_EQ(out, "Done. Please reset QP7730.\n");
    EXPECT_TRUE(fake.log.empty());
}

TEST_F(UpgradeTest, WaveformAtAddressZeroIsTreatedLikeFirmware) {
    g_DeviceState.SystemInfo[kSysInfoWaveformAddress] = 0;
    const auto image = Image(1000, false);
    const auto [out, status] = Run("2", Write("lut.wbf", image));
    EXPECT_EQ(out, "Done. Please reset QP7730.\n");
    EXPECT_EQ(fake.WithSubCommand(0xA5)[0]->dataOut[0], 0xFF);
    EXPECT_EQ(fake.WithSubCommand(0xA5).size(), 2u);  // image, then the (1,000-byte) header page
    EXPECT_EQ(Flash(0, 1000), image);
}

TEST_F(UpgradeTest, ShortFirmwareKeepsItsStepsInsideTheImage) {
    const auto image = Image(16, true);
    const auto [out, status] = Run("1", Write("tiny.bin", image));
    EXPECT_EQ(out, "Done. Please reset QP7730.\n");
    EXPECT_EQ(Flash(0, 16), image);
    EXPECT_EQ(fake.WithSubCommand(0xA5).back()->length, 16u);
}

TEST_F(UpgradeTest, FailedWriteLeavesTheHeaderErased) {
    const auto image = Image(70000, true);
    // The second flash programming command is lost.
    int programs = 0;
    fake.accept = [&](const RecordedCommand& c, size_t) { return !(c.SubCommand() == 0x98 && ++programs == 2); };
    const auto [out, status] = Run("1", Write("fw.bin", image));
    EXPECT_EQ(out, "QP7730 FW upgrade failed.\n");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(Flash(0, 16), std::vector<uint8_t>(16, 0xFF));
    EXPECT_EQ(fake.WithSubCommand(0x98).size(), 3u);  // no header page
}

TEST_F(UpgradeTest, NoValidHeaderOverAWrongImage) {
    // The old firmware's header is in flash; the new image differs after it.
    const auto old = Image(70000, true);
    std::copy(old.begin(), old.end(), fake.flash.begin());
    auto image = Image(70000, true);
    for (size_t i = 16; i < image.size(); ++i) image[i] ^= 0x5A;
    const std::string path = Write("fw.bin", image);

    struct Case {
        const char* name;
        std::function<bool(const RecordedCommand&, size_t)> accept;
        std::function<void(FakeController&)> corrupt;
    };
    int count = 0;
    const Case cases[] = {
        // Nothing erased: programming the held-back 0xFF header leaves the old one.
        {"erase lost", [](const RecordedCommand& c, size_t) { return c.SubCommand() != 0x96; }, nullptr},
        // The header page rewrite damages a byte after the header.
        {"header page damaged",
         [&count](const RecordedCommand& c, size_t) { return !(c.SubCommand() == 0xA5 && ++count == 4); },
         nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::copy(old.begin(), old.end(), fake.flash.begin());
        fake.log.clear();
        count = 0;
        fake.accept = c.accept;
        const auto [out, status] = Run("1", path);
        EXPECT_EQ(out, "QP7730 FW upgrade failed.\n");
        EXPECT_NE(Flash(0, 16), std::vector<uint8_t>(kHeader.begin(), kHeader.end()));
    }
}

TEST_F(UpgradeTest, NothingReadBackNeverPassesForEqual) {
    // A zero image read back through a transport that answers nothing: the read-back
    // buffer must not already hold the expected bytes.
    const auto image = std::vector<uint8_t>(5000, 0);
    fake.accept = [](const RecordedCommand& c, size_t) { return c.SubCommand() != 0x81 && c.SubCommand() != 0x97; };
    const auto [out, status] = Run("2", Write("zero.wbf", image));
    EXPECT_EQ(out, "QP7730 FW upgrade failed.\n");
}

struct RefusalCase {
    const char* name;
    const char* type;
    const char* file;  // relative to the temp dir; "" for none
    int content;       // 0: good firmware, 1: wrong header, 2: short header, 3: waveform bytes, -1: no file
    const char* printed;
    int status;
    uint32_t waveformAddress = 0x200000;  // what the controller reports
};

class UpgradeRefusalTest : public UpgradeTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(UpgradeRefusalTest, RefusedBeforeAnyFlashCommand) {
    const RefusalCase& c = GetParam();
    std::string path = (dir / c.file).string();
    if (c.content == 0) Write(c.file, Image(4096, true));
    if (c.content == 1) Write(c.file, [] { auto i = Image(4096, true); i[15] = '1'; return i; }());
    if (c.content == 2) Write(c.file, Image(10, true));
    if (c.content == 3) Write(c.file, Image(4096, false));
    g_DeviceState.SystemInfo[kSysInfoWaveformAddress] = c.waveformAddress;
    const auto [out, status] = Run(c.type, path);
    EXPECT_EQ(out, c.printed);
    EXPECT_EQ(status, c.status);
    if (c.status != 0) {
        EXPECT_TRUE(fake.log.empty());
    }
}

const char* kFwExt = "Incorrect FW file is not safe.\nPlease use a .bin file.\n";
const char* kWfExt = "Incorrect WF file is not safe.\nPlease use a .wbf file.\n";
const char* kDone = "Done. Please reset QP7730.\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, UpgradeRefusalTest,
    ::testing::Values(RefusalCase{"capital_bin", "1", "fw.BIN", 0, kFwExt, -1},
                      RefusalCase{"later_extension", "1", "fw.bin.bak", 0, kFwExt, -1},
                      RefusalCase{"dot_in_folder_only", "1", "v1.2/firmware", 0, kFwExt, -1},
                      RefusalCase{"no_dot_firmware_checked_by_header", "1", "firmware", 0, kDone, 0},
                      RefusalCase{"no_dot_wrong_header", "1", "firmware", 1, "Wrong FW Header!\n", -1},
                      RefusalCase{"waveform_as_bin", "2", "lut.bin", 3, kWfExt, -1},
                      RefusalCase{"no_dot_waveform_unchecked", "2", "waveform", 3, kDone, 0},
                      RefusalCase{"wrong_header", "1", "fw.bin", 1, "Wrong FW Header!\n", -1},
                      RefusalCase{"short_header", "1", "fw.bin", 2, "Wrong FW Header!\n", -1},
                      RefusalCase{"missing_file", "1", "missing.bin", -1, "Open file failed.\n", -1},
                      RefusalCase{"unknown_type", "3", "fw.bin", 0,
                                  "Unknown upgrade type. Please use 1 for FW or 2 for WF.\n", -1},
                      RefusalCase{"type_not_a_number", "fw", "fw.bin", 0,
                                  "Unknown upgrade type. Please use 1 for FW or 2 for WF.\n", -1},
                      RefusalCase{"no_waveform_support", "2", "lut.wbf", 3,
                                  "Current FW does not support WBF converting.\n", -1, 0xFFFFFFFF}),
    [](const auto& info) { return std::string(info.param.name); });

// The image is opened for reading only: a file its user may not write is accepted. Root
// may write any file, so the upgrade then runs in a child that has given up root for the
// unprivileged user 65534.
TEST_F(UpgradeTest, ReadOnlyImageIsAccepted) {
    const std::string path = Write("ro.bin", Image(2000, true));
    chmod(path.c_str(), 0444);
    chmod(dir.c_str(), 0755);
    if (geteuid() != 0) {
        const auto [out, status] = Run("1", path);
        EXPECT_EQ(out, kDone);
        return;
    }
    fflush(stdout);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
        if (access(path.c_str(), W_OK) == 0) _exit(3);  // the file would not be read-only for us
        const auto [out, status] = Run("1", path);
        _exit(out == kDone && status == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "cannot switch to the unprivileged user 65534";
    EXPECT_NE(WEXITSTATUS(status), 3) << "the read-only file is writable by user 65534";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the upgrade refused or failed on a read-only image";
}

}  // namespace
