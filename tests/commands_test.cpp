// Blocks, data phases and byte orders of the controller commands.
#include <gtest/gtest.h>

#include <cstring>

#include "commands/commands.h"
#include "link/endian.h"
#include "tests/support/fake_controller.h"

namespace {

class CommandsTest : public ::testing::Test {
protected:
    void SetUp() override { fake.Install(800, 600, 0x12000); }
    void TearDown() override { ResetDeviceState(); }
    const RecordedCommand& Only() {
        EXPECT_EQ(fake.log.size(), 1u);
        return fake.log.back();
    }
    FakeController fake;
};

TEST_F(CommandsTest, MemoryBlocksCarryAddressAndLength) {
    std::vector<uint8_t> buffer(0x1234);
    EXPECT_EQ(ReadMemory(0x12345, 0x1234, buffer.data()), 1);
    EXPECT_EQ(WriteMemory(0x12345, 0x1234, buffer.data()), 1);
    std::vector<uint8_t> big(0xFFFF);
    ReadMemory(0x12000, 0xFFFF, big.data());
    ASSERT_EQ(fake.log.size(), 3u);
    EXPECT_EQ(Hex(fake.log[0].cdb.data(), 16), "FE 00 00 01 23 45 81 12 34 00 00 00 00 00 00 00");
    EXPECT_EQ(fake.log[0].dataIn, 1);
    EXPECT_EQ(fake.log[0].length, 4660u);
    EXPECT_EQ(fake.log[0].buffer, buffer.data());
    EXPECT_EQ(Hex(fake.log[1].cdb.data(), 16), "FE 00 00 01 23 45 A5 12 34 00 00 00 00 00 00 00");
    EXPECT_EQ(fake.log[1].dataIn, 0);
    EXPECT_EQ(fake.log[1].buffer, buffer.data());  // straight from the caller, no copy
    EXPECT_EQ(fake.log[2].cdb[7], 0xFF);
    EXPECT_EQ(fake.log[2].cdb[8], 0xFF);
    EXPECT_EQ(fake.log[2].length, 65535u);
}

TEST_F(CommandsTest, ReadMemoryReportsSuccessWhateverTheTransportSays) {
    fake.accept = [](const RecordedCommand&, size_t) { return false; };
    uint8_t b[4];
    EXPECT_EQ(ReadMemory(0, 4, b), 1);
    EXPECT_EQ(WriteMemory(0, 4, b), 0);
}

TEST_F(CommandsTest, LoadImageAreaHeaderIsBigEndianInPlace) {
    std::vector<uint8_t> pixels(2048 * 30, 0x42);
    LdImgInfo info{0x12000, 0, 30, 2048, 30};
    LoadImageArea(info, pixels.data());
    const RecordedCommand& c = Only();
    EXPECT_EQ(Hex(c.cdb.data(), 16), "FE 00 00 00 00 00 A2 00 00 00 00 00 00 00 00 00");
    EXPECT_EQ(c.length, 61460u);
    EXPECT_EQ(c.buffer, TransferBuffer);
    EXPECT_EQ(Hex(c.dataOut.data(), 20), "00 01 20 00 00 00 00 00 00 00 00 1E 00 00 08 00 00 00 00 1E");
    EXPECT_EQ(c.dataOut[20], 0x42);
    EXPECT_EQ(c.dataOut.back(), 0x42);
    // The caller's record now holds wire order.
    uint8_t wire[20];
    std::memcpy(wire, &info, 20);
    EXPECT_EQ(Hex(wire, 20), Hex(c.dataOut.data(), 20));
}

TEST_F(CommandsTest, DisplayAreaRecordOrder) {
    DisplayArea(10, 20, 300, 400, 2, 0x12000, 1);
    DisplayArea(static_cast<uint32_t>(-1), 0, 1, 1, 0, 0x12000, 0);
    ASSERT_EQ(fake.log.size(), 2u);
    const RecordedCommand& c = fake.log[0];
    EXPECT_EQ(c.cdb[6], 0x94);
    EXPECT_EQ(c.length, 28u);
    EXPECT_EQ(c.dataIn, 0);
    EXPECT_EQ(Hex(c.dataOut.data(), 28),
              "00 01 20 00 00 00 00 02 00 00 00 0A 00 00 00 14 00 00 01 2C 00 00 01 90 00 00 00 01");
    EXPECT_EQ(Hex(fake.log[1].dataOut.data() + 8, 4), "FF FF FF FF");
}

TEST_F(CommandsTest, EngineInfoPrintsBothWordsAndLowSpeedHasNoData) {
    fake.engine[0] = 0x00010203;
    fake.engine[1] = 0x0A0B0C0D;
    testing::internal::CaptureStdout();
    GetEngineInfo();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "10203\nA0B0C0D\n");
    LowSpeedUsb();
    ASSERT_EQ(fake.log.size(), 2u);
    EXPECT_EQ(fake.log[0].length, 8u);
    EXPECT_EQ(fake.log[0].dataIn, 1);
    EXPECT_EQ(fake.log[1].cdb[6], 0xAC);
    EXPECT_EQ(fake.log[1].dataIn, 0);
    EXPECT_EQ(fake.log[1].length, 0u);
    EXPECT_EQ(fake.log[1].buffer, nullptr);
}

TEST_F(CommandsTest, FlashArgumentRecords) {
    EraseFlash(ArgErase{0x20000, 131072});
    ReadFlashToMemory(SPICmd{0x120, 0x12000, 16});
    WriteFlashFromMemory(SPICmd{0x120, 0x12000, 16});
    ASSERT_EQ(fake.log.size(), 3u);
    EXPECT_EQ(Hex(fake.log[0].dataOut.data(), 8), "00 02 00 00 00 02 00 00");
    EXPECT_EQ(Hex(fake.log[1].dataOut.data(), 12), "00 00 01 20 00 01 20 00 00 00 00 10");
    EXPECT_EQ(fake.log[1].cdb[6], 0x97);
    EXPECT_EQ(fake.log[2].cdb[6], 0x98);
    for (const auto& c : fake.log) {
        EXPECT_EQ(c.dataIn, 0);
        EXPECT_EQ(c.buffer, TransferBuffer);
    }
    EXPECT_EQ(fake.log[1].length, 12u);
}

TEST_F(CommandsTest, EraseRangeCountsWholeBlocksFromTheStart) {
    struct Case {
        uint32_t address, count;
        std::vector<uint32_t> erased;
    };
    const Case cases[] = {
        {0, 0, {}},
        {0, 1, {0}},
        {0, 131072, {0}},
        {0, 131073, {0, 131072}},
        {0x10000, 0x20000, {0x10000}},
    };
    for (const Case& c : cases) {
        fake.log.clear();
        EXPECT_EQ(EraseFlashRange(c.address, c.count), static_cast<int32_t>(c.erased.size()));
        ASSERT_EQ(fake.log.size(), c.erased.size());
        for (size_t i = 0; i < c.erased.size(); ++i) {
            EXPECT_EQ(GetBe32(&fake.log[i].dataOut[0]), c.erased[i]);
            EXPECT_EQ(GetBe32(&fake.log[i].dataOut[4]), 131072u);
        }
    }
}

TEST_F(CommandsTest, RangePiecesKeepTheirOrderAndStaging) {
    std::vector<uint8_t> source(70000);
    for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<uint8_t>(i % 251);
    EraseFlashRange(0, 70000);
    fake.log.clear();
    WriteFlashRange(0, 70000, source.data(), 0x12000);
    const uint32_t sizes[] = {32768, 32768, 4464};
    ASSERT_EQ(fake.log.size(), 6u);
    for (int i = 0; i < 3; ++i) {
        const RecordedCommand& memoryWrite = fake.log[2 * i];
        const RecordedCommand& flashWrite = fake.log[2 * i + 1];
        EXPECT_EQ(memoryWrite.cdb[6], 0xA5);
        EXPECT_EQ(GetBe32(memoryWrite.cdb.data() + 2), 0x12000u);
        EXPECT_EQ(memoryWrite.length, sizes[i]);
        EXPECT_EQ(memoryWrite.buffer, source.data() + 32768 * i);
        EXPECT_EQ(flashWrite.cdb[6], 0x98);
        EXPECT_EQ(GetBe32(&flashWrite.dataOut[0]), 32768u * i);
        EXPECT_EQ(GetBe32(&flashWrite.dataOut[4]), 0x12000u);
        EXPECT_EQ(GetBe32(&flashWrite.dataOut[8]), sizes[i]);
    }

    fake.log.clear();
    std::vector<uint8_t> back(70000);
    ReadFlashRange(0, 70000, back.data(), 0x12000);
    ASSERT_EQ(fake.log.size(), 6u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(fake.log[2 * i].cdb[6], 0x97);
        EXPECT_EQ(fake.log[2 * i + 1].cdb[6], 0x81);
        EXPECT_EQ(fake.log[2 * i + 1].buffer, back.data() + 32768 * i);
        EXPECT_EQ(fake.log[2 * i + 1].length, sizes[i]);
    }
    EXPECT_EQ(back, source);
}

TEST_F(CommandsTest, FirmwareVersionTextEndsAtZeroOrAfterSixteenBytes) {
    const struct {
        const char* stored;
        size_t n;
        const char* printed;
    } cases[] = {
        {"FW 1.02\0garbage!", 16, "FW Version : FW 1.02 \r\n"},
        {"ABCDEFGHIJKLMNOP", 16, "FW Version : ABCDEFGHIJKLMNOP \r\n"},
    };
    for (const auto& c : cases) {
        std::memcpy(fake.flash.data() + 0x120, c.stored, c.n);
        std::memset(fake.flash.data() + 0x130, 'Z', 16);
        testing::internal::CaptureStdout();
        ShowFirmwareVersion();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
    }
}

TEST_F(CommandsTest, PmicBlocksAndVcomReply) {
    struct Case {
        PMICctrl request;
        const char* block;
    };
    const Case cases[] = {
        {{1500, 2, 0, 0}, "FE 00 00 00 00 00 A3 05 DC 02 00 00 00 00 00 00"},
        {{0, 0, 1, 1}, "FE 00 00 00 00 00 A3 00 00 00 01 01 00 00 00 00"},
        {{2000, 2, 1, 0}, "FE 00 00 00 00 00 A3 07 D0 02 01 00 00 00 00 00"},
    };
    for (const Case& c : cases) {
        fake.log.clear();
        PMICctrl request = c.request;
        EXPECT_EQ(PmicControl(request), 1);
        EXPECT_EQ(Hex(fake.log[0].cdb.data(), 16), c.block);
        EXPECT_EQ(fake.log[0].dataIn, 1);
        EXPECT_EQ(fake.log[0].length, 8u);
        EXPECT_EQ(request.Vcom, fake.vcom);
        EXPECT_EQ(request.SetVcom, c.request.SetVcom);
    }
    fake.accept = [](const RecordedCommand&, size_t) { return false; };
    PMICctrl request{1234, 2, 0, 0};
    EXPECT_EQ(PmicControl(request), 0);
    EXPECT_EQ(request.Vcom, 1234);
}

TEST_F(CommandsTest, ImageLibraryRecords) {
    LoadLibraryImage(0, 0, 0, 0, 800, 480);
    EXPECT_EQ(Hex(fake.log[0].dataOut.data(), 12), "00 00 00 00 00 00 00 00 03 20 01 E0");
    EXPECT_EQ(fake.log[0].cdb[6], 0xAA);

    uint16_t group[10] = {3, 1, 10, 20, 2, 30, 40, 3, 50, 60};
    LoadLibraryImages(group, 3);
    EXPECT_EQ(fake.log[1].length, 20u);
    EXPECT_EQ(Hex(fake.log[1].dataOut.data(), 4), "00 03 00 01");
    EXPECT_EQ(group[0], HostToBe16(3));  // converted in the caller's array
    EXPECT_EQ(group[9], HostToBe16(60));

    fake.reply = [](const RecordedCommand& c, uint8_t* data) {
        if (c.length == 0) return;
        std::memset(data, 0, c.length);
        if (c.cdb[6] == 0xA8) {
            data[33] = 5;
            data[37] = 1;
        } else {
            for (uint32_t e = 0; e < c.length / 16; ++e) {
                data[16 * e + 1] = static_cast<uint8_t>(e);
                data[16 * e + 8] = 3;
                data[16 * e + 9] = 0x20;
                data[16 * e + 15] = 9;
            }
        }
    };
    ImgLibHeader header;
    EXPECT_EQ(GetImageLibHeader(&header), 0);
    EXPECT_EQ(header.NumImg, 5);
    EXPECT_EQ(header.ImglibSFIAddr, 0x10000u);

    ImgListEntry entries[3];
    testing::internal::CaptureStdout();
    EXPECT_EQ(GetImageList(3, entries), 1);
    EXPECT_EQ(GetImageList(0, entries), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "48\n0\n");
    EXPECT_EQ(entries[2].Index, 2);
    EXPECT_EQ(entries[2].ImageW, 800);
    EXPECT_EQ(entries[2].Extra, 9u);
    EXPECT_EQ(fake.log.back().length, 0u);
}

}  // namespace
