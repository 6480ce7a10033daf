// Bulk-only framing of the pass-through record: Command Block Wrapper on the OUT pipe,
// the data phase in pieces, and the Command Status Wrapper from the IN pipe. The status
// alone decides the outcome of an exchange.
#include <cstdio>
#include <cstring>

#include "link/device_state.h"
#include "link/endian.h"
#include "link/pipe.h"
#include "link/report.h"
#include "platform/platform.h"

namespace {

constexpr uint32_t kCbwSignature = 0x43425355;  // "USBC"
constexpr uint32_t kCswSignature = 0x53425355;  // "USBS"
constexpr uint32_t kCbwTag = 0x77307740;
constexpr uint32_t kCbwLength = 31;
constexpr uint32_t kCswLength = 13;

// In the tool, someone at a console (on Windows) sees the text in a message box;
// otherwise, and always in the library (a reporter of its own in place), it goes with the
// other diagnostics.
void ReportDiagnostic(const char* message) {
    if (CurrentReporter() == nullptr && ShowDiagnosticBox(message)) return;
    Warn("%s\n", message);
}

template <typename... Args>
void ReportFailure(const char* format, Args... args) {
    char message[96];
    snprintf(message, sizeof message, format, args...);
    ReportDiagnostic(message);
}

// A failed pipe transfer of one phase ("CBW", "DATA", "CSW"), with the platform's code.
// When the backend says the device is gone, the report says so and is the last one: the
// exchanges that follow fail at once. True in that case.
bool ReportTransferFailure(PipeDevice* device, const char* phase) {
    if (device == nullptr) {
        ReportFailure("[FAIL] %s (%d)", phase, 0);
        return false;
    }
    const int code = device->Backend->LastError(device->Device);
    device->Gone = device->Backend->Gone != nullptr && device->Backend->Gone(device->Device);
    ReportFailure(device->Gone ? "[FAIL] %s (%d): the controller is gone; no further commands are sent"
                               : "[FAIL] %s (%d)",
                  phase, code);
    return device->Gone;
}

}  // namespace

bool PipeTransfer(PipeDevice* device, uint8_t pipe, uint8_t* buf, uint32_t len, uint32_t* moved) {
    if (device == nullptr) return false;
    uint32_t n = 0;
    const bool ok = device->Backend->Transfer(device->Device, pipe, buf, len, &n);
    if (moved) *moved = ok ? (n < len ? n : len) : 0;
    return ok;
}

BOOL BulkOnlyTransport(HANDLE device, DWORD, void* inBuffer, DWORD, void*, DWORD, DWORD* bytesReturned,
                       LPOVERLAPPED) {
    auto* pipeDevice = static_cast<PipeDevice*>(device);
    const auto& sptd = *static_cast<const SCSI_PASS_THROUGH_DIRECT*>(inBuffer);
    if (pipeDevice != nullptr && pipeDevice->Gone) return 0;

    uint8_t cbw[kCbwLength] = {};
    PutLe32(cbw + 0, kCbwSignature);
    PutLe32(cbw + 4, kCbwTag);
    PutLe32(cbw + 8, sptd.DataTransferLength);
    cbw[12] = static_cast<uint8_t>(sptd.DataIn << 7);
    cbw[13] = sptd.Lun;
    cbw[14] = sptd.CdbLength;
    std::memcpy(cbw + 15, sptd.Cdb, sptd.CdbLength <= 16 ? sptd.CdbLength : 16);

    if (!PipeTransfer(pipeDevice, kPipeOut, cbw, kCbwLength)) {
        ReportTransferFailure(pipeDevice, "CBW");
        return 0;
    }

    const uint32_t total = sptd.DataTransferLength;
    uint32_t received = 0;  // bytes that really moved in the data phase
    if (total != 0) {
        const uint8_t pipe = sptd.DataIn == 1 ? kPipeIn : kPipeOut;
        auto* data = static_cast<uint8_t*>(sptd.DataBuffer);
        for (uint32_t done = 0; done < total;) {
            const uint32_t piece = total - done < kMaxDataPiece ? total - done : kMaxDataPiece;
            uint32_t moved = 0;
            if (!PipeTransfer(pipeDevice, pipe, data + done, piece, &moved)) {
                if (ReportTransferFailure(pipeDevice, "DATA")) return 0;  // no status will come
                break;
            }
            received += moved;
            done += piece;
            // A short IN transfer ends the data phase: the device has nothing more to send.
            if (moved < piece) break;
        }
    }

    uint8_t csw[kCswLength] = {};
    if (!PipeTransfer(pipeDevice, kPipeIn, csw, kCswLength)) {
        ReportTransferFailure(pipeDevice, "CSW");
        return 0;
    }
    const uint32_t signature = GetLe32(csw + 0);
    if (signature != kCswSignature) {
        ReportFailure("[FAIL] CSW Signature (0x%08X)", signature);
        return 0;
    }
    if (csw[12] != 0) {
        ReportFailure("[FAIL] CSW Status (%d)", csw[12]);
        return 0;
    }
    // The count the device claims (length less residue), but never more than really
    // arrived: a short data phase with a zero residue must not pass for a full reply.
    const uint32_t claimed = total - GetLe32(csw + 8);
    if (bytesReturned) *bytesReturned = claimed < received ? claimed : received;
    return 1;
}
