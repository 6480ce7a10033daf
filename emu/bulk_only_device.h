// The device side of the USB Bulk-Only framing around the controller model: reading a
// Command Block Wrapper and writing a Command Status Wrapper (shared by every way the
// emulator is reached), and a device that takes the host's bulk transfers one at a time,
// for hosts that hand over transfers rather than messages on a socket.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "emu/model.h"

namespace emu {

constexpr size_t kCbwSize = 31;
constexpr size_t kCswSize = 13;
constexpr uint32_t kCbwSignature = 0x43425355;  // "USBC"
constexpr uint32_t kCswSignature = 0x53425355;  // "USBS"
constexpr size_t kMaxDeviceDataOut = 16u << 20;  // the longest data-out phase kept

// Reads a wrapper of `size` bytes into *command. *tag receives dCBWTag whenever the
// message is long enough to hold one (else 0), so that a refusal can echo it. False when
// the message is not a wrapper this controller takes: wrong size or signature, a block
// length other than 16, reserved flag bits set, a LUN other than 0.
bool ParseCommandBlockWrapper(const uint8_t* data, size_t size, CommandBlock* command, uint32_t* tag);

// Fills the 13 bytes of a status wrapper.
void MakeCommandStatusWrapper(uint8_t* csw, uint32_t signature, uint32_t tag, uint8_t status, uint32_t residue = 0);

// One Bulk-Only interface over a model. Every OUT transfer is handed to Out, every IN
// transfer asks In for what the device sends. A wrapper arriving while an earlier command
// is still unanswered starts afresh (the host gave up on the earlier one).
class BulkOnlyDevice {
public:
    explicit BulkOnlyDevice(Model& model) : model_(model) {}

    // A completed OUT transfer: a wrapper, or a piece of the data-out phase.
    void Out(std::span<const uint8_t> data);
    // An IN transfer of at most `capacity` bytes: the next part of the data-in phase, or
    // the status wrapper once the data has gone. False when the device has nothing to
    // send: the host's transfer waits.
    bool In(size_t capacity, std::vector<uint8_t>* data);
    // The device halted the pipe of the data phase: the phase ends where it stands and the
    // status reports a failed command, with the bytes that did not move as residue.
    void StallDataPhase();

    // Wrappers received, malformed ones included.
    uint64_t Commands() const { return commands_; }
    // True while data of the current command is still to move in either direction.
    bool InDataPhase() const {
        return phase_ == Phase::DataOut || (phase_ == Phase::Answer && dataInSent_ < dataInLength_);
    }

private:
    enum class Phase { Idle, DataOut, Answer };
    void Finish(uint8_t status);

    Model& model_;
    Phase phase_ = Phase::Idle;
    uint64_t commands_ = 0;
    CommandBlock command_;
    uint32_t tag_ = 0;
    std::vector<uint8_t> dataOut_;
    uint32_t outstanding_ = 0;      // data-out bytes still to come
    std::vector<uint8_t> dataIn_;   // the reply; the data-in phase is it padded with zeros
    size_t dataInLength_ = 0;       // to this length
    size_t dataInSent_ = 0;
    uint8_t csw_[kCswSize] = {};
};

}  // namespace emu
