#include "emu/bulk_only_device.h"

#include <algorithm>
#include <cstring>

#include "link/endian.h"

namespace emu {

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

void BulkOnlyDevice::Out(std::span<const uint8_t> data) {
    if (phase_ == Phase::DataOut) {
        // A transfer longer than the announced phase is a phase error, as on the socket.
        const bool overlong = data.size() > outstanding_;
        const size_t take = std::min<size_t>(data.size(), outstanding_);
        // As on the socket, no more than kMaxDeviceDataOut is kept: a longer phase is counted
        // but fails, rather than letting the announced length size an allocation.
        if (dataOut_.size() + take <= kMaxDeviceDataOut)
            dataOut_.insert(dataOut_.end(), data.begin(), data.begin() + static_cast<long>(take));
        outstanding_ -= static_cast<uint32_t>(take);
        if (overlong) {
            Finish(kStatusPhaseError);
        } else if (outstanding_ == 0) {
            Finish(kStatusPass);
        }
        return;
    }

    ++commands_;
    dataOut_.clear();
    dataIn_.clear();
    dataInLength_ = 0;
    dataInSent_ = 0;
    if (!ParseCommandBlockWrapper(data.data(), data.size(), &command_, &tag_)) {
        command_ = CommandBlock{};
        Finish(kStatusPhaseError);
        return;
    }
    if (!command_.dataIn && command_.transferLength > 0) {
        phase_ = Phase::DataOut;
        outstanding_ = command_.transferLength;
        return;
    }
    Finish(kStatusPass);
}

void BulkOnlyDevice::Finish(uint8_t status) {
    std::vector<uint8_t> reply;
    if (status == kStatusPass && !command_.dataIn && dataOut_.size() != command_.transferLength) status = kStatusFail;
    if (status == kStatusPass) status = model_.Execute(command_, dataOut_, reply);
    // A data-in phase is always the announced length: the reply cut, or padded with
    // zeros as it is sent (the announced length is the host's and may be anything).
    if (command_.dataIn && command_.transferLength > 0) {
        if (reply.size() > command_.transferLength) reply.resize(command_.transferLength);
        dataIn_ = std::move(reply);
        dataInLength_ = command_.transferLength;
    }
    MakeCommandStatusWrapper(csw_, kCswSignature, tag_, status);
    phase_ = Phase::Answer;
}

bool BulkOnlyDevice::In(size_t capacity, std::vector<uint8_t>* data) {
    if (phase_ != Phase::Answer) return false;
    if (dataInSent_ < dataInLength_) {
        const size_t n = std::min(capacity, dataInLength_ - dataInSent_);
        data->assign(n, 0);
        if (dataInSent_ < dataIn_.size())
            std::copy_n(dataIn_.begin() + static_cast<long>(dataInSent_), std::min(n, dataIn_.size() - dataInSent_),
                        data->begin());
        dataInSent_ += n;
        return true;
    }
    data->assign(csw_, csw_ + std::min(capacity, kCswSize));
    phase_ = Phase::Idle;
    return true;
}

void BulkOnlyDevice::StallDataPhase() {
    uint32_t residue = 0;
    if (phase_ == Phase::DataOut) {
        // The command is not carried out: its data never arrived in full.
        residue = outstanding_;
    } else if (phase_ == Phase::Answer && dataInSent_ < dataInLength_) {
        residue = static_cast<uint32_t>(dataInLength_ - dataInSent_);
    } else {
        return;
    }
    dataIn_.clear();
    dataInLength_ = 0;
    dataInSent_ = 0;
    MakeCommandStatusWrapper(csw_, kCswSignature, tag_, kStatusFail, residue);
    phase_ = Phase::Answer;
}

}  // namespace emu
