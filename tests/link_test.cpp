// Start-up, the pass-through envelope and the bulk-only adapter.
#include <gtest/gtest.h>

#include <cstring>

#include "commands/commands.h"
#include "link/device_state.h"
#include "link/endian.h"
#include "link/pipe.h"
#include "tests/support/fake_controller.h"
#include "tests/support/scripted_pipe.h"

namespace {

class LinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetDeviceState();
        CollectFailures();
    }
    void TearDown() override {
        SetPipeBackends(nullptr, 0);
        StopCollectingFailures();
        ResetDeviceState();
    }
};

std::vector<uint32_t> SystemWords(uint32_t width, uint32_t height, uint32_t address) {
    std::vector<uint32_t> words(28, 0);
    for (uint32_t i = 0; i < 28; ++i) words[i] = 0x01010101u * i;
    words[4] = width;
    words[5] = height;
    words[7] = address;
    return words;
}

TEST_F(LinkTest, InquiryAndSystemInfoBlocksAreExact) {
    FakeController fake;
    fake.Install();
    Inquiry();
    GetSystemInfo(g_DeviceState.SystemInfo);
    ASSERT_EQ(fake.log.size(), 2u);

    const RecordedCommand& inquiry = fake.log[0];
    EXPECT_EQ(Hex(inquiry.cdb.data(), 16), "12 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
    EXPECT_EQ(inquiry.dataIn, 1);
    EXPECT_EQ(inquiry.length, 40u);
    EXPECT_EQ(inquiry.buffer, TransferBuffer);

    const RecordedCommand& info = fake.log[1];
    EXPECT_EQ(Hex(info.cdb.data(), 16), "FE 00 37 37 33 30 80 00 01 00 02 00 00 00 00 00");
    EXPECT_EQ(info.dataIn, 1);
    EXPECT_EQ(info.length, 112u);
    EXPECT_EQ(info.buffer, TransferBuffer);

    for (const RecordedCommand& c : fake.log) {
        EXPECT_EQ(c.recordLength, sizeof(SCSI_PASS_THROUGH_DIRECT));
        EXPECT_EQ(c.cdbLength, 16);
        EXPECT_EQ(c.timeout, 5u);
    }
}

TEST_F(LinkTest, SystemInfoArrivesInHostOrderAndSetsPanelLimits) {
    FakeController fake;
    fake.Install();
    fake.systemInfo[4] = 1872;
    fake.systemInfo[5] = 1404;
    fake.systemInfo[7] = 0x00120000;
    fake.systemInfo[19] = 0x00200000;
    fake.systemInfo[27] = 0xA1B2C3D4;
    uint32_t info[kSystemInfoWords];
    GetSystemInfo(info);
    EXPECT_EQ(info[4], 1872u);
    EXPECT_EQ(info[5], 1404u);
    EXPECT_EQ(info[7], 0x00120000u);
    EXPECT_EQ(info[19], 0x00200000u);
    EXPECT_EQ(info[27], 0xA1B2C3D4u);
    EXPECT_EQ(g_DeviceState.PanelWidth, 1872u);
    EXPECT_EQ(g_DeviceState.PanelHeight, 1404u);
}

// Only the words that arrived are taken, and only a whole reply counts as read.
TEST_F(LinkTest, SystemInfoIsCompleteOnlyWhenTheWholeReplyArrived) {
    const struct {
        const char* name;
        bool fails;
        uint32_t replyBytes;
        uint32_t wordsKept;  // leading words taken from the reply; the rest are zero
        bool complete;
    } cases[] = {
        {"whole reply", false, 120, 28, true},
        {"exactly the 112 bytes asked for", false, 112, 28, true},
        {"short: half", false, 56, 14, false},
        {"short: one byte less", false, 111, 27, false},
        {"command failed", true, 120, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeController fake;
        fake.Install();
        for (uint32_t i = 0; i < kSystemInfoWords; ++i) fake.systemInfo[i] = 0x01010101u * (i + 1);
        fake.systemInfoBytes = c.replyBytes;
        if (c.fails) fake.accept = [](const RecordedCommand&, size_t) { return false; };
        std::memset(TransferBuffer, 0x5A, 200);  // nothing stale may show through
        uint32_t info[kSystemInfoWords];
        std::memset(info, 0x77, sizeof info);
        GetSystemInfo(info);
        for (uint32_t i = 0; i < kSystemInfoWords; ++i)
            EXPECT_EQ(info[i], i < c.wordsKept ? 0x01010101u * (i + 1) : 0u) << "word " << i;
        EXPECT_EQ(g_DeviceState.SystemInfoComplete, c.complete);
        EXPECT_EQ(g_DeviceState.PanelWidth, info[4]);
        EXPECT_EQ(g_DeviceState.PanelHeight, info[5]);
    }
}

struct StartCase {
    const char* name;
    uint32_t width, height;
    bool allocated;
};

class StartDeviceTest : public LinkTest, public ::testing::WithParamInterface<StartCase> {};

TEST_P(StartDeviceTest, PipeRouteIsSilentAndBufferFollowsThe32BitProduct) {
    const StartCase& c = GetParam();
    ScriptedPipe pipe;
    pipe.ActAsController(kControllerIdentity, SystemWords(c.width, c.height, 0x120000));
    const PipeBackend* routes[] = {&ScriptedPipe::kBackend};
    SetPipeBackends(routes, 1);

    testing::internal::CaptureStdout();
    StartDevice();
    const std::string out = testing::internal::GetCapturedStdout();

    std::string expected = "Panel width = " + std::to_string(static_cast<int>(c.width)) + "\nPanel height = " +
                           std::to_string(static_cast<int>(c.height)) + "\nImage Buffer Address = 0x120000\n";
    if (!c.allocated) expected += "Image buffer allocate failed!\n";
    EXPECT_EQ(out, expected);
    EXPECT_EQ(g_DeviceState.TransportKind, kTransportBulkOnly);
    EXPECT_EQ(g_DeviceState.HostImageBuffer != nullptr, c.allocated);
    EXPECT_TRUE(CollectedFailures().empty());
}

INSTANTIATE_TEST_SUITE_P(Sizes, StartDeviceTest,
                         ::testing::Values(StartCase{"panel", 1872, 1404, true},
                                           StartCase{"product_just_past_32_bits", 0x10000, 0x10000, false},
                                           StartCase{"product_far_past_32_bits", 0xFFFFFFFF, 0xFFFFFFFF, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(LinkTest, PipeRouteWithAnotherIdentityIsClosedAndNotUsed) {
    ScriptedPipe pipe;
    // The revision differs: only the exact 28 characters identify the controller.
    pipe.ActAsController("Generic Storage RamDisc 1.01", SystemWords(800, 600, 0x12000));
    const PipeBackend* routes[] = {&ScriptedPipe::kBackend};
    SetPipeBackends(routes, 1);
    EXPECT_FALSE(FindPipeController(ScriptedPipe::kBackend));
    EXPECT_EQ(g_DeviceState.hDevice, nullptr);
    EXPECT_EQ(g_DeviceState.TransportKind, kTransportNone);
}

// ---- bulk-only framing ----------------------------------------------------------

class BulkOnlyTest : public LinkTest {
protected:
    void SetUp() override {
        LinkTest::SetUp();
        device.Backend = &ScriptedPipe::kBackend;
        device.Device = &pipe;
    }
    BOOL Send(uint8_t dataIn, uint32_t length, void* buffer, uint8_t sub = 0xA5, DWORD* returned = nullptr) {
        SCSI_PASS_THROUGH_DIRECT sptd;
        FillPassThrough(sptd, kVendorOpcode, sub, dataIn, length, buffer);
        sptd.Cdb[15] = 0x5C;
        DWORD dummy = 0xDEAD;
        return BulkOnlyTransport(&device, IOCTL_SCSI_PASS_THROUGH_DIRECT, &sptd, sizeof sptd, &sptd, sizeof sptd,
                                 returned ? returned : &dummy, nullptr);
    }
    ScriptedPipe pipe;
    PipeDevice device{};
};

TEST_F(BulkOnlyTest, WrapperFieldsForEachDirection) {
    struct Case {
        uint8_t dataIn;
        uint32_t length;
        uint8_t flags;
        std::vector<uint8_t> pipes;
    };
    const Case cases[] = {
        {0, 0, 0x00, {0x02, 0x81}},
        {1, 40, 0x80, {0x02, 0x81, 0x81}},
        {0, 1000, 0x00, {0x02, 0x02, 0x81}},
    };
    for (const Case& c : cases) {
        pipe.events.clear();
        std::vector<uint8_t> data(c.length, 0x3C);
        if (c.dataIn) pipe.inQueue.push_back(std::vector<uint8_t>(c.length, 7));
        pipe.inQueue.push_back(ScriptedPipe::Csw());
        EXPECT_EQ(Send(c.dataIn, c.length, data.data()), 1);
        ASSERT_EQ(pipe.events.size(), c.pipes.size());
        for (size_t i = 0; i < c.pipes.size(); ++i) EXPECT_EQ(pipe.events[i].pipe, c.pipes[i]);
        const auto& cbw = pipe.events[0].out;
        ASSERT_EQ(cbw.size(), 31u);
        EXPECT_EQ(Hex(cbw.data(), 8), "55 53 42 43 40 77 30 77");
        EXPECT_EQ(GetLe32(&cbw[8]), c.length);
        EXPECT_EQ(cbw[12], c.flags);
        EXPECT_EQ(cbw[13], 0);
        EXPECT_EQ(cbw[14], 16);
        EXPECT_EQ(cbw[15], 0xFE);
        EXPECT_EQ(cbw[21], 0xA5);
        EXPECT_EQ(cbw[30], 0x5C);
        EXPECT_EQ(pipe.events.back().length, 13u);
        if (c.dataIn) {
            EXPECT_EQ(data, std::vector<uint8_t>(c.length, 7));
        } else if (c.length) {
            EXPECT_EQ(pipe.events[1].out, data);
        }
    }
    EXPECT_TRUE(CollectedFailures().empty());
}

TEST_F(BulkOnlyTest, DataPhaseGoesInPiecesOf65536) {
    std::vector<uint8_t> data(65537);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    pipe.inQueue.push_back(ScriptedPipe::Csw());
    EXPECT_EQ(Send(0, 65537, data.data()), 1);
    ASSERT_EQ(pipe.events.size(), 4u);
    EXPECT_EQ(pipe.events[1].length, 65536u);
    EXPECT_EQ(pipe.events[2].length, 1u);
    EXPECT_EQ(pipe.events[2].out[0], data[65536]);
}

TEST_F(BulkOnlyTest, EveryFailureHasItsMessageAndTheStatusDecides) {
    struct Case {
        const char* name;
        size_t failTransfer;  // SIZE_MAX: none
        std::vector<uint8_t> csw;
        BOOL result;
        std::string message;
        size_t transfers;
    };
    const size_t none = SIZE_MAX;
    const Case cases[] = {
        {"cbw", 0, ScriptedPipe::Csw(), 0, "[FAIL] CBW (31)", 1},
        {"data piece then good status", 1, ScriptedPipe::Csw(), 1, "[FAIL] DATA (31)", 3},
        {"csw transfer", 2, ScriptedPipe::Csw(), 0, "[FAIL] CSW (31)", 3},
        {"csw signature", none, ScriptedPipe::Csw(0x43425355), 0, "[FAIL] CSW Signature (0x43425355)", 3},
        {"csw status after full data", none, ScriptedPipe::Csw(0x53425355, 0, 1), 0, "[FAIL] CSW Status (1)", 3},
        {"other tag accepted", none, ScriptedPipe::Csw(0x53425355, 0, 0, 0x12345678), 1, "", 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        pipe.events.clear();
        pipe.inQueue.clear();
        pipe.failAt.clear();
        CollectedFailures().clear();
        if (c.failTransfer != none) pipe.failAt.insert(c.failTransfer);
        pipe.inQueue.push_back(std::vector<uint8_t>(100, 1));
        pipe.inQueue.push_back(c.csw);
        std::vector<uint8_t> data(100);
        EXPECT_EQ(Send(1, 100, data.data()), c.result);
        EXPECT_EQ(pipe.events.size(), c.transfers);
        if (c.message.empty())
            EXPECT_TRUE(CollectedFailures().empty());
        else
            EXPECT_EQ(CollectedFailures(), std::vector<std::string>{c.message});
    }
}

// A failure that the backend says means the device is gone is reported once, saying so;
// the exchanges after it fail at once, with nothing sent and nothing reported. Any other
// failure leaves the next command to go out as usual.
TEST_F(BulkOnlyTest, AGoneDeviceIsReportedOnceAndNotUsedAgain) {
    const std::string gone = " (104): the controller is gone; no further commands are sent";
    const struct {
        size_t failTransfer;
        int goneCode;
        std::string message;
        size_t transfers;  // of the failed exchange; a device not gone takes two more
    } cases[] = {
        {0, 104, "[FAIL] CBW" + gone, 1},
        {1, 104, "[FAIL] DATA" + gone, 2},  // no status is waited for
        {2, 104, "[FAIL] CSW" + gone, 3},
        {2, 19, "[FAIL] CSW (104)", 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        device.Gone = false;
        pipe.events.clear();
        pipe.inQueue = {std::vector<uint8_t>(100, 1), ScriptedPipe::Csw()};
        pipe.failAt = {c.failTransfer};
        pipe.errorCode = 104;
        pipe.goneCode = c.goneCode;
        CollectedFailures().clear();
        std::vector<uint8_t> data(100);
        EXPECT_EQ(Send(1, 100, data.data()), 0);
        EXPECT_EQ(pipe.events.size(), c.transfers);
        pipe.inQueue = {ScriptedPipe::Csw()};
        const bool stillThere = c.goneCode != 104;
        EXPECT_EQ(Send(0, 0, nullptr), stillThere ? 1 : 0);
        EXPECT_EQ(pipe.events.size(), c.transfers + (stillThere ? 2 : 0));
        EXPECT_EQ(CollectedFailures(), std::vector<std::string>{c.message});
    }
}

TEST_F(BulkOnlyTest, FailedPieceSkipsTheRestOfTheDataPhase) {
    std::vector<uint8_t> data(3 * 65536);
    pipe.failAt.insert(1);
    pipe.inQueue.push_back(ScriptedPipe::Csw());
    EXPECT_EQ(Send(0, static_cast<uint32_t>(data.size()), data.data()), 1);
    ASSERT_EQ(pipe.events.size(), 3u);  // wrapper, the failed piece, status
    EXPECT_EQ(pipe.events[2].pipe, 0x81);
}

TEST_F(BulkOnlyTest, BytesReturnedIsLengthMinusResidue) {
    pipe.inQueue.push_back(std::vector<uint8_t>(40, 0));
    pipe.inQueue.push_back(ScriptedPipe::Csw(0x53425355, 8));
    std::vector<uint8_t> data(40);
    DWORD returned = 0;
    EXPECT_EQ(Send(1, 40, data.data(), 0xA5, &returned), 1);
    EXPECT_EQ(returned, 32u);
}

TEST_F(BulkOnlyTest, NullDeviceFailsAtOnce) {
    SCSI_PASS_THROUGH_DIRECT sptd;
    FillPassThrough(sptd, kVendorOpcode, 0xAC, 0, 0, nullptr);
    DWORD returned = 0;
    EXPECT_EQ(BulkOnlyTransport(nullptr, 0, &sptd, 0, nullptr, 0, &returned, nullptr), 0);
    EXPECT_EQ(CollectedFailures(), std::vector<std::string>{"[FAIL] CBW (0)"});
}

}  // namespace
