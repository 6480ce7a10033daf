// The standard SCSI commands a host's storage stack sends to the controller on binding
// and while it holds the drive. The controller presents a removable disk with no medium in
// it: TEST UNIT READY answers NOT READY, MEDIUM NOT PRESENT, so a kernel reads no capacity,
// no mode pages and no partition table, and the vendor commands (0xFE) and the tool's
// INQUIRY keep working through the drive's pass-through.
#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "emu/model.h"

namespace emu {

// Fixed-format sense: key, additional sense code and qualifier.
struct Sense {
    uint8_t key = 0;
    uint8_t asc = 0;
    uint8_t ascq = 0;
    bool operator==(const Sense&) const = default;
};

constexpr Sense kNoSense{};
constexpr Sense kMediumNotPresent{0x02, 0x3A, 0x00};
constexpr Sense kInvalidOperationCode{0x05, 0x20, 0x00};
constexpr Sense kInvalidFieldInCdb{0x05, 0x24, 0x00};
constexpr Sense kInvalidFieldInParameterList{0x05, 0x26, 0x00};
constexpr Sense kParameterListLengthError{0x05, 0x1A, 0x00};
constexpr Sense kSavingParametersNotSupported{0x05, 0x39, 0x00};
constexpr Sense kInternalTargetFailure{0x04, 0x44, 0x00};

// What a command means to move: the device's side of the Bulk-Only host/device cases.
struct DataIntent {
    enum Direction { None, In, Out };
    Direction direction = None;
    uint32_t length = 0;
};

struct ScsiOutcome {
    DataIntent intent;
    uint8_t status = kStatusPass;  // kStatusPass (GOOD) or kStatusFail (CHECK CONDITION)
    // The sense the command leaves behind: set by a failure, cleared by REQUEST SENSE,
    // untouched (nullopt) otherwise.
    std::optional<Sense> sense;
};

// True for the blocks the controller's own command handling takes, whose data phase is the
// one the host announces: the vendor blocks (0xFE) and an INQUIRY whose allocation length
// is 0 (the tool's, which asks 40 bytes in its data phase).
bool FollowsHost(const CommandBlock& command);

// One standard command (cbLength bytes of command.cdb). Without `decided`, decides what the
// command means to move and, for a command that takes no data from the host, carries it
// out: *reply receives its data. With `decided` (a command whose intent is Out, its data
// phase received), carries it out on `data`. `pending` is the sense REQUEST SENSE reports.
ScsiOutcome StandardCommand(const CommandBlock& command, const Sense& pending, Model& model,
                            std::vector<uint8_t>* reply, std::span<const uint8_t> data = {}, bool decided = false);

// "test-unit-ready", "request-sense", ...; empty for an opcode without a name here.
std::string StandardCommandName(const uint8_t* cdb);

}  // namespace emu
