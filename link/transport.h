// The command envelope shared by every controller operation: the pass-through record,
// the vendor command block, the single transport call and the shared data buffer.
#pragma once
#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
// The device-control types and the pass-through record only: <windows.h> would bring
// the window manager's macros (LoadBitmap, ...) into every file that sends a command.
#include <windef.h>
#include <handleapi.h>
#include <minwinbase.h>
#include <winioctl.h>
#include <ntddscsi.h>
#else
#include "link/sptd_layout.h"

// The platform's device-control types, as the Windows storage pass-through defines them.
using BOOL = int;
using DWORD = uint32_t;
using HANDLE = void*;
struct OVERLAPPED;
using LPOVERLAPPED = OVERLAPPED*;
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(~uintptr_t{0}))

// The storage pass-through request with the platform's fields in the platform's order.
using SCSI_PASS_THROUGH_DIRECT = PassThroughDirectLayout;
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
