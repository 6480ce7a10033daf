// Start-up, the pass-through envelope and the bulk-only adapter.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

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
    uint32_t tag = 0x77307740;
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
        EXPECT_EQ(Hex(cbw.data(), 4), "55 53 42 43");
        EXPECT_EQ(GetLe32(&cbw[4]), ++tag);  // a new tag for every command
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

// Each way a command can end, with the messages it gives, the transfers and control
// requests it makes, and the recovery after it: the command that follows goes through
// with a status of its own (a late status of the failed one was dropped by the reset).
TEST_F(BulkOnlyTest, EveryEndingHasItsMessagesAndItsRecovery) {
    using R = TransferResult;
    const std::vector<uint8_t> data(100, 1);
    const std::vector<std::string> reset = {"reset", "clear-halt 0x81", "clear-halt 0x02"};
    const std::string gone = " (104): the controller is gone; no further commands are sent";
    const struct Case {
        const char* name;
        std::map<size_t, R> results;  // transfers that do not end well
        std::vector<std::vector<uint8_t>> device;  // what the device sends, in order
        BOOL result;
        std::vector<std::string> messages;
        std::vector<uint8_t> pipes;
        std::vector<std::string> requests;
        R resetResult = R::kGood;
    } cases[] = {
        {"passes", {}, {data, ScriptedPipe::Csw()}, 1, {}, {0x02, 0x81, 0x81}, {}},
        {"wrapper refused", {{0, R::kError}}, {}, 0, {"[FAIL] CBW (31)"}, {0x02}, reset},
        {"wrapper stalled", {{0, R::kStalled}}, {}, 0, {"[FAIL] CBW (31)"}, {0x02}, reset},
        {"data stalled, failing status read", {{1, R::kStalled}}, {ScriptedPipe::Csw(0x53425355, 100, 1)}, 0,
         {"[FAIL] DATA (31)", "[FAIL] CSW Status (1)"}, {0x02, 0x81, 0x81}, {"clear-halt 0x81"}},
        {"data stalled, passing status read", {{1, R::kStalled}}, {ScriptedPipe::Csw()}, 1, {"[FAIL] DATA (31)"},
         {0x02, 0x81, 0x81}, {"clear-halt 0x81"}},
        {"data broken: no status waited for", {{1, R::kError}}, {data, ScriptedPipe::Csw()}, 0, {"[FAIL] DATA (31)"},
         {0x02, 0x81}, reset},
        {"status stalled, read once more", {{2, R::kStalled}}, {data, ScriptedPipe::Csw()}, 1, {},
         {0x02, 0x81, 0x81, 0x81}, {"clear-halt 0x81"}},
        {"status stalled twice", {{2, R::kStalled}, {3, R::kStalled}}, {data, ScriptedPipe::Csw()}, 0,
         {"[FAIL] CSW (31)"}, {0x02, 0x81, 0x81, 0x81},
         {"clear-halt 0x81", "reset", "clear-halt 0x81", "clear-halt 0x02"}},
        {"status timed out: its late arrival is reset away", {{2, R::kError}}, {data, ScriptedPipe::Csw()}, 0,
         {"[FAIL] CSW (31)"}, {0x02, 0x81, 0x81}, reset},
        {"zero-length packet before the status", {}, {data, {}, ScriptedPipe::Csw()}, 1, {}, {0x02, 0x81, 0x81, 0x81},
         {}},
        {"status of 12 bytes", {}, {data, std::vector<uint8_t>(12, 0)}, 0, {"[FAIL] CSW Length (12)"},
         {0x02, 0x81, 0x81}, reset},
        {"wrapper signature in the status", {}, {data, ScriptedPipe::Csw(0x43425355)}, 0,
         {"[FAIL] CSW Signature (0x43425355)"}, {0x02, 0x81, 0x81}, reset},
        {"status of another command", {}, {data, ScriptedPipe::Csw(0x53425355, 0, 0, 0x12345678)}, 0,
         {"[FAIL] CSW Tag (0x12345678, sent 0x77307741)"}, {0x02, 0x81, 0x81}, reset},
        {"command failed", {}, {data, ScriptedPipe::Csw(0x53425355, 0, 1)}, 0, {"[FAIL] CSW Status (1)"},
         {0x02, 0x81, 0x81}, {}},
        {"phase error", {}, {data, ScriptedPipe::Csw(0x53425355, 0, 2)}, 0, {"[FAIL] CSW Status (2)"},
         {0x02, 0x81, 0x81}, reset},
        {"status past the class's", {}, {data, ScriptedPipe::Csw(0x53425355, 0, 3)}, 0, {"[FAIL] CSW Status (3)"},
         {0x02, 0x81, 0x81}, reset},
        {"reset recovery refused", {}, {data, ScriptedPipe::Csw(0x53425355, 0, 2)}, 0,
         {"[FAIL] CSW Status (2)", "[FAIL] Reset recovery (31)"}, {0x02, 0x81, 0x81}, reset, R::kError},
        {"gone in the status phase", {{2, R::kGone}}, {data, ScriptedPipe::Csw()}, 0, {"[FAIL] CSW" + gone},
         {0x02, 0x81, 0x81}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedPipe p;
        p.goneCode = 104;
        p.resultAt = c.results;
        for (const auto& [index, result] : c.results)
            if (result == R::kGone) p.errorCode = 104;
        p.resetResult = c.resetResult;
        p.inQueue.assign(c.device.begin(), c.device.end());
        PipeDevice d{&ScriptedPipe::kBackend, &p};
        CollectedFailures().clear();
        std::vector<uint8_t> buffer(100);
        SCSI_PASS_THROUGH_DIRECT sptd;
        FillPassThrough(sptd, kVendorOpcode, 0x81, 1, 100, buffer.data());
        DWORD returned = 0;
        EXPECT_EQ(BulkOnlyTransport(&d, 0, &sptd, sizeof sptd, &sptd, sizeof sptd, &returned, nullptr), c.result);
        EXPECT_EQ(CollectedFailures(), c.messages);
        std::vector<uint8_t> pipes;
        for (const PipeEvent& e : p.events) pipes.push_back(e.pipe);
        EXPECT_EQ(pipes, c.pipes);
        EXPECT_EQ(p.requests, c.requests);

        // The next command: a new tag, and the status the device gives for it.
        const bool gone = c.messages.size() == 1 && c.messages[0].ends_with("sent");
        p.inQueue.push_back(ScriptedPipe::Csw());
        p.resultAt.clear();
        FillPassThrough(sptd, kVendorOpcode, 0xAC, 0, 0, nullptr);
        EXPECT_EQ(BulkOnlyTransport(&d, 0, &sptd, sizeof sptd, &sptd, sizeof sptd, &returned, nullptr), gone ? 0 : 1);
        EXPECT_EQ(p.events.size(), c.pipes.size() + (gone ? 0 : 2));
        if (!gone) {
            EXPECT_EQ(GetLe32(&p.events[c.pipes.size()].out[4]), 0x77307742u);
        }
        EXPECT_EQ(CollectedFailures(), c.messages);
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

TEST_F(BulkOnlyTest, StalledPieceSkipsTheRestOfTheDataPhase) {
    std::vector<uint8_t> data(3 * 65536);
    pipe.resultAt[1] = TransferResult::kStalled;
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
