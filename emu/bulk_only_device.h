// The device side of the USB Bulk-Only framing around the controller model: one state
// machine for every way the emulator is reached (the socket and TCP fronts, the USB front
// of a virtual bus, the test bed of the libusb route, the fuzz targets). It takes the
// host's transfers one at a time: a Command Block Wrapper, the pieces of a data-out phase,
// and the IN transfers that carry the data-in phase and the Command Status Wrapper.
//
// Faults and the trace are layered on top through a CommandListener: the listener picks
// the fault of each command and hears its outcome; the device turns the fault into what
// the host sees on its view (a failing status, a wrong signature, silence, a short data
// phase, a flipped bit, a stalled pipe, a phase error).
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "emu/model.h"
#include "emu/scsi_commands.h"
#include "emu/usb_function.h"
#include "link/bulk_only_wire.h"

namespace emu {

// The wire layouts are the host adapter's own (link/bulk_only_wire.h).
constexpr size_t kCbwSize = bot::kCbwLength;
constexpr size_t kCswSize = bot::kCswLength;
constexpr uint32_t kCbwSignature = bot::kCbwSignature;
constexpr uint32_t kCswSignature = bot::kCswSignature;
constexpr size_t kMaxDeviceDataOut = 16u << 20;  // the longest data-out phase kept
constexpr size_t kMaxSocketTransfer = 0x10000;   // one bulk transfer as one socket message

enum class FaultKind { FailStatus, BadSignature, NoAnswer, ShortData, FlipBit, StallData, StallStatus, PhaseError };
constexpr int kFaultKinds = 8;  // FaultKind values are 0 .. kFaultKinds - 1
const char* FaultName(FaultKind kind);

// How the host's transfers reach the device.
enum class DeviceView {
    // A USB bus (usbredir, usbfs): an invalid wrapper halts both pipes until reset
    // recovery; a data-in phase the device cannot fill ends with a short transfer (a
    // zero-length one when needed), one in the wrong direction with a stall of 0x81; an IN
    // transfer the device has nothing for stays pending.
    Usb,
    // Socket messages (the emulator route): there is no stall on the wire; an invalid
    // wrapper gets a status of 2, a message longer than one bulk transfer is a phase error,
    // and a data-in phase is always the length the host announced, padded with zeros.
    Socket,
};

// Reads a wrapper of `size` bytes into *command. *tag receives dCBWTag whenever the
// message is long enough to hold one (else 0), so that a refusal can echo it. False when
// the wrapper is not valid and meaningful to this device: not 31 bytes, the wrong
// signature, reserved bits set, a LUN other than 0, a block length outside 1..16.
bool ParseCommandBlockWrapper(const uint8_t* data, size_t size, CommandBlock* command, uint32_t* tag);

// Fills the 13 bytes of a status wrapper.
void MakeCommandStatusWrapper(uint8_t (&csw)[kCswSize], uint32_t signature, uint32_t tag, uint8_t status,
                              uint32_t residue = 0);

// What the device reports of one command once its outcome is decided, before its status
// can be read.
struct CommandOutcome {
    bool wellFormed = false;
    size_t wrapperSize = 0;
    const CommandBlock* command = nullptr;  // when well formed
    std::optional<FaultKind> fault;
    std::span<const uint8_t> dataOut;  // the data-out phase as the command got it
    std::span<const uint8_t> reply;    // the start of the data-in phase; the rest are zeros
    uint64_t dataInLength = 0;         // bytes the data-in phase carries
    int status = -1;                   // bCSWStatus; -1 when no status goes back
    const char* note = nullptr;        // why no status goes back, when it is not a fault
};

class CommandListener {
public:
    virtual ~CommandListener() = default;
    // A wrapper arrived, well formed or not: the fault to inject into this command.
    virtual std::optional<FaultKind> OnWrapper() = 0;
    virtual void OnOutcome(const CommandOutcome& outcome) = 0;
};

class BulkOnlyDevice : public UsbBulkFunction {
public:
    explicit BulkOnlyDevice(Model& model, DeviceView view = DeviceView::Usb, CommandListener* listener = nullptr);

    // A completed OUT transfer: a wrapper, or a piece of the data-out phase.
    UsbStatus Out(std::span<const uint8_t> data) override;
    // An IN transfer of at most `capacity` bytes: the next part of the data-in phase, or
    // the status wrapper once the data has gone; Nak when the device has nothing to send.
    UsbStatus In(size_t capacity, std::vector<uint8_t>* data) override;
    void ClearHalt(uint8_t endpoint) override;
    void ClassReset() override;
    void BusReset() override;

    // The device halts the pipe of the data phase: the phase ends where it stands and the
    // status reports a failed command, with the bytes that did not move as residue.
    void StallDataPhase();
    // The host went away; a command still waiting for its data-out phase is reported lost.
    void Disconnect();

    // Wrappers received, malformed ones included.
    uint64_t Commands() const { return commands_; }
    // Commands whose outcome has been decided.
    uint64_t Finished() const { return finished_; }
    // True while data of the current command is still to move in either direction.
    bool InDataPhase() const { return phase_ == Phase::DataOut || phase_ == Phase::DataIn; }
    bool AwaitingData() const { return phase_ == Phase::DataOut; }
    // True when an IN transfer now gets something (data, the status, or a stall).
    bool HasAnswer() const { return phase_ == Phase::DataIn || phase_ == Phase::Status || halt_[kIn]; }
    // True while the pipe (0x02 or 0x81) is halted.
    bool Halted(uint8_t endpoint) const { return halt_[endpoint & 0x80 ? kIn : kOut]; }
    // The sense that REQUEST SENSE reports next.
    const Sense& PendingSense() const { return sense_; }
    // True when the next IN transfer carries the status wrapper.
    bool StatusNext() const { return phase_ == Phase::Status; }

private:
    enum class Phase {
        Idle,     // waiting for a wrapper
        DataOut,  // taking the data-out phase
        DataIn,   // sending the data-in phase
        Status,   // the status wrapper is next
        Silent,   // a command that gets no answer (no-answer): waiting for the next wrapper
    };

    enum Pipe { kOut, kIn };

    void Wrapper(std::span<const uint8_t> data);
    void DataOut(std::span<const uint8_t> data);
    // The end of the command's data-out phase (overlong: a transfer went past it).
    void DataOutDone(bool overlong);
    // Carries out the command, or what its fault makes of it, on `data`; sets status_
    // and reply_ and keeps the sense it leaves.
    void Execute(std::span<const uint8_t> data);
    // The answer: the data-in phase of dataInLength_ bytes (stallIn: a stall of 0x81 in
    // its place), then the status wrapper with the residue.
    void Answer(uint32_t residue, bool stallIn = false);
    void PhaseError();
    // The stall-data fault: the command is not carried out and its data phase halts.
    void StallData();
    void Report(const char* note = nullptr);

    Model& model_;
    const DeviceView view_;
    CommandListener* const listener_;
    Phase phase_ = Phase::Idle;
    uint64_t commands_ = 0;
    uint64_t finished_ = 0;

    bool halt_[2] = {false, false};
    bool resetRecovery_ = false;  // the halts stay until a Bulk-Only Mass Storage Reset
    Sense sense_;

    // The command under way.
    CommandBlock command_;
    DataIntent host_;        // what the host announced
    DataIntent intent_;      // what the command means to move
    bool standard_ = false;  // a standard command (not one whose data phase is the host's)
    bool stallIn_ = false;   // its data-in phase is a stall of 0x81
    bool stallStatus_ = false;  // its first status read is a stall of 0x81 (stall-status, on USB)
    bool mismatch_ = false;  // a phase error whatever the host does (a vendor block not 16 long)
    ScsiOutcome decided_;    // a standard command that takes no data, as decided on its wrapper
    uint32_t tag_ = 0;
    size_t wrapperSize_ = 0;
    bool wellFormed_ = false;
    std::optional<FaultKind> fault_;
    std::vector<uint8_t> dataOut_;
    uint32_t outstanding_ = 0;  // data-out bytes still to come
    std::vector<uint8_t> reply_;  // the data-in phase; past its end it carries zeros
    size_t dataInLength_ = 0;     // bytes the data-in phase carries
    size_t dataInSent_ = 0;
    uint8_t status_ = 0;
    uint8_t csw_[kCswSize] = {};
};

}  // namespace emu
