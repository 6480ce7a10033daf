// The Bulk-Only device through its USB view (emu::UsbBulkFunction), as a host stack drives
// it: wrappers of every kind, the host/device cases, the standard SCSI commands and their
// sense, reset recovery, and faults turned into USB events.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <vector>

#include "emu/bulk_only_device.h"
#include "link/endian.h"

namespace emu {
namespace {

ModelConfig SmallConfig() {
    ModelConfig c;
    c.panelWidth = 64;
    c.panelHeight = 32;
    c.imageBufferAddress = 0x1000;
    c.memoryMiB = 1;
    return c;
}

enum class Dir { None, In, Out };

std::vector<uint8_t> Cbw(std::vector<uint8_t> cdb, Dir dir, uint32_t length, uint8_t cbLength = 0) {
    std::vector<uint8_t> w(kCbwSize, 0);
    PutLe32(w.data(), kCbwSignature);
    PutLe32(w.data() + 4, 0x1234);
    PutLe32(w.data() + 8, dir == Dir::None ? 0 : length);
    w[12] = dir == Dir::In ? 0x80 : 0x00;
    w[14] = cbLength ? cbLength : static_cast<uint8_t>(cdb.size());
    std::memcpy(w.data() + 15, cdb.data(), std::min<size_t>(cdb.size(), 16));
    return w;
}

struct Exchange {
    bool dataStalled = false;
    std::vector<uint8_t> data;
    int status = -1;
    uint32_t residue = 0;
};

// One command as a host runs it: the wrapper, the data phase as one transfer of the
// announced length, a halt of 0x81 cleared, then the status.
Exchange Exchanged(BulkOnlyDevice& d, const std::vector<uint8_t>& cbw, const std::vector<uint8_t>& out = {}) {
    Exchange e;
    EXPECT_EQ(d.Out(cbw), UsbStatus::Ack);
    const uint32_t length = GetLe32(cbw.data() + 8);
    if (length > 0 && (cbw[12] & 0x80)) {
        if (d.In(length, &e.data) == UsbStatus::Stall) {
            e.dataStalled = true;
            d.ClearHalt(0x81);
        }
    } else if (length > 0) {
        EXPECT_EQ(d.Out(out), UsbStatus::Ack);
    }
    std::vector<uint8_t> csw;
    if (d.In(kCswSize, &csw) != UsbStatus::Ack || csw.size() != kCswSize || GetLe32(csw.data()) != kCswSignature ||
        GetLe32(csw.data() + 4) != 0x1234)
        return e;
    e.residue = GetLe32(csw.data() + 8);
    e.status = csw[12];
    return e;
}

Sense RequestSense(BulkOnlyDevice& d) {
    const Exchange e = Exchanged(d, Cbw({0x03, 0, 0, 0, 18, 0}, Dir::In, 18));
    EXPECT_EQ(e.status, 0);
    EXPECT_EQ(e.data.size(), 18u);
    if (e.data.size() < 14) return {0xFF, 0xFF, 0xFF};
    EXPECT_EQ(e.data[0], 0x70);
    EXPECT_EQ(e.data[7], 10);
    return {e.data[2], e.data[12], e.data[13]};
}

class DeviceTest : public ::testing::Test {
protected:
    Model model{SmallConfig()};
};

struct Case {
    const char* name;
    std::vector<uint8_t> cdb;
    Dir dir;
    uint32_t length;
    std::vector<uint8_t> out;       // the data-out phase (its size is `length` when given)
    std::vector<uint8_t> data;      // the start of the data-in phase expected ...
    size_t dataSize;                // ... and its size
    bool dataStalled;
    int status;
    uint32_t residue;
    Sense sense;                    // what REQUEST SENSE reports next
};

const std::vector<uint8_t> kInquiry36 = {0x12, 0, 0, 0, 36, 0};
const std::vector<uint8_t> kModeSelect4 = {0x15, 0x10, 0, 0, 4, 0};
const std::vector<uint8_t> kInquiryHead = {0x00, 0x80, 0x02, 0x02, 35};

TEST_F(DeviceTest, HostDeviceCasesAndStandardCommands) {
    const std::vector<uint8_t> vendorInfo = {0xFE, 0, '7', '7', '3', '0', 0x80, 0, 1, 0, 2, 0, 0, 0, 0, 0};
    const Case cases[] = {
        // The thirteen cases of the Bulk-Only Transport (H host, D device).
        {"Hn = Dn", {0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0}, Dir::None, 0, {}, {}, 0, false, 0, 0, kNoSense},
        {"Hn < Di", kInquiry36, Dir::None, 0, {}, {}, 0, false, 2, 0, kNoSense},
        {"Hn < Do", kModeSelect4, Dir::None, 0, {}, {}, 0, false, 2, 0, kNoSense},
        {"Hi > Dn", {0x00, 0, 0, 0, 0, 0}, Dir::In, 8, {}, {}, 0, false, 1, 8, kMediumNotPresent},
        {"Hi > Di", kInquiry36, Dir::In, 64, {}, kInquiryHead, 36, false, 0, 28, kNoSense},
        {"Hi = Di", kInquiry36, Dir::In, 36, {}, kInquiryHead, 36, false, 0, 0, kNoSense},
        {"Hi < Di", kInquiry36, Dir::In, 20, {}, kInquiryHead, 20, false, 2, 0, kNoSense},
        {"Hi <> Do", kModeSelect4, Dir::In, 4, {}, {}, 0, true, 2, 0, kNoSense},
        {"Ho > Dn", {0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0}, Dir::Out, 8, std::vector<uint8_t>(8), {}, 0, false, 0, 8, kNoSense},
        {"Ho <> Di", kInquiry36, Dir::Out, 36, std::vector<uint8_t>(36), {}, 0, false, 2, 0, kNoSense},
        {"Ho > Do", kModeSelect4, Dir::Out, 12, std::vector<uint8_t>(12), {}, 0, false, 0, 8, kNoSense},
        {"Ho = Do", kModeSelect4, Dir::Out, 4, std::vector<uint8_t>(4), {}, 0, false, 0, 0, kNoSense},
        {"Ho < Do", {0x15, 0x10, 0, 0, 8, 0}, Dir::Out, 4, std::vector<uint8_t>(4), {}, 0, false, 2, 0, kNoSense},
        // The standard commands of a removable disk with no medium.
        {"test unit ready", {0x00, 0, 0, 0, 0, 0}, Dir::None, 0, {}, {}, 0, false, 1, 0, kMediumNotPresent},
        {"request sense, none pending", {0x03, 0, 0, 0, 96, 0}, Dir::In, 96, {}, {0x70, 0, 0, 0, 0, 0, 0, 10}, 18,
         false, 0, 78, kNoSense},
        {"request sense, descriptor format", {0x03, 1, 0, 0, 18, 0}, Dir::In, 18, {}, {}, 0, false, 1, 18,
         kInvalidFieldInCdb},
        {"inquiry, vital product data", {0x12, 1, 0x80, 0, 36, 0}, Dir::In, 36, {}, {}, 0, false, 1, 36,
         kInvalidFieldInCdb},
        {"read capacity 10", {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, Dir::In, 8, {}, {}, 0, false, 1, 8, kMediumNotPresent},
        {"read capacity 16", {0x9E, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0}, Dir::In, 32, {}, {}, 0, false, 1,
         32, kMediumNotPresent},
        {"service action in, another action", {0x9E, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0}, Dir::In, 32, {},
         {}, 0, false, 1, 32, kInvalidFieldInCdb},
        {"mode sense 6, all pages", {0x1A, 0, 0x3F, 0, 192, 0}, Dir::In, 192, {}, {3, 0, 0, 0}, 4, false, 0, 188,
         kNoSense},
        {"mode sense 6, caching page", {0x1A, 0, 0x08, 0, 192, 0}, Dir::In, 192, {}, {}, 0, false, 1, 192,
         kInvalidFieldInCdb},
        {"mode sense 10, all pages", {0x5A, 0, 0x3F, 0, 0, 0, 0, 0, 8, 0}, Dir::In, 8, {}, {0, 6, 0, 0, 0, 0, 0, 0}, 8,
         false, 0, 0, kNoSense},
        {"mode sense, saved values", {0x1A, 0, 0xFF, 0, 192, 0}, Dir::In, 192, {}, {}, 0, false, 1, 192,
         kSavingParametersNotSupported},
        {"mode select, a page", kModeSelect4, Dir::Out, 4, {0, 0, 0, 8}, {}, 0, false, 1, 0,
         kInvalidFieldInParameterList},
        {"prevent medium removal", {0x1E, 0, 0, 0, 1, 0}, Dir::None, 0, {}, {}, 0, false, 0, 0, kNoSense},
        {"prevent, reserved value", {0x1E, 0, 0, 0, 2, 0}, Dir::None, 0, {}, {}, 0, false, 1, 0, kInvalidFieldInCdb},
        {"start stop unit, eject", {0x1B, 0, 0, 0, 2, 0}, Dir::None, 0, {}, {}, 0, false, 0, 0, kNoSense},
        {"start stop unit, power condition", {0x1B, 0, 0, 0, 0x30, 0}, Dir::None, 0, {}, {}, 0, false, 1, 0,
         kInvalidFieldInCdb},
        {"read 10", {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, Dir::In, 512, {}, {}, 0, false, 1, 512, kMediumNotPresent},
        {"write 10", {0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0}, Dir::Out, 512, std::vector<uint8_t>(512), {}, 0, false, 1, 512,
         kMediumNotPresent},
        {"unknown opcode", {0x4D, 0, 0, 0, 0, 0, 0, 0, 0, 0}, Dir::None, 0, {}, {}, 0, false, 1, 0,
         kInvalidOperationCode},
        // The controller's own blocks, with the data phase the host announces.
        {"the tool's inquiry", {0x12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, Dir::In, 40, {}, kInquiryHead, 40,
         false, 0, 0, kNoSense},
        {"system information", vendorInfo, Dir::In, 112, {}, {0x37, 0x37, 0x33, 0x30}, 112, false, 0, 0, kNoSense},
        {"a vendor block not 16 long", std::vector<uint8_t>(vendorInfo.begin(), vendorInfo.begin() + 12), Dir::In, 112,
         {}, {}, 0, true, 2, 0, kNoSense},
        {"a failing vendor command", {0xFE, 0, 0, 0, 0, 0, 0x42, 0, 0, 0, 0, 0, 0, 0, 0, 0}, Dir::None, 0, {}, {}, 0,
         false, 1, 0, kInvalidFieldInCdb},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BulkOnlyDevice d(model);
        const Exchange e = Exchanged(d, Cbw(c.cdb, c.dir, c.length), c.out);
        EXPECT_EQ(e.dataStalled, c.dataStalled);
        EXPECT_EQ(e.data.size(), c.dataSize);
        EXPECT_EQ(std::vector<uint8_t>(e.data.begin(), e.data.begin() + std::min(e.data.size(), c.data.size())), c.data);
        EXPECT_EQ(e.status, c.status);
        EXPECT_EQ(e.residue, c.residue);
        // The sense of a failed command is reported once, then cleared.
        EXPECT_EQ(RequestSense(d), c.sense);
        EXPECT_EQ(RequestSense(d), kNoSense);
    }
}

TEST_F(DeviceTest, CommandBlockLengthsFrom1To16) {
    for (uint8_t length = 1; length <= 16; ++length) {
        SCOPED_TRACE(int{length});
        BulkOnlyDevice d(model);
        // A standard command needs its whole block (INQUIRY: 6 bytes); the vendor blocks
        // are 16 bytes long.
        EXPECT_EQ(Exchanged(d, Cbw(kInquiry36, Dir::In, 36, length)).status, length >= 6 ? 0 : 1);
        if (length < 6) {
            EXPECT_EQ(RequestSense(d), kInvalidFieldInCdb);
        }
        EXPECT_EQ(Exchanged(d, Cbw({0xFE, 0, 0, 0, 0, 0, 0xAC}, Dir::None, 0, length)).status, length == 16 ? 0 : 2);
    }
}

// An invalid wrapper halts both pipes until the host's reset recovery: the class reset,
// then a clear of each halt; clearing the halts alone does not end them.
TEST_F(DeviceTest, InvalidWrapperStallsBothPipesUntilResetRecovery) {
    const std::vector<uint8_t> good = Cbw({0x00, 0, 0, 0, 0, 0}, Dir::None, 0);
    auto with = [&](size_t at, uint8_t value) {
        std::vector<uint8_t> w = good;
        w[at] = value;
        return w;
    };
    std::vector<uint8_t> longer = good;
    longer.push_back(0);
    const struct {
        const char* name;
        std::vector<uint8_t> wrapper;
    } invalid[] = {
        {"30 bytes", std::vector<uint8_t>(good.begin(), good.end() - 1)},
        {"32 bytes", longer},
        {"signature", with(0, 'X')},
        {"LUN 1", with(13, 1)},
        {"reserved LUN bits", with(13, 0x10)},
        {"reserved flag bit", with(12, 0x01)},
        {"block length 0", with(14, 0)},
        {"block length 17", with(14, 17)},
    };
    for (const auto& c : invalid) {
        SCOPED_TRACE(c.name);
        BulkOnlyDevice d(model);
        std::vector<uint8_t> data;
        EXPECT_EQ(d.Out(c.wrapper), UsbStatus::Ack);
        EXPECT_EQ(d.In(kCswSize, &data), UsbStatus::Stall);
        EXPECT_EQ(d.Out(good), UsbStatus::Stall);
        d.ClearHalt(0x81);
        d.ClearHalt(0x02);
        EXPECT_EQ(d.In(kCswSize, &data), UsbStatus::Stall) << "halted until the class reset";
        EXPECT_EQ(d.Out(good), UsbStatus::Stall);
        d.ClassReset();
        EXPECT_TRUE(d.Halted(0x81) && d.Halted(0x02)) << "the reset leaves the halts to be cleared";
        d.ClearHalt(0x81);
        d.ClearHalt(0x02);
        EXPECT_EQ(Exchanged(d, good).status, 1) << "served again after reset recovery";
        EXPECT_EQ(d.MaxLun(), 0);
    }
    // A bus reset ends everything at once, the sense included.
    BulkOnlyDevice d(model);
    Exchanged(d, good);
    d.Out(with(0, 'X'));
    d.BusReset();
    EXPECT_FALSE(d.Halted(0x81) || d.Halted(0x02));
    EXPECT_EQ(RequestSense(d), kNoSense);
}

// A data-in phase that ends on a full transfer before the host's length ends with a
// zero-length one.
TEST_F(DeviceTest, ShortPhaseEndingOnAFullTransferGetsAZeroLengthOne) {
    BulkOnlyDevice d(model);
    ASSERT_EQ(d.Out(Cbw({0x03, 0, 0, 0, 96, 0}, Dir::In, 96)), UsbStatus::Ack);
    std::vector<uint8_t> data;
    ASSERT_EQ(d.In(18, &data), UsbStatus::Ack);
    EXPECT_EQ(data.size(), 18u);
    ASSERT_EQ(d.In(18, &data), UsbStatus::Ack);
    EXPECT_TRUE(data.empty());
    ASSERT_EQ(d.In(kCswSize, &data), UsbStatus::Ack);
    EXPECT_EQ(GetLe32(data.data() + 8), 78u);
}

struct FaultPick : CommandListener {
    std::optional<FaultKind> fault;
    std::optional<FaultKind> OnWrapper() override { return std::exchange(fault, std::nullopt); }
    void OnOutcome(const CommandOutcome&) override {}
};

// Faults become what a USB host sees: a transfer that never completes, a short one, a
// stalled data phase or status read, a phase error.
TEST_F(DeviceTest, FaultsOnTheUsbView) {
    FaultPick pick;
    BulkOnlyDevice d(model, DeviceView::Usb, &pick);
    const std::vector<uint8_t> read = Cbw({0xFE, 0, 0, 0, 0x10, 0, 0x81, 0x03, 0xE8, 0, 0, 0, 0, 0, 0, 0}, Dir::In, 1000);
    std::vector<uint8_t> data;
    pick.fault = FaultKind::NoAnswer;
    ASSERT_EQ(d.Out(read), UsbStatus::Ack);
    EXPECT_EQ(d.In(1000, &data), UsbStatus::Nak) << "pending";
    EXPECT_EQ(d.In(kCswSize, &data), UsbStatus::Nak);
    pick.fault = FaultKind::ShortData;
    const Exchange e = Exchanged(d, read);
    EXPECT_EQ(e.data.size(), 500u) << "a short transfer";
    EXPECT_EQ(e.status, 0);
    pick.fault = FaultKind::FailStatus;
    EXPECT_EQ(Exchanged(d, read).status, 1);
    EXPECT_EQ(RequestSense(d), kInternalTargetFailure);

    pick.fault = FaultKind::StallData;
    const Exchange stalled = Exchanged(d, read);
    EXPECT_TRUE(stalled.dataStalled);
    EXPECT_EQ(stalled.status, 1);
    EXPECT_EQ(stalled.residue, 1000u);
    EXPECT_EQ(RequestSense(d), kInternalTargetFailure);
    std::vector<uint8_t> write = read;
    write[12] = 0x00;  // data-out
    write[15 + 6] = 0xA5;
    pick.fault = FaultKind::StallData;
    ASSERT_EQ(d.Out(write), UsbStatus::Ack);
    EXPECT_EQ(d.Out(std::vector<uint8_t>(1000, 0x5A)), UsbStatus::Stall);
    EXPECT_EQ(d.In(kCswSize, &data), UsbStatus::Ack) << "only 0x02 halts";
    EXPECT_EQ(data[12], 1);
    EXPECT_EQ(GetLe32(data.data() + 8), 1000u);
    EXPECT_EQ(d.Out(write), UsbStatus::Stall) << "until the halt is cleared";
    d.ClearHalt(0x02);
    EXPECT_EQ(Exchanged(d, read).data, std::vector<uint8_t>(1000, 0)) << "the write was not carried out";

    pick.fault = FaultKind::StallStatus;
    ASSERT_EQ(d.Out(read), UsbStatus::Ack);
    ASSERT_EQ(d.In(1000, &data), UsbStatus::Ack);
    EXPECT_EQ(d.In(kCswSize, &data), UsbStatus::Stall);
    EXPECT_EQ(d.In(kCswSize, &data), UsbStatus::Stall) << "until the halt is cleared";
    d.ClearHalt(0x81);
    ASSERT_EQ(d.In(kCswSize, &data), UsbStatus::Ack);
    EXPECT_EQ(data[12], 0);
    EXPECT_EQ(Exchanged(d, read).status, 0) << "once";

    pick.fault = FaultKind::PhaseError;
    EXPECT_EQ(Exchanged(d, read).status, 2);
    EXPECT_EQ(d.Out(read), UsbStatus::Stall) << "until reset recovery";
    d.ClearHalt(0x02);
    EXPECT_EQ(d.Out(read), UsbStatus::Stall) << "a clear alone is not reset recovery";
    d.ClassReset();
    d.ClearHalt(0x02);
    d.ClearHalt(0x81);
    EXPECT_EQ(Exchanged(d, read).status, 0);
}

}  // namespace
}  // namespace emu
