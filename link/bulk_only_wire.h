// The USB Mass Storage Bulk-Only Transport on the wire, for both of its ends: the host's
// adapter (link/bulk_only.cpp) and a device side. The two wrappers field by field
// (little-endian), their signatures and sizes, the status codes, the class requests, and
// the two levels of result: one per pipe transfer, one per command.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "link/endian.h"

namespace bot {

constexpr uint32_t kCbwSignature = 0x43425355;  // "USBC"
constexpr uint32_t kCswSignature = 0x53425355;  // "USBS"
constexpr size_t kCbwLength = 31;
constexpr size_t kCswLength = 13;
constexpr size_t kMaxCbLength = 16;
constexpr uint8_t kCbwFlagDataIn = 0x80;  // bmCBWFlags bit 7; the other bits are reserved

// bCSWStatus.
constexpr uint8_t kStatusPassed = 0;
constexpr uint8_t kStatusFailed = 1;
constexpr uint8_t kStatusPhaseError = 2;

// The class requests on the default pipe: Bulk-Only Mass Storage Reset (host to
// interface, no data) and Get Max LUN (interface to host, one byte).
constexpr uint8_t kRequestTypeClassToInterface = 0x21;
constexpr uint8_t kRequestTypeClassFromInterface = 0xA1;
constexpr uint8_t kRequestReset = 0xFF;
constexpr uint8_t kRequestGetMaxLun = 0xFE;

struct CommandBlockWrapper {
    uint32_t Tag = 0;
    uint32_t DataTransferLength = 0;
    uint8_t Flags = 0;
    uint8_t Lun = 0;
    uint8_t CbLength = 0;
    uint8_t Cb[kMaxCbLength] = {};
};

struct CommandStatusWrapper {
    uint32_t Signature = 0;
    uint32_t Tag = 0;
    uint32_t DataResidue = 0;
    uint8_t Status = 0;
};

inline void PackCbw(const CommandBlockWrapper& w, uint8_t (&out)[kCbwLength]) {
    std::memset(out, 0, sizeof out);
    PutLe32(out + 0, kCbwSignature);
    PutLe32(out + 4, w.Tag);
    PutLe32(out + 8, w.DataTransferLength);
    out[12] = w.Flags;
    out[13] = w.Lun;
    out[14] = w.CbLength;
    std::memcpy(out + 15, w.Cb, w.CbLength <= kMaxCbLength ? w.CbLength : kMaxCbLength);
}

// The fields of a wrapper of `size` bytes; false when it is not one (wrong size or
// signature). What the device takes beyond that (block length, flags, LUN) is its own.
inline bool UnpackCbw(const uint8_t* data, size_t size, CommandBlockWrapper* w) {
    if (size != kCbwLength || GetLe32(data) != kCbwSignature) return false;
    w->Tag = GetLe32(data + 4);
    w->DataTransferLength = GetLe32(data + 8);
    w->Flags = data[12];
    w->Lun = data[13];
    w->CbLength = data[14];
    std::memcpy(w->Cb, data + 15, kMaxCbLength);
    return true;
}

inline void PackCsw(const CommandStatusWrapper& w, uint8_t (&out)[kCswLength]) {
    PutLe32(out + 0, w.Signature);
    PutLe32(out + 4, w.Tag);
    PutLe32(out + 8, w.DataResidue);
    out[12] = w.Status;
}

inline CommandStatusWrapper UnpackCsw(const uint8_t (&in)[kCswLength]) {
    return {GetLe32(in + 0), GetLe32(in + 4), GetLe32(in + 8), in[12]};
}

// What the host makes of a status wrapper: valid when it is 13 bytes long, carries the
// signature and the tag of the command, and a status of 0, 1 or 2.
enum class CswCheck { kValid, kWrongLength, kWrongSignature, kWrongTag, kWrongStatus };

inline CswCheck CheckCsw(const CommandStatusWrapper& csw, size_t length, uint32_t tag) {
    if (length != kCswLength) return CswCheck::kWrongLength;
    if (csw.Signature != kCswSignature) return CswCheck::kWrongSignature;
    if (csw.Tag != tag) return CswCheck::kWrongTag;
    if (csw.Status > kStatusPhaseError) return CswCheck::kWrongStatus;
    return CswCheck::kValid;
}

// One pipe transfer (or control request), as the bus ended it.
enum class TransferResult {
    kGood,     // all bytes moved
    kShort,    // completed with fewer bytes than asked (a short packet)
    kStalled,  // the endpoint answered STALL: its halt must be cleared
    kError,    // anything else: a time-out, an overflow, a transport error
    kGone,     // the device is no longer there: nothing more will move
};

// One command, as the host ends it.
enum class CommandResult {
    kPassed,          // status 0
    kFailed,          // status 1: the device refused the command
    kPhaseError,      // status 2: followed by reset recovery
    kTransportError,  // the exchange broke (or the status wrapper was invalid): reset recovery
    kGone,            // the device went away: no further command is sent
};

}  // namespace bot
