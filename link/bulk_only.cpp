// Bulk-only framing of the pass-through record: Command Block Wrapper on the OUT pipe,
// the data phase in pieces, and the Command Status Wrapper from the IN pipe. The status
// alone decides the outcome of an exchange.
#include <cstdio>
#include <cstring>
#include <string>

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

// The command a record carries, for the words of a failure.
std::string CommandName(const SCSI_PASS_THROUGH_DIRECT& sptd) {
    char name[40];
    if (sptd.Cdb[0] == 0xFE)
        snprintf(name, sizeof name, "command 0x%02X", sptd.Cdb[6]);
    else
        snprintf(name, sizeof name, "SCSI command 0x%02X", sptd.Cdb[0]);
    return name;
}

// What each phase does, in words.
const char* PhaseWords(const char* phase) {
    if (std::strcmp(phase, "CBW") == 0) return "sending";
    if (std::strcmp(phase, "DATA") == 0) return "moving the data of";
    return "reading the status of";
}

// A failed pipe transfer of one phase ("CBW", "DATA", "CSW"), with the platform's code.
// When the backend says the device is gone, the report says so and is the last one: the
// exchanges that follow fail at once. True in that case.
bool ReportTransferFailure(PipeDevice* device, const char* phase, const SCSI_PASS_THROUGH_DIRECT& sptd) {
    if (device == nullptr) {
        ReportFailure("[FAIL] %s (%d)", phase, 0);
        Explain("%s %s failed: no device is open", PhaseWords(phase), CommandName(sptd).c_str());
        return false;
    }
    const int code = device->Backend->LastError(device->Device);
    device->Gone = device->Backend->Gone != nullptr && device->Backend->Gone(device->Device);
    ReportFailure(device->Gone ? "[FAIL] %s (%d): the controller is gone; no further commands are sent"
                               : "[FAIL] %s (%d)",
                  phase, code);
    const std::string error = device->Backend->DescribeError ? device->Backend->DescribeError(code)
                                                             : "error " + std::to_string(code);
    Explain("%s %s failed: %s%s", PhaseWords(phase), CommandName(sptd).c_str(), error.c_str(),
            device->Gone ? "; the controller is gone" : "");
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
    if (pipeDevice != nullptr && pipeDevice->Gone) {
        Explain("the controller is gone (it stopped answering earlier); %s was not sent", CommandName(sptd).c_str());
        return 0;
    }

    uint8_t cbw[kCbwLength] = {};
    PutLe32(cbw + 0, kCbwSignature);
    PutLe32(cbw + 4, kCbwTag);
    PutLe32(cbw + 8, sptd.DataTransferLength);
    cbw[12] = static_cast<uint8_t>(sptd.DataIn << 7);
    cbw[13] = sptd.Lun;
    cbw[14] = sptd.CdbLength;
    std::memcpy(cbw + 15, sptd.Cdb, sptd.CdbLength <= 16 ? sptd.CdbLength : 16);

    if (!PipeTransfer(pipeDevice, kPipeOut, cbw, kCbwLength)) {
        ReportTransferFailure(pipeDevice, "CBW", sptd);
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
                if (ReportTransferFailure(pipeDevice, "DATA", sptd)) return 0;  // no status will come
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
        ReportTransferFailure(pipeDevice, "CSW", sptd);
        return 0;
    }
    const uint32_t signature = GetLe32(csw + 0);
    if (signature != kCswSignature) {
        ReportFailure("[FAIL] CSW Signature (0x%08X)", signature);
        Explain("the status of %s is not a status (signature 0x%08X)", CommandName(sptd).c_str(), signature);
        return 0;
    }
    if (csw[12] != 0) {
        ReportFailure("[FAIL] CSW Status (%d)", csw[12]);
        Explain("the controller refused %s (status %d)", CommandName(sptd).c_str(), csw[12]);
        return 0;
    }
    // The count the device claims (length less residue), but never more than really
    // arrived: a short data phase with a zero residue must not pass for a full reply.
    const uint32_t claimed = total - GetLe32(csw + 8);
    if (bytesReturned) *bytesReturned = claimed < received ? claimed : received;
    return 1;
}

bool FindPipeController(const PipeBackend& backend) {
    DeviceState& ds = g_DeviceState;
    ds.TransportFn = BulkOnlyTransport;
    void* opened = backend.Open();
    if (opened == nullptr) {
        ds.hDevice = nullptr;
        return false;
    }
    ds.hDevice = new PipeDevice{&backend, opened};
    if (Inquiry() && InquiryTextMatches()) {
        ds.TransportKind = kTransportBulkOnly;
        return true;
    }
    backend.Close(opened);
    delete static_cast<PipeDevice*>(ds.hDevice);
    ds.hDevice = nullptr;
    return false;
}
