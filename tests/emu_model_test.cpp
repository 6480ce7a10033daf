// The controller model driven in-process, command by command.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <vector>

#include "emu/model.h"
#include "link/endian.h"
#include "tests/e2e/harness.h"

namespace emu {
namespace {

constexpr uint32_t kW = 64;
constexpr uint32_t kH = 32;
constexpr uint32_t kBuf = 0x1000;

ModelConfig SmallConfig() {
    ModelConfig c;
    c.panelWidth = kW;
    c.panelHeight = kH;
    c.imageBufferAddress = kBuf;
    c.memoryMiB = 1;
    return c;
}

CommandBlock Block(uint8_t sub, bool dataIn, uint32_t length) {
    CommandBlock c;
    c.cdb[0] = 0xFE;
    c.cdb[6] = sub;
    c.dataIn = dataIn;
    c.transferLength = length;
    return c;
}

CommandBlock MemoryBlock(uint8_t sub, uint32_t address, uint32_t length) {
    CommandBlock c = Block(sub, sub == 0x81, length);
    PutBe32(c.cdb + 2, address);
    PutBe16(c.cdb + 7, static_cast<uint16_t>(length));
    return c;
}

std::vector<uint8_t> Words(std::initializer_list<uint32_t> words) {
    std::vector<uint8_t> v(words.size() * 4);
    size_t i = 0;
    for (uint32_t w : words) PutBe32(v.data() + 4 * i++, w);
    return v;
}

std::vector<uint8_t> Words16(std::initializer_list<uint16_t> words) {
    std::vector<uint8_t> v(words.size() * 2);
    size_t i = 0;
    for (uint16_t w : words) PutBe16(v.data() + 2 * i++, w);
    return v;
}

class ModelTest : public ::testing::Test {
protected:
    ModelTest() : model(SmallConfig()) {}

    uint8_t Out(const CommandBlock& c, const std::vector<uint8_t>& data, bool flip = false) {
        return model.Execute(c, data, reply, flip);
    }
    uint8_t Out(uint8_t sub, const std::vector<uint8_t>& data) {
        return Out(Block(sub, false, static_cast<uint32_t>(data.size())), data);
    }
    uint8_t In(const CommandBlock& c) { return model.Execute(c, {}, reply); }

    Model model;
    std::vector<uint8_t> reply;
};

TEST_F(ModelTest, InquiryAnswersTheIdentityAtBytes8To35) {
    CommandBlock c;
    c.cdb[0] = 0x12;
    c.dataIn = true;
    c.transferLength = 40;
    ASSERT_EQ(In(c), kStatusPass);
    ASSERT_EQ(reply.size(), 40u);
    EXPECT_EQ(std::string(reply.begin() + 8, reply.begin() + 36), "Generic Storage RamDisc 1.00");
    EXPECT_EQ(reply[36], 0);
}

TEST(ModelIdentity, ShortIdentityIsPaddedWithSpaces) {
    ModelConfig config = SmallConfig();
    config.identity = "Other Disk";
    Model m(config);
    CommandBlock c;
    c.cdb[0] = 0x12;
    c.dataIn = true;
    c.transferLength = 40;
    std::vector<uint8_t> reply;
    ASSERT_EQ(m.Execute(c, {}, reply), kStatusPass);
    EXPECT_EQ(std::string(reply.begin() + 8, reply.begin() + 36), "Other Disk                  ");
}

TEST_F(ModelTest, SystemInfoCarriesPanelBufferAndWaveformWords) {
    CommandBlock c = Block(0x80, true, 112);
    std::memcpy(c.cdb + 2, "7730", 4);
    c.cdb[8] = 1;
    c.cdb[10] = 2;
    ASSERT_EQ(In(c), kStatusPass);
    ASSERT_GE(reply.size(), 112u);
    EXPECT_EQ(GetBe32(&reply[16]), kW);
    EXPECT_EQ(GetBe32(&reply[20]), kH);
    EXPECT_EQ(GetBe32(&reply[28]), kBuf);
    EXPECT_EQ(GetBe32(&reply[76]), 0x00200000u);

    // A block without the signature or the two small arguments is refused.
    const std::vector<std::pair<int, uint8_t>> corruptions = {{2, '8'}, {5, '1'}, {8, 0}, {10, 1}};
    for (auto [offset, value] : corruptions) {
        CommandBlock bad = c;
        bad.cdb[offset] = value;
        EXPECT_EQ(In(bad), kStatusFail) << "byte " << offset;
        EXPECT_TRUE(reply.empty());
    }
}

TEST_F(ModelTest, MemoryWriteThenReadRoundTrips) {
    std::vector<uint8_t> data(300);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    ASSERT_EQ(Out(MemoryBlock(0xA5, 0x12345, 300), data), kStatusPass);
    ASSERT_EQ(In(MemoryBlock(0x81, 0x12345, 300)), kStatusPass);
    EXPECT_EQ(reply, data);
}

TEST_F(ModelTest, MemoryCommandsOutsideMemoryOrWithMismatchedLengthsFail) {
    const uint32_t size = 1u << 20;
    struct Case {
        const char* what;
        uint8_t sub;
        uint32_t address;
        uint32_t blockLength;
        uint32_t transferLength;
    };
    const Case cases[] = {
        {"read past the end", 0x81, size - 10, 11, 11},
        {"read at the end", 0x81, size, 1, 1},
        {"read at 0xFFFFFFFF", 0x81, 0xFFFFFFFF, 2, 2},
        {"read length differs from transfer", 0x81, 0, 10, 20},
        {"write past the end", 0xA5, size - 1, 2, 2},
        {"write length differs from transfer", 0xA5, 0, 10, 9},
    };
    for (const Case& k : cases) {
        CommandBlock c = MemoryBlock(k.sub, k.address, k.blockLength);
        c.transferLength = k.transferLength;
        std::vector<uint8_t> data(k.sub == 0xA5 ? k.transferLength : 0, 0x55);
        EXPECT_EQ(model.Execute(c, data, reply), kStatusFail) << k.what;
    }
    // The last byte of memory is reachable.
    EXPECT_EQ(Out(MemoryBlock(0xA5, size - 1, 1), {0x42}), kStatusPass);
    EXPECT_EQ(model.Memory()[size - 1], 0x42);
}

TEST_F(ModelTest, LoadImageAreaPlacesRowsAtPanelPitch) {
    const uint32_t x = 3, y = 2, w = 4, h = 3;
    std::vector<uint8_t> data = Words({kBuf, x, y, w, h});
    for (uint32_t i = 0; i < w * h; ++i) data.push_back(static_cast<uint8_t>(100 + i));
    ASSERT_EQ(Out(0xA2, data), kStatusPass);
    const uint8_t* mem = model.Memory();
    for (uint32_t r = 0; r < h; ++r) {
        for (uint32_t i = 0; i < w; ++i) {
            EXPECT_EQ(mem[kBuf + (y + r) * kW + x + i], 100 + r * w + i) << r << "," << i;
        }
        EXPECT_EQ(mem[kBuf + (y + r) * kW + x + w], 0) << "nothing written past the row";
    }
    EXPECT_EQ(mem[kBuf + (y + h) * kW + x], 0);
}

TEST_F(ModelTest, LoadImageAreaRefusesBadHeaders) {
    const uint32_t size = 1u << 20;
    struct Case {
        const char* what;
        std::vector<uint32_t> header;
        size_t pixels;
    };
    const Case cases[] = {
        {"pixel count differs from w*h", {kBuf, 0, 0, 4, 4}, 15},
        {"x + w past the panel width", {kBuf, kW - 3, 0, 4, 1}, 4},
        {"w alone wider than the panel", {kBuf, 0, 0, kW + 1, 1}, kW + 1},
        {"last row past memory", {size - kW, 0, 0, 4, 2}, 8},
        {"huge w*h that wraps 32 bits", {kBuf, 0, 0, 0x10000, 0x10000}, 0},
        {"y far beyond memory", {kBuf, 0, 0xFFFFFFFF, 1, 1}, 1},
    };
    for (const Case& k : cases) {
        std::vector<uint8_t> data(20);
        for (size_t i = 0; i < 5; ++i) PutBe32(data.data() + 4 * i, k.header[i]);
        data.resize(20 + k.pixels, 7);
        EXPECT_EQ(Out(0xA2, data), kStatusFail) << k.what;
    }
    EXPECT_EQ(Out(0xA2, std::vector<uint8_t>(19)), kStatusFail) << "header cut short";
}

TEST_F(ModelTest, DisplayCopiesTheRectangleAndModeZeroWhitens) {
    std::vector<uint8_t> rows(kW * kH);
    for (size_t i = 0; i < rows.size(); ++i) rows[i] = static_cast<uint8_t>(i);
    std::memcpy(model.Memory() + kBuf, rows.data(), rows.size());

    const uint32_t x = 5, y = 4, w = 10, h = 6;
    ASSERT_EQ(Out(0x94, Words({kBuf, 2, x, y, w, h, 0})), kStatusPass);
    const auto& panel = model.Panel();
    for (uint32_t r = 0; r < kH; ++r) {
        for (uint32_t i = 0; i < kW; ++i) {
            const bool inside = i >= x && i < x + w && r >= y && r < y + h;
            const uint8_t v = rows[r * kW + i];
            EXPECT_EQ(panel[r * kW + i], inside ? (v >> 4) * 17 : 255) << i << "," << r;
        }
    }
    // Mode 1 shows two levels.
    ASSERT_EQ(Out(0x94, Words({kBuf, 1, 0, 0, kW, 4, 0})), kStatusPass);
    EXPECT_EQ(panel[1 * kW + 63], 0);    // buffer value 127
    EXPECT_EQ(panel[2 * kW + 0], 255);   // buffer value 128
    EXPECT_EQ(panel[3 * kW + 10], 255);
    // Mode 0 clears only its rectangle.
    ASSERT_EQ(Out(0x94, Words({kBuf, 0, x, y, 2, 2, 1})), kStatusPass);
    EXPECT_EQ(panel[y * kW + x], 255);
    EXPECT_EQ(panel[(y + 1) * kW + x + 1], 255);
    EXPECT_EQ(panel[(y + 2) * kW + x], ((rows[(y + 2) * kW + x]) >> 4) * 17);
    EXPECT_EQ(model.RefreshCount(), 3u);
}

TEST_F(ModelTest, DisplayRefusesRectanglesOutsideThePanelOrMemory) {
    const uint32_t size = 1u << 20;
    const std::vector<std::vector<uint32_t>> records = {
        {kBuf, 2, kW - 5, 0, 6, 1, 0},           // right edge
        {kBuf, 2, 0, kH - 1, 1, 2, 0},           // bottom edge
        {kBuf, 2, 0xFFFFFFFF, 0, 2, 1, 0},       // x = -1
        {kBuf, 2, 0, 0, 0xFFFFFFFF, 1, 0},       // huge w
        {size - kW, 2, 0, 0, kW, 2, 0},          // source past memory
        {0xFFFFFFF0, 2, 0, 0, 1, 1, 0},          // source address past memory
    };
    for (const auto& r : records) {
        std::vector<uint8_t> data(28);
        for (size_t i = 0; i < 7; ++i) PutBe32(data.data() + 4 * i, r[i]);
        EXPECT_EQ(Out(0x94, data), kStatusFail) << r[2] << "," << r[3] << "," << r[4] << "," << r[5];
    }
    EXPECT_EQ(Out(0x94, std::vector<uint8_t>(27)), kStatusFail);
    EXPECT_EQ(model.RefreshCount(), 0u);
}

TEST_F(ModelTest, FlashHasNorSemantics) {
    const uint8_t* flash = model.Flash();
    const uint32_t at = 0x400000;
    // Erase sets 0xFF.
    ASSERT_EQ(Out(0x96, Words({at, 0x100})), kStatusPass);
    for (uint32_t i = 0; i < 0x100; ++i) ASSERT_EQ(flash[at + i], 0xFF);
    // Programming from memory ANDs: it can clear bits but never set them.
    model.Memory()[0x100] = 0xF0;
    ASSERT_EQ(Out(0x98, Words({at, 0x100, 1})), kStatusPass);
    EXPECT_EQ(flash[at], 0xF0);
    model.Memory()[0x100] = 0x0F;
    ASSERT_EQ(Out(0x98, Words({at, 0x100, 1})), kStatusPass);
    EXPECT_EQ(flash[at], 0x00);
    // 0x97 copies flash to memory.
    ASSERT_EQ(Out(0x97, Words({0, 0x2000, 16})), kStatusPass);
    EXPECT_EQ(std::memcmp(model.Memory() + 0x2000, "QPXEPD7730_A0100", 16), 0);
}

TEST_F(ModelTest, FlashCommandsOutsideFlashOrMemoryFail) {
    const uint32_t memSize = 1u << 20;
    struct Case {
        uint8_t sub;
        std::vector<uint32_t> words;
    };
    const Case cases[] = {
        {0x96, {kFlashSize - 0x10, 0x20}},      {0x96, {0xFFFFFFFF, 2}},
        {0x96, {0, 0xFFFFFFFF}},                {0x97, {kFlashSize - 1, 0, 2}},
        {0x97, {0, memSize - 1, 2}},            {0x98, {kFlashSize, 0, 1}},
        {0x98, {0, 0xFFFFFFFF, 0xFFFFFFFF}},
    };
    const std::vector<uint8_t> before(model.Flash(), model.Flash() + 0x20);
    for (const Case& k : cases) {
        std::vector<uint8_t> data(k.words.size() * 4);
        for (size_t i = 0; i < k.words.size(); ++i) PutBe32(data.data() + 4 * i, k.words[i]);
        EXPECT_EQ(Out(k.sub, data), kStatusFail) << std::hex << int(k.sub) << " " << k.words[0];
    }
    EXPECT_EQ(Out(0x96, Words({0, 0x20, 0})), kStatusFail) << "record of the wrong length";
    EXPECT_EQ(std::vector<uint8_t>(model.Flash(), model.Flash() + 0x20), before);
}

TEST_F(ModelTest, InitialFlashHoldsFirmwareHeaderAndVersionTexts) {
    const uint8_t* flash = model.Flash();
    EXPECT_EQ(std::memcmp(flash, "QPXEPD7730_A0100", 16), 0);
    EXPECT_STREQ(reinterpret_cast<const char*>(flash + 0x120), "FW 1.02 emu");
    EXPECT_EQ(std::string(flash + 0x130, flash + 0x140), "QP7730-LUT-EMU01");
    EXPECT_EQ(flash[kFirmwareImageSize], 0xFF);
    EXPECT_EQ(flash[0x200000], 0xFF);
}

TEST_F(ModelTest, FlipBitChangesExactlyOneProgrammedBit) {
    std::memset(model.Memory() + 0x100, 0x00, 64);
    ASSERT_EQ(Out(0x96, Words({0x300000, 64})), kStatusPass);
    std::vector<uint8_t> data = Words({0x300000, 0x100, 64});
    ASSERT_EQ(model.Execute(Block(0x98, false, 12), data, reply, true), kStatusPass);
    int differing = 0;
    for (int i = 0; i < 64; ++i) differing += __builtin_popcount(model.Flash()[0x300000 + i]);
    EXPECT_EQ(differing, 1);
}

TEST_F(ModelTest, PowerKeepsVcomAndStateAndAnswersBigEndian) {
    auto pmic = [&](uint16_t vcom, uint8_t setVcom, uint8_t switchPower, uint8_t state) {
        CommandBlock c = Block(0xA3, true, 8);
        PutBe16(c.cdb + 7, vcom);
        c.cdb[9] = setVcom;
        c.cdb[10] = switchPower;
        c.cdb[11] = state;
        return In(c);
    };
    ASSERT_EQ(pmic(1500, 2, 0, 0), kStatusPass);
    EXPECT_EQ(reply, (std::vector<uint8_t>{0x05, 0xDC, 0, 0, 0, 0, 0, 0}));
    ASSERT_EQ(pmic(0, 0, 1, 1), kStatusPass);  // only the power switches
    EXPECT_EQ(reply, (std::vector<uint8_t>{0x05, 0xDC, 1, 0, 0, 0, 0, 0}));
    ASSERT_EQ(pmic(2000, 2, 1, 0), kStatusPass);
    EXPECT_EQ(reply, (std::vector<uint8_t>{0x07, 0xD0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(model.Vcom(), 2000);
}

TEST_F(ModelTest, EngineInfoAndLowSpeedUsb) {
    ASSERT_EQ(In(Block(0xAD, true, 8)), kStatusPass);
    EXPECT_EQ(GetBe32(reply.data()), kEngineInfoWord0);
    EXPECT_EQ(GetBe32(reply.data() + 4), kEngineInfoWord1);
    EXPECT_EQ(In(Block(0xAC, false, 0)), kStatusPass);
}

TEST_F(ModelTest, UnknownCommandsFail) {
    EXPECT_EQ(In(Block(0x42, false, 0)), kStatusFail);
    EXPECT_EQ(In(Block(0xFF, true, 8)), kStatusFail);
    CommandBlock c = Block(0x81, true, 0);
    c.cdb[0] = 0x28;  // a standard READ(10)
    EXPECT_EQ(In(c), kStatusFail);
}

TEST_F(ModelTest, ImageLibraryHeaderAndList) {
    ASSERT_EQ(In(Block(0xA8, true, 148)), kStatusPass);
    ASSERT_EQ(reply.size(), 148u);
    EXPECT_EQ(std::string(reply.begin(), reply.begin() + 16), "QP7730 IMAGE LIB");
    // The library as --help documents it.
    const struct {
        uint16_t width, height;
    } pictures[] = {{800, 480}, {400, 400}, {640, 480}, {256, 256}};
    EXPECT_EQ(GetBe16(&reply[32]), std::size(pictures));
    EXPECT_EQ(GetBe32(&reply[36]), kImageLibraryAddress);

    // More entries than the library has: the rest is left to the framing's zero padding.
    ASSERT_EQ(In(Block(0xA9, true, 16 * 6)), kStatusPass);
    ASSERT_EQ(reply.size(), 16 * std::size(pictures));
    for (size_t i = 0; i < std::size(pictures); ++i) {
        const uint8_t* e = &reply[16 * i];
        EXPECT_EQ(GetBe16(e), i);
        EXPECT_EQ(GetBe16(e + 2), 8);
        EXPECT_EQ(GetBe16(e + 8), pictures[i].width);
        EXPECT_EQ(GetBe16(e + 10), pictures[i].height);
    }
    EXPECT_EQ(In(Block(0xA9, true, 15)), kStatusFail);
}

TEST_F(ModelTest, LoadLibraryImagePlacesThePictureInTheImageBuffer) {
    const uint32_t index = 3, x = 4, y = 2, w = 20, h = 10;  // a corner of the 256 x 256 ramp
    ASSERT_EQ(Out(0xAA, Words16({index, x, y, 0, w, h})), kStatusPass);
    const uint8_t* mem = model.Memory();
    for (uint32_t r = 0; r < h; ++r) {
        for (uint32_t i = 0; i < w; ++i) {
            ASSERT_EQ(mem[kBuf + (y + r) * kW + x + i], LibraryPixel(index, i, r)) << i << "," << r;
        }
    }
    EXPECT_EQ(mem[kBuf + y * kW + x + w], 0);
    // Pictures larger than the panel, indexes past the library, sizes past the picture.
    EXPECT_EQ(Out(0xAA, Words16({0, 0, 0, 0, 0, 0})), kStatusFail);
    EXPECT_EQ(Out(0xAA, Words16({9, 0, 0, 0, 1, 1})), kStatusFail);
    EXPECT_EQ(Out(0xAA, Words16({3, 0, 0, 0, 257, 1})), kStatusFail);
    EXPECT_EQ(Out(0xAA, Words16({3, 60, 0, 0, 5, 1})), kStatusFail);
}

TEST_F(ModelTest, LoadLibraryImagesChecksEveryGroupFirst) {
    ModelConfig config = SmallConfig();
    config.panelWidth = 1000;
    config.panelHeight = 600;
    config.memoryMiB = 4;
    Model big(config);
    auto run = [&](const std::vector<uint8_t>& data) {
        return big.Execute(Block(0xAB, false, static_cast<uint32_t>(data.size())), data, reply);
    };
    // The second group does not fit: nothing at all is loaded.
    ASSERT_EQ(run(Words16({2, 3, 0, 0, 0, 900, 0})), kStatusFail);
    EXPECT_EQ(big.Memory()[kBuf + 1], 0);
    ASSERT_EQ(run(Words16({2, 3, 0, 0, 1, 500, 100})), kStatusPass);
    EXPECT_EQ(big.Memory()[kBuf + 1 * 1000 + 7], LibraryPixel(3, 7, 1));
    EXPECT_EQ(big.Memory()[kBuf + 100 * 1000 + 500 + 50], LibraryPixel(1, 50, 0));
    EXPECT_EQ(run(Words16({2, 3, 0, 0})), kStatusFail) << "count larger than the groups sent";
}

TEST_F(ModelTest, ErasedLibraryHasNoPictures) {
    ASSERT_EQ(Out(0x96, Words({kImageLibraryAddress, 0x20000})), kStatusPass);
    ASSERT_EQ(In(Block(0xA9, true, 32)), kStatusPass);
    EXPECT_TRUE(reply.empty());
    EXPECT_EQ(Out(0xAA, Words16({0, 0, 0, 0, 1, 1})), kStatusFail);
}

class ModelFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = std::filesystem::temp_directory_path() / ("qp7730-emu-model-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::filesystem::path dir;
};

TEST_F(ModelFilesTest, FlashFilePersistsAcrossRuns) {
    ModelConfig config = SmallConfig();
    config.flashFile = (dir / "flash.bin").string();
    std::vector<uint8_t> reply;
    {
        Model m(config);
        ASSERT_EQ(e2e::ReadFileBytes(config.flashFile).size(), kFlashSize);
        const std::vector<uint8_t> erase = Words({0, 16});
        ASSERT_EQ(m.Execute(Block(0x96, false, 8), erase, reply), kStatusPass);
        // The file follows while the model lives.
        EXPECT_EQ(e2e::ReadFileBytes(config.flashFile)[0], 0xFF);
    }
    Model m(config);
    EXPECT_EQ(m.Flash()[0], 0xFF) << "kept from the last run";
    EXPECT_EQ(m.Flash()[16], e2e::ReadFileBytes(config.flashFile)[16]);
}

// The flash file is changed while the model uses it: cut short, emptied, replaced or
// removed. The model goes on from its own flash, and a change it makes afterwards goes to
// the file it opened, at its place.
TEST_F(ModelFilesTest, FlashFileChangedUnderTheModelChangesNothingForTheHost) {
    const struct {
        const char* name;
        std::function<void(const std::string&)> change;
        bool fileKept;  // the path still names the file the model writes
    } cases[] = {
        {"emptied", [](const std::string& p) { std::filesystem::resize_file(p, 0); }, true},
        {"cut to 4 KiB", [](const std::string& p) { std::filesystem::resize_file(p, 4096); }, true},
        {"replaced", [](const std::string& p) { std::ofstream(p + ".new") << "other"; std::filesystem::rename(p + ".new", p); },
         false},
        {"removed", [](const std::string& p) { std::filesystem::remove(p); }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ModelConfig config = SmallConfig();
        config.flashFile = (dir / "flash.bin").string();
        std::filesystem::remove(config.flashFile);
        Model m(config);
        c.change(config.flashFile);
        std::vector<uint8_t> reply;
        // The version texts, read from flash after the change.
        ASSERT_EQ(m.Execute(Block(0x97, false, 12), Words({0x120, 0x2000, 32}), reply), kStatusPass);
        EXPECT_STREQ(reinterpret_cast<const char*>(m.Memory() + 0x2000), "FW 1.02 emu");
        EXPECT_EQ(std::string(m.Memory() + 0x2010, m.Memory() + 0x2020), "QP7730-LUT-EMU01");
        // Erase and program at 1 MiB.
        const uint32_t at = 0x100000;
        std::memset(m.Memory() + 0x3000, 0x5A, 16);
        ASSERT_EQ(m.Execute(Block(0x96, false, 8), Words({at, 0x1000}), reply), kStatusPass);
        ASSERT_EQ(m.Execute(Block(0x98, false, 12), Words({at, 0x3000, 16}), reply), kStatusPass);
        EXPECT_EQ(m.Flash()[at], 0x5A);
        EXPECT_EQ(m.Flash()[0x130], 'Q');
        if (c.fileKept) {
            const std::vector<uint8_t> file = e2e::ReadFileBytes(config.flashFile);
            ASSERT_EQ(file.size(), size_t{at} + 0x1000) << "written where the flash changed";
            EXPECT_EQ(file[at], 0x5A);
            EXPECT_EQ(file[at + 16], 0xFF);
        } else if (std::filesystem::exists(config.flashFile)) {
            EXPECT_EQ(std::filesystem::file_size(config.flashFile), 5u) << "someone else's file is left alone";
        }
    }
}

// A flash file path that names some other file (a mistyped path) must not destroy it:
// only a file of the flash size is used, and only an empty one is filled.
TEST_F(ModelFilesTest, FlashFileOfAnotherSizeIsRefusedAndLeftAsItIs) {
    const struct {
        const char* name;
        size_t size;  // SIZE_MAX: the device /dev/null
        bool refused;
    } cases[] = {
        {"small file", 1000, true},
        {"one byte more than the flash", size_t{kFlashSize} + 1, true},
        {"device", SIZE_MAX, true},
        {"empty file", 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ModelConfig config = SmallConfig();
        config.flashFile = c.size == SIZE_MAX ? "/dev/null" : (dir / c.name).string();
        std::vector<uint8_t> content(c.size == SIZE_MAX ? 0 : c.size);
        for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i * 7);
        if (c.size != SIZE_MAX) {
            std::ofstream(config.flashFile, std::ios::binary)
                .write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
        }
        if (c.refused) {
            try {
                Model m(config);
                ADD_FAILURE() << "the model took the file";
            } catch (const std::runtime_error& e) {
                EXPECT_NE(std::string(e.what()).find("refusing to overwrite"), std::string::npos) << e.what();
            }
            EXPECT_EQ(e2e::ReadFileBytes(config.flashFile), content);
        } else {
            Model m(config);
            EXPECT_EQ(std::memcmp(m.Flash(), "QPXEPD7730_A0100", 16), 0);
            EXPECT_EQ(std::filesystem::file_size(config.flashFile), kFlashSize);
        }
    }
}

TEST_F(ModelFilesTest, PanelPngFollowsEveryRefresh) {
    ModelConfig config = SmallConfig();
    config.pngPath = (dir / "panel.png").string();
    Model m(config);
    uint32_t w = 0, h = 0;
    std::vector<uint8_t> png = e2e::ReadGreyPng(config.pngPath, &w, &h);
    EXPECT_EQ(w, kW);
    EXPECT_EQ(h, kH);
    EXPECT_EQ(png, std::vector<uint8_t>(kW * kH, 255)) << "the panel starts white";

    for (uint32_t i = 0; i < kW * kH; ++i) m.Memory()[kBuf + i] = static_cast<uint8_t>(i % 16 * 17);
    std::vector<uint8_t> reply;
    const std::vector<uint8_t> record = Words({kBuf, 2, 0, 0, kW, kH, 0});
    ASSERT_EQ(m.Execute(Block(0x94, false, 28), record, reply), kStatusPass);
    png = e2e::WaitForGreyPng(config.pngPath, m.Panel());
    EXPECT_EQ(png, m.Panel());
    EXPECT_EQ(png[17], 17);
}

}  // namespace
}  // namespace emu

namespace emu {
namespace {

TEST(ModelRefresh, OnlyAWaitedRefreshTakesTheRefreshTime) {
    ModelConfig config = SmallConfig();
    config.refreshMs = 200;
    Model m(config);
    std::vector<uint8_t> reply;
    for (uint32_t enWait : {0u, 1u}) {
        const std::vector<uint8_t> record = Words({kBuf, 2, 0, 0, 4, 4, enWait});
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(m.Execute(Block(0x94, false, 28), record, reply), kStatusPass);
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
        if (enWait == 1) {
            EXPECT_GE(ms, 200);
        } else {
            EXPECT_LT(ms, 150);
        }
    }
}

}  // namespace
}  // namespace emu
