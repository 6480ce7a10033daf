// Area transfer (command choice, chunking, placement) and display validation.
#include <gtest/gtest.h>

#include "image/image.h"
#include "link/endian.h"
#include "tests/support/fake_controller.h"

namespace {

constexpr uint32_t kBase = 0x12000;

struct ChunkCase {
    const char* name;
    uint32_t panelWidth, w, h;
    uint8_t command;
    std::vector<uint32_t> rowsPerCommand;
};

class AreaTransferTest : public ::testing::TestWithParam<ChunkCase> {
protected:
    void TearDown() override { ResetDeviceState(); }
};

std::vector<uint32_t> Repeat(uint32_t value, size_t times, std::vector<uint32_t> tail = {}) {
    std::vector<uint32_t> v(times, value);
    v.insert(v.end(), tail.begin(), tail.end());
    return v;
}

TEST_P(AreaTransferTest, CommandAndRowsPerChunk) {
    const ChunkCase& c = GetParam();
    FakeController fake;
    fake.memory.resize(64u << 20);
    fake.Install(c.panelWidth, 2000, kBase);
    std::vector<uint8_t> source(size_t{c.w} * c.h);
    for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<uint8_t>(i * 13 + i / c.w);
    const uint32_t x = c.w == c.panelWidth ? 0 : 3, y = 5;

    TransferImageArea(source.data(), kBase, x, y, c.w, c.h);

    ASSERT_EQ(fake.log.size(), c.rowsPerCommand.size());
    uint32_t row = 0;
    for (size_t i = 0; i < fake.log.size(); ++i) {
        const RecordedCommand& cmd = fake.log[i];
        const uint32_t rows = c.rowsPerCommand[i];
        ASSERT_EQ(cmd.cdb[6], c.command);
        if (c.command == 0xA5) {
            EXPECT_EQ(GetBe32(cmd.cdb.data() + 2), kBase + (y + row) * c.panelWidth + x);
            EXPECT_EQ(cmd.length, c.w * rows);
        } else {
            EXPECT_EQ(cmd.length, 20 + c.w * rows);
            EXPECT_EQ(GetBe32(&cmd.dataOut[8]), y + row);
            EXPECT_EQ(GetBe32(&cmd.dataOut[16]), rows);
        }
        EXPECT_LE(cmd.length, 61460u);
        row += rows;
    }
    EXPECT_EQ(row, c.h);

    // Every source row lands at base + (y + r) x P + x, whichever command carried it.
    for (uint32_t r = 0; r < c.h; ++r) {
        const uint8_t* frameRow = fake.memory.data() + kBase + size_t{y + r} * c.panelWidth + x;
        ASSERT_TRUE(std::equal(frameRow, frameRow + c.w, source.data() + size_t{r} * c.w)) << "row " << r;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Widths, AreaTransferTest,
    ::testing::Values(ChunkCase{"panel_width_800", 800, 800, 600, 0xA5, Repeat(76, 7, {68})},
                      ChunkCase{"narrow_1000_on_1872", 1872, 1000, 130, 0xA2, {61, 61, 8}},
                      ChunkCase{"w2048", 2100, 2048, 61, 0xA2, {30, 30, 1}},
                      ChunkCase{"w2049_is_panel", 2049, 2049, 60, 0xA5, {29, 29, 2}},
                      ChunkCase{"w2049_wider_than_pitch_goes_row_by_row", 2100, 2049, 3, 0xA5, {1, 1, 1}},
                      ChunkCase{"w1", 800, 1, 61441, 0xA2, {61440, 1}},
                      ChunkCase{"h0", 800, 100, 0, 0xA2, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AreaTransferLimits, WidthsOutsideTheBudgetSendNothing) {
    FakeController fake;
    fake.Install(800, 600, kBase);
    std::vector<uint8_t> source(61441 * 2);
    TransferImageArea(source.data(), kBase, 0, 0, 0, 10);
    TransferImageArea(source.data(), kBase, 0, 0, 61441, 2);
    EXPECT_TRUE(fake.log.empty());
    ResetDeviceState();
}

// ---- display validation -----------------------------------------------------------

struct DisplayCase {
    const char* name;
    int32_t x, y, w, h, mode;
    const char* wait;
    std::string printed;
    int status;  // 0: sent
    std::vector<uint32_t> sent;  // x, y, w, h, mode, enWait
};

class DisplayRequestTest : public ::testing::TestWithParam<DisplayCase> {
protected:
    void TearDown() override { ResetDeviceState(); }
};

TEST_P(DisplayRequestTest, ClampsInOrderAndMapsTheWait) {
    const DisplayCase& c = GetParam();
    FakeController fake;
    fake.Install(800, 600, kBase);
    int status = 0;
    testing::internal::CaptureStdout();
    try {
        RequestDisplayArea(c.x, c.y, c.w, c.h, c.mode, c.wait);
    } catch (const RunEnded& e) {
        status = e.Status;
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
    EXPECT_EQ(status, c.status);
    if (c.status != 0) {
        EXPECT_TRUE(fake.log.empty());
        return;
    }
    ASSERT_EQ(fake.log.size(), 1u);
    const auto& d = fake.log[0].dataOut;
    EXPECT_EQ(GetBe32(&d[0]), kBase);
    const uint32_t got[] = {GetBe32(&d[8]), GetBe32(&d[12]), GetBe32(&d[16]), GetBe32(&d[20]), GetBe32(&d[4]),
                            GetBe32(&d[24])};
    EXPECT_EQ(std::vector<uint32_t>(got, got + 6), c.sent);
}

const std::string kReject = "Wrong argument! Too tiny size or negative number.\r\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, DisplayRequestTest,
    ::testing::Values(
        DisplayCase{"inside", 10, 20, 100, 50, 2, "-wait", "", 0, {10, 20, 100, 50, 2, 1}},
        DisplayCase{"nowait", 0, 0, 800, 600, 0, "-nowait", "", 0, {0, 0, 800, 600, 0, 0}},
        DisplayCase{"zero_width", 0, 0, 0, 10, 0, "-wait", kReject, -1, {}},
        DisplayCase{"zero_height", 0, 0, 10, 0, 0, "-wait", kReject, -1, {}},
        DisplayCase{"negative_x", -1, 0, 10, 10, 0, "-wait", kReject, -1, {}},
        DisplayCase{"negative_y", 0, -1, 10, 10, 0, "-wait", kReject, -1, {}},
        DisplayCase{"negative_mode", 0, 0, 10, 10, -1, "-wait", kReject, -1, {}},
        DisplayCase{"wider_than_panel",
                    10, 0, 900, 10, 1, "-wait",
                    "Width limitation: 800\r\nOut of panel width! Set X to 0.\r\n", 0, {0, 0, 800, 10, 1, 1}},
        DisplayCase{"taller_than_panel",
                    0, 5, 10, 700, 1, "-wait",
                    "Height limitation: 600\r\nOut of panel height! Set Y to 0.\r\n", 0, {0, 0, 10, 600, 1, 1}},
        DisplayCase{"ends_on_the_edge", 700, 500, 100, 100, 3, "-wait", "", 0, {700, 500, 100, 100, 3, 1}},
        DisplayCase{"one_past_the_edge", 799, 0, 10, 10, 3, "-nowait", "Out of panel width! Set X to 0.\r\n", 0,
                    {0, 0, 10, 10, 3, 0}},
        DisplayCase{"all_four_messages_then_bad_wait", 10, 10, 900, 700, 0, "-Wait",
                    "Width limitation: 800\r\nHeight limitation: 600\r\nOut of panel width! Set X to 0.\r\n"
                    "Out of panel height! Set Y to 0.\r\nIncorrect waiting selection.\r\n",
                    -1, {}},
        DisplayCase{"no_hyphen", 0, 0, 1, 1, 0, "wait", "Incorrect waiting selection.\r\n", -1, {}},
        DisplayCase{"large_mode_passes", 0, 0, 1, 1, 1000, "-wait", "", 0, {0, 0, 1, 1, 1000, 1}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
