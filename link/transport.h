// The command envelope shared by every controller operation: the pass-through record,
// the vendor command block, the single transport call and the shared data buffer.
#pragma once
#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#include <windows.h>
#include <ntddscsi.h>
#else
// The platform's device-control types, as the Windows storage pass-through defines them.
using BOOL = int;
using DWORD = uint32_t;
using HANDLE = void*;
struct OVERLAPPED;
using LPOVERLAPPED = OVERLAPPED*;
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(~uintptr_t{0}))

// The storage pass-through request with the platform's fields in the platform's order.
// With 32-bit pointers it is 44 bytes long.
struct SCSI_PASS_THROUGH_DIRECT {
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
static_assert(sizeof(void*) != 4 || sizeof(SCSI_PASS_THROUGH_DIRECT) == 44, "the 32-bit layout is 44 bytes");
constexpr DWORD IOCTL_SCSI_PASS_THROUGH_DIRECT = 0x4D014;
#endif

// The transport entry: the device-control signature (handle, control code, input buffer
// and size, output buffer and size, bytes returned, overlapped record).
using TransportFnPtr = BOOL (*)(HANDLE, DWORD, void*, DWORD, void*, DWORD, DWORD*, LPOVERLAPPED);

// Shared data buffer of the commands whose data lives on the host side of the envelope.
constexpr size_t kTransferBufferSize = 0xF400;  // 62,464 bytes
extern uint8_t TransferBuffer[kTransferBufferSize];

constexpr uint8_t kVendorOpcode = 0xFE;
constexpr uint32_t kPassThroughTimeout = 5;  // seconds

// Fills the record for one command: the constant fields, direction, length and buffer,
// and an all-zero block with the operation code in byte 0 and the sub-command in byte 6
// (the sub-command is skipped for operation codes other than the vendor one).
void FillPassThrough(SCSI_PASS_THROUGH_DIRECT& sptd, uint8_t opcode, uint8_t subCommand,
                     uint8_t dataIn, uint32_t length, void* buffer);

// Makes the one transport call of an operation and returns the low byte of its result.
// *returned (when given) receives the transport's bytes-returned count, 0 on failure.
uint8_t CallTransport(SCSI_PASS_THROUGH_DIRECT& sptd, DWORD* returned = nullptr);
