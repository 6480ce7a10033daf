// The storage pass-through request as the Linux build defines it for itself: the
// platform's fields, in the platform's order, with the platform's widths. The Windows
// build uses the record of <ntddscsi.h> and checks, at compile time, that this one lays
// out every field at the same offset (drive_windows.cpp).
#pragma once
#include <cstdint>

struct PassThroughDirectLayout {
    uint16_t Length;
    uint8_t ScsiStatus;
    uint8_t PathId;
    uint8_t TargetId;
    uint8_t Lun;
    uint8_t CdbLength;
    uint8_t SenseInfoLength;
    uint8_t DataIn;
    uint32_t DataTransferLength;
    uint32_t TimeOutValue;
    void* DataBuffer;
    uint32_t SenseInfoOffset;
    uint8_t Cdb[16];
};
static_assert(sizeof(void*) != 4 || sizeof(PassThroughDirectLayout) == 44, "the 32-bit layout is 44 bytes");
