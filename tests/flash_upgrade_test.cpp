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

#include "cli/numbers.h"
#include "commands/commands.h"
#include "flash/flash_upgrade.h"
#include "link/endian.h"
#include "tests/support/fake_controller.h"

// The unit tests are linked with --wrap=fopen (and fopen64): every fopen of the library
// passes through here, so a test can see and act on each open of the image file.
std::function<void(const char* path)> g_onOpen;
extern "C" FILE* __real_fopen(const char* path, const char* mode);
extern "C" FILE* __real_fopen64(const char* path, const char* mode);
extern "C" FILE* __wrap_fopen(const char* path, const char* mode) {
    if (g_onOpen) g_onOpen(path);
    return __real_fopen(path, mode);
}
extern "C" FILE* __wrap_fopen64(const char* path, const char* mode) {
    if (g_onOpen) g_onOpen(path);
    return __real_fopen64(path, mode);
}

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
            UpgradeFlash(AtoI(type), file.c_str());
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
    ASSERT_EQ(memoryWrites.size(), 10u);  // four pieces, four verify fills, the header page and its fill
    EXPECT_EQ(memoryWrites[0]->dataOut, [&] {
        std::vector<uint8_t> first(image.begin(), image.begin() + 32768);
        std::fill(first.begin(), first.begin() + 16, 0xFF);
        return first;
    }());
    EXPECT_EQ(memoryWrites[3]->length, 100000u - 3 * 32768);

    // The header page comes last: memory write, flash write, then its verify piece: the
    // staging area filled with the complement, flash read, memory read.
    const size_t n = fake.log.size();
    ASSERT_GE(n, 5u);
    const std::vector<uint8_t> page(image.begin(), image.begin() + 256);
    EXPECT_EQ(fake.log[n - 5].SubCommand(), 0xA5);
    EXPECT_EQ(fake.log[n - 5].dataOut, page);
    EXPECT_EQ(fake.log[n - 4].SubCommand(), 0x98);
    EXPECT_EQ(GetBe32(&fake.log[n - 4].dataOut[0]), 0u);
    EXPECT_EQ(GetBe32(&fake.log[n - 4].dataOut[8]), 256u);
    EXPECT_EQ(fake.log[n - 3].SubCommand(), 0xA5);
    std::vector<uint8_t> complement(page);
    for (uint8_t& b : complement) b = static_cast<uint8_t>(~b);
    EXPECT_EQ(fake.log[n - 3].dataOut, complement);
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
    EXPECT_EQ(fake.WithSubCommand(0xA5).size(), 20u);  // ten pieces and their verify fills; no header page
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
    EXPECT_EQ(fake.WithSubCommand(0xA5).size(), 4u);  // image, then the (1,000-byte) header page, each verified
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
    };
    int count = 0;
    const Case cases[] = {
        // Nothing erased: programming the held-back 0xFF header leaves the old one.
        {"erase lost", [](const RecordedCommand& c, size_t) { return c.SubCommand() != 0x96; }},
        // The header page rewrite damages a byte after the header: its memory write (the
        // first 256-byte one) is lost, so the last piece read back is programmed instead.
        {"header page damaged",
         [&count](const RecordedCommand& c, size_t) { return !(c.SubCommand() == 0xA5 && c.length == 256 && ++count == 1); }},
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

const char* kFailedText = "QP7730 FW upgrade failed.\n";
const std::string kNotInvalidated =
    "Flash header could not be invalidated: the controller may start a damaged firmware.\n";
const char* kNoSystemInfo = "System information not read from the controller. Upgrade refused.\n";

// Without the whole system information the waveform address may read 0 (the firmware):
// both types are refused before the file is opened, and nothing is sent.
TEST_F(UpgradeTest, IncompleteSystemInformationRefusesBeforeTheFile) {
    const auto old = Image(70000, true);
    const struct {
        const char* name;
        const char* type;
        const char* file;  // "": a missing file
        bool fails;
        uint32_t replyBytes;
    } cases[] = {
        {"command failed, waveform", "2", "lut.wbf", true, 120},
        {"command failed, firmware", "1", "fw.bin", true, 120},
        {"half a reply, waveform", "2", "lut.wbf", false, 56},
        {"one word short, firmware", "1", "fw.bin", false, 108},
        {"command failed, file missing", "2", "", true, 120},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake.Install(800, 600, 0x12000);
        std::copy(old.begin(), old.end(), fake.flash.begin());
        fake.systemInfoBytes = c.replyBytes;
        if (c.fails) fake.accept = [](const RecordedCommand&, size_t) { return false; };
        GetSystemInfo(g_DeviceState.SystemInfo);  // as start-up does
        fake.accept = nullptr;
        fake.log.clear();
        const std::string path = *c.file ? Write(c.file, Image(20000, true)) : (dir / "missing.wbf").string();
        const auto [out, status] = Run(c.type, path);
        EXPECT_EQ(out, kNoSystemInfo);
        EXPECT_EQ(status, -1);
        EXPECT_TRUE(fake.log.empty());
        EXPECT_EQ(Flash(0, old.size()), old);
    }
}

// Read-back through the staging area: a flash read that did not happen must not pass for
// equal because the staging area still holds what was just written. "ignore" commands
// report success and do nothing, as failures do on the drive route; "fail" ones report
// failure.
TEST_F(UpgradeTest, ReadBackNeverComparesWithTheBytesJustStaged) {
    const auto old = Image(70000, true);
    const auto firmware = [] {
        auto i = Image(20000, true);  // one piece: the staging area ends holding all of it
        for (size_t k = 16; k < i.size(); ++k) i[k] ^= 0x3C;
        return i;
    }();
    const auto waveform = Image(20000, false);
    using Pick = std::function<bool(const RecordedCommand&, size_t)>;
    auto nth = [](uint8_t sub, int n) {
        return [sub, n, seen = 0](const RecordedCommand& c, size_t) mutable { return c.SubCommand() == sub && ++seen == n; };
    };
    auto both = [](Pick a, Pick b) { return [a, b](const RecordedCommand& c, size_t i) { return a(c, i) | b(c, i); }; };
    auto flashCommand = [](const RecordedCommand& c, size_t) {
        return c.SubCommand() == 0x96 || c.SubCommand() == 0x97 || c.SubCommand() == 0x98;
    };
    // With every flash command gone, the old header stays and cannot be invalidated: the
    // run says so.
    const struct {
        const char* name;
        const char* type;
        Pick ignore, fail;
        bool flashUntouched;
    } cases[] = {
        {"program and read of the piece lost", "1", both(nth(0x98, 1), nth(0x97, 1)), nullptr, false},
        {"program and read of the header page lost", "1", both(nth(0x98, 2), nth(0x97, 2)), nullptr, false},
        {"waveform: program and read lost", "2", both(nth(0x98, 1), nth(0x97, 1)), nullptr, false},
        {"dead chip: no program takes effect", "1", [](const RecordedCommand& c, size_t) { return c.SubCommand() == 0x98; },
         nullptr, false},
        {"every flash command lost", "1", flashCommand, nullptr, true},
        {"every flash command fails", "1", nullptr, flashCommand, true},
        {"verify read fails, flash right", "1", nullptr, nth(0x97, 1), false},
        {"verify fill fails, flash right", "1", nullptr, nth(0xA5, 2), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::copy(old.begin(), old.end(), fake.flash.begin());
        fake.log.clear();
        fake.ignore = c.ignore;
        fake.accept = c.fail ? Pick([f = c.fail](const RecordedCommand& r, size_t i) mutable { return !f(r, i); })
                             : Pick();
        const bool isFirmware = *c.type == '1';
        const auto& image = isFirmware ? firmware : waveform;
        const auto [out, status] = Run(c.type, Write(isFirmware ? "fw.bin" : "lut.wbf", image));
        EXPECT_EQ(out, c.flashUntouched ? kNotInvalidated + kFailedText : kFailedText);
        EXPECT_EQ(status, 0);
        if (c.flashUntouched) {
            EXPECT_EQ(Flash(0, old.size()), old);
        }
        // A valid header at 0 only over the untouched old image.
        if (Flash(0, 16) == std::vector<uint8_t>(kHeader.begin(), kHeader.end())) {
            EXPECT_EQ(Flash(0, old.size()), old);
        }
    }
}

// After a failed upgrade the header is read back, and programmed to zero until it reads
// so, three times at most; otherwise the run says that it could not. Nothing that did not
// happen may pass for a header read back invalid: a lost command (success reported, no
// effect, as on the drive route), or a refused memory read that brings zeros.
TEST_F(UpgradeTest, HeaderIsInvalidatedUntilItReadsSo) {
    const auto old = Image(70000, true);
    auto image = Image(70000, true);
    for (size_t i = 16; i < image.size(); ++i) image[i] ^= 0x5A;
    const std::string path = Write("fw.bin", image);
    using Pick = std::function<bool(const RecordedCommand&, size_t)>;
    // The bytes a command moves: the byte count of a flash read or program, else its data.
    auto size = [](const RecordedCommand& c) {
        return c.SubCommand() == 0x97 || c.SubCommand() == 0x98 ? GetBe32(&c.dataOut[8]) : c.length;
    };
    // The n-th command (from 1) with the sub-command and size.
    auto nth = [size](uint8_t sub, uint32_t length, int n) {
        return Pick([size, sub, length, n, seen = 0](const RecordedCommand& c, size_t) mutable {
            return c.SubCommand() == sub && size(c) == length && ++seen == n;
        });
    };
    auto every = [size](uint8_t sub, uint32_t length) {
        return Pick([size, sub, length](const RecordedCommand& c, size_t) { return c.SubCommand() == sub && size(c) == length; });
    };
    auto both = [](Pick a, Pick b) { return Pick([a, b](const RecordedCommand& c, size_t i) mutable { return a(c, i) | b(c, i); }); };
    // The erase fails: the old header stays, valid, over the new image programmed onto the
    // old one.
    const Pick eraseLost = nth(0x96, 8, 1);
    const std::vector<uint8_t> zero(16, 0), oldHeader(old.begin(), old.begin() + 16);
    const struct {
        const char* name;
        Pick ignore, fail, zeroes;  // zeroes: the read reports success and brings zeros
        bool warned;
        size_t zeroPrograms;
        const std::vector<uint8_t>& header;
    } cases[] = {
        {"zero program fails once", nullptr, both(eraseLost, nth(0x98, 16, 1)), nullptr, false, 2, zero},
        {"zero program lost once", nth(0x98, 16, 1), eraseLost, nullptr, false, 2, zero},
        {"zero program and the next flash read lost", both(nth(0x98, 16, 1), nth(0x97, 16, 2)), eraseLost, nullptr, false,
         2, zero},
        {"zero program lost, then a read of zeros", nth(0x98, 16, 1), eraseLost, nth(0x81, 32, 4), false, 2, zero},
        {"zero program lost, then the probe and the flash read", both(nth(0x98, 16, 1), both(nth(0xA5, 32, 2), nth(0x97, 16, 2))),
         eraseLost, nullptr, false, 3, zero},
        {"staging of the zeros lost", nth(0xA5, 16, 1), eraseLost, nullptr, false, 2, zero},
        {"no zero program takes effect", every(0x98, 16), eraseLost, nullptr, true, 3, oldHeader},
        {"the header is never read", every(0x97, 16), eraseLost, nullptr, true, 3, zero},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::copy(old.begin(), old.end(), fake.flash.begin());
        fake.log.clear();
        fake.accept = [f = c.fail](const RecordedCommand& r, size_t i) mutable { return !f(r, i); };
        fake.ignore = [g = c.ignore, z = c.zeroes](const RecordedCommand& r, size_t i) mutable {
            const bool zeroes = z && z(r, i);
            if (zeroes) std::memset(const_cast<void*>(r.buffer), 0, r.length);
            return (g && g(r, i)) || zeroes;
        };
        const auto [out, status] = Run("1", path);
        EXPECT_EQ(out, (c.warned ? kNotInvalidated : "") + kFailedText);
        EXPECT_EQ(status, 0);
        size_t zeroPrograms = 0;
        for (const RecordedCommand* cmd : fake.WithSubCommand(0x98)) zeroPrograms += size(*cmd) == 16;
        EXPECT_EQ(zeroPrograms, c.zeroPrograms);
        EXPECT_EQ(Flash(0, 16), c.header);
    }
}

// A range is refused before anything is sent when its erase blocks would pass 2^32 and
// wrap to the firmware at 0.
TEST_F(UpgradeTest, WaveformRangePastTheAddressSpaceIsRefused) {
    const struct {
        uint32_t address, length;
        bool refused;
    } cases[] = {
        {0xFFFF8000, 0x10000, true},   // the data itself wraps
        {0xFFFE0000, 0x20000, false},  // ends exactly at 2^32
        {0xFFFE0000, 0x20001, true},   // the second erase block wraps
        {0xFFFFFFF0, 1, true},         // one byte, but a whole erase block
        {0xFFFFFFFE, 0, false},        // nothing to write
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address);
        SCOPED_TRACE(c.length);
        fake.log.clear();
        g_DeviceState.SystemInfo[kSysInfoWaveformAddress] = c.address;
        const auto [out, status] = Run("2", Write("lut.wbf", Image(c.length, false)));
        if (c.refused) {
            char expected[128];
            snprintf(expected, sizeof expected, "File of %u bytes does not fit in flash at 0x%X. Upgrade refused.\n",
                     c.length, c.address);
            EXPECT_EQ(out, expected);
            EXPECT_EQ(status, -1);
            EXPECT_TRUE(fake.log.empty());
        } else {
            EXPECT_EQ(status, 0);
            for (uint8_t sub : {0x96, 0x97, 0x98})
                for (const RecordedCommand* cmd : fake.WithSubCommand(sub)) EXPECT_GE(GetBe32(&cmd->dataOut[0]), c.address);
        }
    }
}

// The image file is opened once: a file replaced after its header was checked cannot
// put an unchecked header into flash.
TEST_F(UpgradeTest, FileIsReadOnceSoTheCheckedHeaderIsWritten) {
    const auto checked = Image(50000, true);
    auto other = Image(50000, true);
    other[5] = 'X';  // a header nobody checked
    for (size_t i = 16; i < other.size(); ++i) other[i] ^= 0xA5;
    const std::string path = Write("fw.bin", checked);
    const std::string replacement = Write("other.bin", other);
    int opens = 0;
    g_onOpen = [&](const char* opened) {
        if (path != opened) return;
        // From the second open on, the path names another file.
        if (++opens == 2) fs::rename(replacement, path);
    };
    const auto [out, status] = Run("1", path);
    g_onOpen = nullptr;
    EXPECT_EQ(opens, 1);
    EXPECT_EQ(out, kDone);
    EXPECT_EQ(Flash(0, checked.size()), checked);
}

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
