#include "emu/bulk_only_device.h"

#include <algorithm>
#include <cstring>

#include "link/endian.h"

namespace emu {
namespace {

constexpr size_t kKeptRoom = 1u << 20;

}  // namespace

const char* FaultName(FaultKind kind) {
    switch (kind) {
        case FaultKind::FailStatus: return "fail-status";
        case FaultKind::BadSignature: return "bad-signature";
        case FaultKind::NoAnswer: return "no-answer";
        case FaultKind::ShortData: return "short-data";
        case FaultKind::FlipBit: return "flip-bit";
        case FaultKind::StallData: return "stall-data";
        case FaultKind::StallStatus: return "stall-status";
        case FaultKind::PhaseError: return "phase-error";
    }
    return "?";
}

bool ParseCommandBlockWrapper(const uint8_t* data, size_t size, CommandBlock* command, uint32_t* tag) {
    *tag = size >= 8 ? GetLe32(data + 4) : 0;
    bot::CommandBlockWrapper w;
    if (!bot::UnpackCbw(data, size, &w)) return false;
    // Bits 6..0 of bmCBWFlags, the upper four of bCBWLUN and the upper three of
    // bCBWCBLength are reserved; the only LUN is 0.
    if ((w.Flags & ~bot::kCbwFlagDataIn) != 0 || w.Lun != 0 || w.CbLength < 1 || w.CbLength > bot::kMaxCbLength)
        return false;
    *command = CommandBlock{};
    std::memcpy(command->cdb, w.Cb, w.CbLength);
    command->cbLength = w.CbLength;
    command->dataIn = (w.Flags & bot::kCbwFlagDataIn) != 0;
    command->transferLength = w.DataTransferLength;
    return true;
}

void MakeCommandStatusWrapper(uint8_t (&csw)[kCswSize], uint32_t signature, uint32_t tag, uint8_t status,
                              uint32_t residue) {
    bot::PackCsw({signature, tag, residue, status}, csw);
}

BulkOnlyDevice::BulkOnlyDevice(Model& model, DeviceView view, CommandListener* listener)
    : model_(model), view_(view), listener_(listener) {}

UsbStatus BulkOnlyDevice::Out(std::span<const uint8_t> data) {
    if (view_ == DeviceView::Usb && halt_[kOut]) return UsbStatus::Stall;
    if (phase_ == Phase::DataOut) {
        DataOut(data);
    } else {
        // A wrapper; one arriving while an earlier command is unanswered starts afresh
        // (the host gave up on the earlier one).
        Wrapper(data);
    }
    return UsbStatus::Ack;
}

void BulkOnlyDevice::Wrapper(std::span<const uint8_t> data) {
    ++commands_;
    fault_ = listener_ ? listener_->OnWrapper() : std::nullopt;
    wrapperSize_ = data.size();
    // The room of a long data-out phase is given back rather than kept for every connection.
    if (dataOut_.capacity() > kKeptRoom) std::vector<uint8_t>().swap(dataOut_);
    dataOut_.clear();
    reply_.clear();
    dataInLength_ = 0;
    dataInSent_ = 0;
    outstanding_ = 0;
    stallIn_ = false;
    stallStatus_ = false;
    mismatch_ = false;
    wellFormed_ = ParseCommandBlockWrapper(data.data(), data.size(), &command_, &tag_);
    if (!wellFormed_) {
        // A fault changes nothing about a refusal.
        fault_.reset();
        command_ = CommandBlock{};
        if (view_ == DeviceView::Usb) {
            // Both pipes stall until the host's reset recovery: the class reset, then a
            // clear of each halt.
            halt_[kIn] = halt_[kOut] = resetRecovery_ = true;
            phase_ = Phase::Idle;
            Report("invalid wrapper: both pipes halted until reset recovery");
            return;
        }
        status_ = kStatusPhaseError;
        MakeCommandStatusWrapper(csw_, kCswSignature, tag_, status_);
        phase_ = Phase::Status;
        Report();
        return;
    }
    host_ = {command_.transferLength == 0 ? DataIntent::None : command_.dataIn ? DataIntent::In : DataIntent::Out,
             command_.transferLength};
    stallStatus_ = fault_ == FaultKind::StallStatus && view_ == DeviceView::Usb;
    if (fault_ == FaultKind::StallData && host_.direction != DataIntent::None) return StallData();
    standard_ = !FollowsHost(command_);
    if (standard_) {
        decided_ = StandardCommand(command_, sense_, model_, &reply_);
        intent_ = decided_.intent;
    } else {
        // The controller's own blocks move what the host announces; they are 16 bytes long.
        intent_ = host_;
        mismatch_ = command_.cdb[0] == 0xFE && command_.cbLength != 16;
    }

    // The host/device cases of the Bulk-Only Transport: H is what the host announced,
    // D what the command means to move (None, In or Out).
    switch (host_.direction) {
        case DataIntent::None:
            if (mismatch_ || intent_.direction != DataIntent::None) return PhaseError();  // Hn < Di, Hn < Do
            Execute({});
            return Answer(0);
        case DataIntent::In: {
            if (mismatch_ || intent_.direction == DataIntent::Out) {
                // Hi <> Do: not carried out; no data (zeros on a socket), a phase error.
                status_ = kStatusPhaseError;
                reply_.clear();
                dataInLength_ = view_ == DeviceView::Socket ? host_.length : 0;
                return Answer(0, view_ == DeviceView::Usb);
            }
            Execute({});
            // The relevant data: the reply of a standard command, whose failure sends none
            // (Hi > Dn); the host's whole phase for the controller's own blocks.
            size_t relevant = standard_ ? (status_ == kStatusPass ? reply_.size() : 0) : host_.length;
            if (relevant > host_.length) {
                // Hi < Di: as much as the host takes, then a phase error.
                relevant = host_.length;
                reply_.resize(relevant);
                status_ = kStatusPhaseError;
            }
            dataInLength_ = view_ == DeviceView::Socket ? host_.length : relevant;
            if (fault_ == FaultKind::ShortData && host_.length >= 2)
                dataInLength_ = std::min<size_t>(host_.length / 2, kMaxSocketTransfer);
            // Hi > Di: the residue is the part the device did not fill with relevant data.
            return Answer(static_cast<uint32_t>(host_.length - relevant));
        }
        case DataIntent::Out:
            phase_ = Phase::DataOut;
            outstanding_ = host_.length;
            return;
    }
}

void BulkOnlyDevice::DataOut(std::span<const uint8_t> data) {
    // A transfer longer than the rest of the phase (or, on a socket, longer than one bulk
    // transfer) is a phase error.
    const bool overlong = data.size() > outstanding_ || (view_ == DeviceView::Socket && data.size() > kMaxSocketTransfer);
    const size_t take = std::min<size_t>(data.size(), outstanding_);
    // No more than kMaxDeviceDataOut is kept: a longer phase is taken in full but fails,
    // rather than letting the announced length size an allocation.
    if (dataOut_.size() + take <= kMaxDeviceDataOut)
        dataOut_.insert(dataOut_.end(), data.begin(), data.begin() + static_cast<long>(take));
    outstanding_ -= static_cast<uint32_t>(take);
    if (overlong || outstanding_ == 0) DataOutDone(overlong);
}

void BulkOnlyDevice::DataOutDone(bool overlong) {
    // stall-data over a socket: the phase was taken in full and dropped.
    if (fault_ == FaultKind::StallData && !overlong) return Answer(host_.length);
    // Ho <> Di and Ho < Do are phase errors, the command not carried out.
    if (overlong || mismatch_ || intent_.direction == DataIntent::In ||
        (intent_.direction == DataIntent::Out && host_.length < intent_.length))
        return PhaseError();
    if (intent_.direction == DataIntent::None) {
        // Ho > Dn: the data is taken and dropped.
        Execute({});
        return Answer(host_.length);
    }
    // Ho > Do: the command gets its own length, the rest is the residue.
    const size_t used = std::min<size_t>(dataOut_.size(), intent_.length);
    Execute(std::span<const uint8_t>(dataOut_).first(used));
    Answer(host_.length - intent_.length);
}

void BulkOnlyDevice::Execute(std::span<const uint8_t> data) {
    const bool flip = fault_ == FaultKind::FlipBit;
    if (fault_ == FaultKind::ShortData && host_.direction == DataIntent::Out) {
        // Only the first half arrived: the controller sees zeros in place of the rest.
        std::fill(dataOut_.begin() + static_cast<long>(dataOut_.size() / 2), dataOut_.end(), 0);
    }
    if (fault_ == FaultKind::FailStatus || fault_ == FaultKind::NoAnswer || fault_ == FaultKind::PhaseError) {
        // Not carried out.
        status_ = fault_ == FaultKind::PhaseError ? kStatusPhaseError : kStatusFail;
        reply_.clear();
        sense_ = kInternalTargetFailure;
        return;
    }
    if (!standard_) {
        if (host_.direction == DataIntent::Out && dataOut_.size() != host_.length) {
            status_ = kStatusFail;  // a phase longer than is kept
            reply_.clear();
        } else {
            status_ = model_.Execute(command_, data, reply_, flip);
        }
        if (status_ != kStatusPass) sense_ = kInvalidFieldInCdb;
        return;
    }
    const ScsiOutcome r = intent_.direction == DataIntent::Out
                              ? StandardCommand(command_, sense_, model_, &reply_, data, true)
                              : decided_;
    status_ = r.status;
    if (r.sense) sense_ = *r.sense;
    if (status_ != kStatusPass) {
        reply_.clear();
    } else if (flip && !reply_.empty()) {
        reply_[std::min<size_t>(reply_.size(), host_.length) / 2] ^= 0x01;
    }
}

void BulkOnlyDevice::PhaseError() {
    status_ = kStatusPhaseError;
    reply_.clear();
    dataInLength_ = 0;
    Answer(0);
}

void BulkOnlyDevice::StallData() {
    // As after a failed transfer of the medium: nothing of the phase is relevant, so the
    // residue is the whole length. On a socket, which has no stall, the phase is exchanged
    // in full (zeros for data-in) before that status.
    status_ = kStatusFail;
    sense_ = kInternalTargetFailure;
    if (host_.direction == DataIntent::In) {
        dataInLength_ = view_ == DeviceView::Socket ? host_.length : 0;
        return Answer(host_.length, view_ == DeviceView::Usb);
    }
    phase_ = Phase::DataOut;
    outstanding_ = host_.length;
    // On USB, 0x02 halts at the phase's first transfer.
    if (view_ == DeviceView::Usb) StallDataPhase();
}

void BulkOnlyDevice::Answer(uint32_t residue, bool stallIn) {
    if (fault_ == FaultKind::NoAnswer) {
        // Nothing goes back for this command: the host's transfers time out and its next
        // transfer is a new wrapper (or, on USB, its reset recovery).
        phase_ = Phase::Silent;
        Report();
        return;
    }
    MakeCommandStatusWrapper(csw_, fault_ == FaultKind::BadSignature ? kCbwSignature : kCswSignature, tag_, status_,
                             residue);
    stallIn_ = stallIn;
    // On USB a data-in phase shorter than the host's still has a transfer: a short one.
    const bool dataPhase = dataInLength_ > 0 || stallIn_ ||
                           (view_ == DeviceView::Usb && host_.direction == DataIntent::In);
    phase_ = dataPhase ? Phase::DataIn : Phase::Status;
    Report();
}

void BulkOnlyDevice::Report(const char* note) {
    ++finished_;
    if (!listener_) return;
    CommandOutcome o;
    o.wellFormed = wellFormed_;
    o.wrapperSize = wrapperSize_;
    o.command = wellFormed_ ? &command_ : nullptr;
    o.fault = fault_;
    o.dataOut = dataOut_;
    o.reply = reply_;
    o.dataInLength = stallIn_ ? 0 : dataInLength_;
    o.status = phase_ == Phase::Silent || note != nullptr ? -1 : status_;
    o.note = note;
    listener_->OnOutcome(o);
}

UsbStatus BulkOnlyDevice::In(size_t capacity, std::vector<uint8_t>* data) {
    if (view_ == DeviceView::Usb && halt_[kIn]) return UsbStatus::Stall;
    if (phase_ == Phase::DataIn) {
        if (stallIn_) {
            // Halted in place of the data phase; the status follows once the halt is cleared.
            stallIn_ = false;
            halt_[kIn] = true;
            phase_ = Phase::Status;
            return UsbStatus::Stall;
        }
        const size_t n = std::min(capacity, dataInLength_ - dataInSent_);
        data->assign(n, 0);
        if (dataInSent_ < reply_.size())
            std::copy_n(reply_.begin() + static_cast<long>(dataInSent_), std::min(n, reply_.size() - dataInSent_),
                        data->begin());
        dataInSent_ += n;
        // A phase that ends before the host's length ends with a short transfer: after a
        // full one, a zero-length transfer follows.
        const bool zeroLengthNext = view_ == DeviceView::Usb && dataInLength_ < host_.length && n > 0 && n == capacity;
        if (dataInSent_ == dataInLength_ && !zeroLengthNext) phase_ = Phase::Status;
        return UsbStatus::Ack;
    }
    if (phase_ == Phase::Status) {
        if (stallStatus_) {
            // Once: the status goes out on the read after the halt is cleared.
            stallStatus_ = false;
            halt_[kIn] = true;
            return UsbStatus::Stall;
        }
        data->assign(csw_, csw_ + std::min(capacity, kCswSize));
        phase_ = Phase::Idle;
        // A device that lost track (phase-error) takes nothing more before reset recovery.
        if (fault_ == FaultKind::PhaseError && view_ == DeviceView::Usb) halt_[kIn] = halt_[kOut] = resetRecovery_ = true;
        return UsbStatus::Ack;
    }
    return UsbStatus::Nak;
}

void BulkOnlyDevice::StallDataPhase() {
    uint32_t residue = 0;
    Pipe pipe = kIn;
    if (phase_ == Phase::DataOut) {
        // The command is not carried out: its data never arrived in full.
        residue = outstanding_;
        pipe = kOut;
    } else if (phase_ == Phase::DataIn) {
        residue = static_cast<uint32_t>(host_.length - dataInSent_);
    } else {
        return;
    }
    const bool report = phase_ == Phase::DataOut;
    reply_.clear();
    dataInLength_ = 0;
    dataInSent_ = 0;
    stallIn_ = false;
    status_ = kStatusFail;
    MakeCommandStatusWrapper(csw_, kCswSignature, tag_, kStatusFail, residue);
    if (view_ == DeviceView::Usb) halt_[pipe] = true;
    phase_ = Phase::Status;
    if (report) Report();
}

void BulkOnlyDevice::Disconnect() {
    if (phase_ == Phase::DataOut) Report("connection lost in the data phase");
    phase_ = Phase::Idle;
}

void BulkOnlyDevice::ClearHalt(uint8_t endpoint) {
    // After an invalid wrapper only the class reset lets the halts be cleared.
    if (resetRecovery_) return;
    halt_[endpoint & 0x80 ? kIn : kOut] = false;
}

void BulkOnlyDevice::ClassReset() {
    if (phase_ == Phase::DataOut) Report("reset in the data phase");
    phase_ = Phase::Idle;
    resetRecovery_ = false;
}

void BulkOnlyDevice::BusReset() {
    ClassReset();
    halt_[kIn] = halt_[kOut] = false;
    sense_ = kNoSense;
}

}  // namespace emu
