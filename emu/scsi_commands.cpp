#include "emu/scsi_commands.h"

#include <algorithm>

#include "link/endian.h"

namespace emu {
namespace {

enum Opcode : uint8_t {
    kTestUnitReady = 0x00,
    kRequestSense = 0x03,
    kRead6 = 0x08,
    kWrite6 = 0x0A,
    kInquiry = 0x12,
    kModeSelect6 = 0x15,
    kModeSense6 = 0x1A,
    kStartStopUnit = 0x1B,
    kPreventAllowMediumRemoval = 0x1E,
    kReadCapacity10 = 0x25,
    kRead10 = 0x28,
    kWrite10 = 0x2A,
    kVerify10 = 0x2F,
    kSynchronizeCache10 = 0x35,
    kModeSelect10 = 0x55,
    kModeSense10 = 0x5A,
    kRead16 = 0x88,
    kWrite16 = 0x8A,
    kServiceActionIn16 = 0x9E,
    kRead12 = 0xA8,
    kWrite12 = 0xAA,
};
constexpr uint8_t kReadCapacity16 = 0x10;  // service action of SERVICE ACTION IN(16)
constexpr uint8_t kAllPages = 0x3F;
constexpr uint32_t kSenseSize = 18;

const struct {
    uint8_t opcode;
    const char* name;
} kNames[] = {
    {kTestUnitReady, "test-unit-ready"},
    {kRequestSense, "request-sense"},
    {kRead6, "read-6"},
    {kWrite6, "write-6"},
    {kInquiry, "inquiry"},
    {kModeSelect6, "mode-select-6"},
    {kModeSense6, "mode-sense-6"},
    {kStartStopUnit, "start-stop-unit"},
    {kPreventAllowMediumRemoval, "prevent-allow-medium-removal"},
    {kReadCapacity10, "read-capacity-10"},
    {kRead10, "read-10"},
    {kWrite10, "write-10"},
    {kVerify10, "verify-10"},
    {kSynchronizeCache10, "synchronize-cache-10"},
    {kModeSelect10, "mode-select-10"},
    {kModeSense10, "mode-sense-10"},
    {kRead16, "read-16"},
    {kWrite16, "write-16"},
    {kServiceActionIn16, "service-action-in-16"},
    {kRead12, "read-12"},
    {kWrite12, "write-12"},
};

bool Known(uint8_t opcode) {
    return std::any_of(std::begin(kNames), std::end(kNames), [&](const auto& n) { return n.opcode == opcode; });
}

// The length of a command block by its group (the top three bits of the opcode).
uint8_t BlockLength(uint8_t opcode) {
    switch (opcode >> 5) {
        case 0: return 6;
        case 1:
        case 2: return 10;
        case 4: return 16;
        case 5: return 12;
        default: return 16;
    }
}

ScsiOutcome Fail(const Sense& sense) { return {{}, kStatusFail, sense}; }

// A data-in reply: the first `allocation` bytes of `data`.
ScsiOutcome Reply(std::vector<uint8_t> data, uint32_t allocation, std::vector<uint8_t>* reply) {
    if (data.size() > allocation) data.resize(allocation);
    *reply = std::move(data);
    const auto length = static_cast<uint32_t>(reply->size());
    return {{length ? DataIntent::In : DataIntent::None, length}, kStatusPass, std::nullopt};
}

ScsiOutcome Good() { return {}; }

// A MODE SELECT parameter list: this controller has no changeable parameters, so only a
// list that is a bare header (no block descriptor, no page) changes nothing and is taken.
ScsiOutcome ModeSelectList(std::span<const uint8_t> data, size_t header) {
    if (data.size() < header) return Fail(kParameterListLengthError);
    const bool bare = data.size() == header && std::all_of(data.begin(), data.begin() + 2, [](uint8_t b) { return b == 0; }) &&
                      data[header - 1] == 0 && (header == 4 || data[header - 2] == 0);
    return bare ? Good() : Fail(kInvalidFieldInParameterList);
}

}  // namespace

bool FollowsHost(const CommandBlock& c) {
    return c.cdb[0] == 0xFE || (c.cdb[0] == kInquiry && c.cbLength >= BlockLength(kInquiry) && GetBe16(c.cdb + 3) == 0);
}

std::string StandardCommandName(const uint8_t* cdb) {
    if (cdb[0] == kServiceActionIn16 && (cdb[1] & 0x1F) == kReadCapacity16) return "read-capacity-16";
    for (const auto& n : kNames) {
        if (n.opcode == cdb[0]) return n.name;
    }
    return "";
}

ScsiOutcome StandardCommand(const CommandBlock& c, const Sense& pending, Model& model, std::vector<uint8_t>* reply,
                            std::span<const uint8_t> data, bool decided) {
    reply->clear();
    const uint8_t* cdb = c.cdb;
    const uint8_t op = cdb[0];
    if (!Known(op)) return Fail(kInvalidOperationCode);
    if (c.cbLength < BlockLength(op)) return Fail(kInvalidFieldInCdb);
    switch (op) {
        case kTestUnitReady:
            return Fail(kMediumNotPresent);
        case kRequestSense: {
            // Fixed format only; the sense is reported once, then cleared.
            if (cdb[1] & 0x01) return Fail(kInvalidFieldInCdb);
            std::vector<uint8_t> sense(kSenseSize, 0);
            sense[0] = 0x70;  // current error, fixed format
            sense[2] = pending.key;
            sense[7] = kSenseSize - 8;
            sense[12] = pending.asc;
            sense[13] = pending.ascq;
            ScsiOutcome r = Reply(std::move(sense), cdb[4], reply);
            r.sense = kNoSense;
            return r;
        }
        case kInquiry: {
            // Standard data only: no vital product data pages, no command support data.
            if ((cdb[1] & 0x03) != 0 || cdb[2] != 0) return Fail(kInvalidFieldInCdb);
            CommandBlock inquiry;
            inquiry.cdb[0] = kInquiry;
            inquiry.dataIn = true;
            inquiry.transferLength = kInquiryReplySize;
            std::vector<uint8_t> standard;
            model.Execute(inquiry, {}, standard);
            return Reply(std::move(standard), GetBe16(cdb + 3), reply);
        }
        case kModeSense6:
        case kModeSense10: {
            const uint8_t control = cdb[2] >> 6, page = cdb[2] & 0x3F;
            if (control == 3) return Fail(kSavingParametersNotSupported);
            // No medium, no pages: all pages is the bare header; asking for one is a bad field.
            if (page != kAllPages || (cdb[3] != 0 && cdb[3] != 0xFF)) return Fail(kInvalidFieldInCdb);
            // Mode data length, medium type, device-specific (write protect clear: there
            // is no medium to protect), block descriptor length 0.
            if (op == kModeSense6) return Reply({3, 0, 0, 0}, cdb[4], reply);
            return Reply({0, 6, 0, 0, 0, 0, 0, 0}, GetBe16(cdb + 7), reply);
        }
        case kModeSelect6:
        case kModeSelect10: {
            if (cdb[1] & 0x01) return Fail(kInvalidFieldInCdb);  // saving pages
            const uint32_t length = op == kModeSelect6 ? cdb[4] : GetBe16(cdb + 7);
            if (length == 0) return Good();
            if (!decided) return {{DataIntent::Out, length}, kStatusPass, std::nullopt};
            return ModeSelectList(data, op == kModeSelect6 ? 4 : 8);
        }
        case kStartStopUnit:
            // Start, stop, load and eject are all fine with no medium; power conditions
            // are not offered.
            return (cdb[4] & 0xF0) == 0 ? Good() : Fail(kInvalidFieldInCdb);
        case kPreventAllowMediumRemoval:
            return (cdb[4] & 0x03) <= 1 ? Good() : Fail(kInvalidFieldInCdb);
        case kSynchronizeCache10:
            return Good();  // nothing is cached
        case kReadCapacity10:
            // Without PMI the logical block address must be 0.
            if ((cdb[8] & 0x01) == 0 && GetBe32(cdb + 2) != 0) return Fail(kInvalidFieldInCdb);
            return Fail(kMediumNotPresent);
        case kServiceActionIn16:
            if ((cdb[1] & 0x1F) != kReadCapacity16) return Fail(kInvalidFieldInCdb);
            return Fail(kMediumNotPresent);
        default:
            return Fail(kMediumNotPresent);  // the reads, writes and verify
    }
}

}  // namespace emu
