#include "emu/bulk_only_device.h"

#include <algorithm>
#include <cstring>

#include "link/endian.h"

namespace emu {

const char* FaultName(FaultKind kind) {
    switch (kind) {
        case FaultKind::FailStatus: return "fail-status";
        case FaultKind::BadSignature: return "bad-signature";
        case FaultKind::NoAnswer: return "no-answer";
        case FaultKind::ShortData: return "short-data";
        case FaultKind::FlipBit: return "flip-bit";
    }
    return "?";
}

bool ParseCommandBlockWrapper(const uint8_t* data, size_t size, CommandBlock* command, uint32_t* tag) {
    *tag = size >= 8 ? GetLe32(data + 4) : 0;
    const bool wellFormed = size == kCbwSize && GetLe32(data) == kCbwSignature && data[14] == 16 &&
                            (data[12] & 0x7F) == 0 && data[13] == 0;
    if (!wellFormed) return false;
    std::memcpy(command->cdb, data + 15, 16);
    command->dataIn = (data[12] & 0x80) != 0;
    command->transferLength = GetLe32(data + 8);
    return true;
}

void MakeCommandStatusWrapper(uint8_t* csw, uint32_t signature, uint32_t tag, uint8_t status, uint32_t residue) {
    PutLe32(csw, signature);
    PutLe32(csw + 4, tag);
    PutLe32(csw + 8, residue);
    csw[12] = status;
}

BulkOnlyDevice::BulkOnlyDevice(Model& model, DeviceView view, CommandListener* listener)
    : model_(model), view_(view), listener_(listener) {}

UsbStatus BulkOnlyDevice::Out(std::span<const uint8_t> data) {
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
    dataOut_.clear();
    reply_.clear();
    dataInLength_ = 0;
    dataInSent_ = 0;
    outstanding_ = 0;
    command_ = CommandBlock{};
    wellFormed_ = ParseCommandBlockWrapper(data.data(), data.size(), &command_, &tag_);
    if (!wellFormed_) {
        // Refused with a phase error; a fault changes nothing about that.
        fault_.reset();
        command_ = CommandBlock{};
        status_ = kStatusPhaseError;
        MakeCommandStatusWrapper(csw_, kCswSignature, tag_, status_);
        phase_ = Phase::Status;
        Report();
        return;
    }
    if (!command_.dataIn && command_.transferLength > 0) {
        phase_ = Phase::DataOut;
        outstanding_ = command_.transferLength;
        return;
    }
    Complete(false);
}

void BulkOnlyDevice::DataOut(std::span<const uint8_t> data) {
    // A transfer longer than the rest of the phase (or, on a socket, longer than one bulk
    // transfer) is a phase error.
    const bool overlong = data.size() > outstanding_ || (view_ == DeviceView::Socket && data.size() > kMaxSocketTransfer);
    const size_t take = std::min<size_t>(data.size(), outstanding_);
    // No more than kMaxDeviceDataOut is kept: a longer phase is taken in full but fails,
    // rather than letting the announced length size an allocation.
    if (dataOut_.size() + take <= kMaxDeviceDataOut) dataOut_.insert(dataOut_.end(), data.begin(), data.begin() + static_cast<long>(take));
    outstanding_ -= static_cast<uint32_t>(take);
    if (overlong || outstanding_ == 0) Complete(overlong);
}

void BulkOnlyDevice::Complete(bool phaseError) {
    const bool out = !command_.dataIn && command_.transferLength > 0;
    const bool in = command_.dataIn && command_.transferLength > 0;
    const FaultKind fault = fault_.value_or(FaultKind::FlipBit);
    const bool faulty = fault_.has_value();
    if (faulty && fault == FaultKind::ShortData && out) {
        // Only the first half arrived: the controller sees zeros in place of the rest.
        std::fill(dataOut_.begin() + static_cast<long>(dataOut_.size() / 2), dataOut_.end(), 0);
    }
    uint8_t status = kStatusPass;
    if (phaseError) {
        status = kStatusPhaseError;
    } else if (out && dataOut_.size() != command_.transferLength) {
        status = kStatusFail;  // a phase longer than is kept
    } else if (faulty && (fault == FaultKind::FailStatus || fault == FaultKind::NoAnswer)) {
        status = kStatusFail;  // not carried out
    } else {
        status = model_.Execute(command_, dataOut_, reply_, faulty && fault == FaultKind::FlipBit);
    }
    if (status != kStatusPass) reply_.clear();
    status_ = status;

    if (faulty && fault == FaultKind::NoAnswer) {
        // Nothing goes back for this command: the host's transfers time out and its next
        // transfer is a new wrapper.
        phase_ = Phase::Silent;
        Report();
        return;
    }
    if (in) {
        // A data-in phase is always the announced length: the reply cut, or padded with
        // zeros as it is sent (the announced length is the host's and may be anything);
        // short-data sends half of it, as one transfer.
        if (reply_.size() > command_.transferLength) reply_.resize(command_.transferLength);
        dataInLength_ = command_.transferLength;
        if (faulty && fault == FaultKind::ShortData && dataInLength_ >= 2)
            dataInLength_ = std::min<size_t>(dataInLength_ / 2, kMaxSocketTransfer);
    }
    MakeCommandStatusWrapper(csw_, faulty && fault == FaultKind::BadSignature ? kCbwSignature : kCswSignature, tag_,
                             status);
    phase_ = dataInLength_ > 0 ? Phase::DataIn : Phase::Status;
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
    o.dataInLength = dataInLength_;
    o.status = phase_ == Phase::Silent || note != nullptr ? -1 : status_;
    o.note = note;
    listener_->OnOutcome(o);
}

UsbStatus BulkOnlyDevice::In(size_t capacity, std::vector<uint8_t>* data) {
    if (phase_ == Phase::DataIn) {
        const size_t n = std::min(capacity, dataInLength_ - dataInSent_);
        data->assign(n, 0);
        if (dataInSent_ < reply_.size())
            std::copy_n(reply_.begin() + static_cast<long>(dataInSent_), std::min(n, reply_.size() - dataInSent_),
                        data->begin());
        dataInSent_ += n;
        if (dataInSent_ == dataInLength_) phase_ = Phase::Status;
        return UsbStatus::Ack;
    }
    if (phase_ == Phase::Status) {
        data->assign(csw_, csw_ + std::min(capacity, kCswSize));
        phase_ = Phase::Idle;
        return UsbStatus::Ack;
    }
    return UsbStatus::Nak;
}

void BulkOnlyDevice::StallDataPhase() {
    uint32_t residue = 0;
    if (phase_ == Phase::DataOut) {
        // The command is not carried out: its data never arrived in full.
        residue = outstanding_;
    } else if (phase_ == Phase::DataIn) {
        residue = static_cast<uint32_t>(dataInLength_ - dataInSent_);
    } else {
        return;
    }
    const bool report = phase_ == Phase::DataOut;
    reply_.clear();
    dataInLength_ = 0;
    dataInSent_ = 0;
    status_ = kStatusFail;
    MakeCommandStatusWrapper(csw_, kCswSignature, tag_, kStatusFail, residue);
    phase_ = Phase::Status;
    if (report) Report();
}

void BulkOnlyDevice::Disconnect() {
    if (phase_ == Phase::DataOut) Report("connection lost in the data phase");
    phase_ = Phase::Idle;
}

void BulkOnlyDevice::ClearHalt(uint8_t) {}

void BulkOnlyDevice::ClassReset() {
    if (phase_ == Phase::DataOut) Report("reset in the data phase");
    phase_ = Phase::Idle;
}

void BulkOnlyDevice::BusReset() { ClassReset(); }

}  // namespace emu
