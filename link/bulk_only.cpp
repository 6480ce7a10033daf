// Bulk-only framing of the pass-through record, and the recovery the Bulk-Only class
// prescribes (with the Linux host's usb-storage driver as the model): the Command Block
// Wrapper on the OUT pipe, the data phase in pieces, the Command Status Wrapper from the
// IN pipe. A stall is an answer of the device, cleared and followed by the status; a
// broken exchange, a phase error or an invalid status wrapper is followed by reset
// recovery, so that the next command starts on a device and pipes in step.
#include <cstdio>
#include <cstring>
#include <string>

#include "link/bulk_only_wire.h"
#include "link/device_state.h"
#include "link/pipe.h"
#include "link/report.h"
#include "platform/platform.h"

using bot::CommandResult;

namespace {

constexpr const char* kGoneText = ": the controller is gone; no further commands are sent";

// In the tool, someone at a console (on Windows) sees the text in a message box;
// otherwise, and always in the library (a reporter of its own in place), it goes with the
// other diagnostics.
void ReportDiagnostic(const char* message) {
    if (CurrentReporter() == nullptr && ShowDiagnosticBox(message)) return;
    Warn("%s\n", message);
}

template <typename... Args>
void ReportFailure(const char* format, Args... args) {
    char message[128];
    snprintf(message, sizeof message, format, args...);
    ReportDiagnostic(message);
}

int LastErrorOf(PipeDevice* device) { return device->Backend->LastError(device->Device); }

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

std::string ErrorWords(PipeDevice* device) {
    const int code = LastErrorOf(device);
    return device->Backend->DescribeError ? device->Backend->DescribeError(code) : "error " + std::to_string(code);
}

// A failed transfer of one phase ("CBW", "DATA", "CSW") with the platform's code; when
// the device is gone the report says so and is the last one. A stall the adapter clears
// and recovers from is not the command's failure, so it is not told in words.
void ReportTransfer(PipeDevice* device, const char* phase, TransferResult result, const SCSI_PASS_THROUGH_DIRECT& sptd) {
    if (result == TransferResult::kGone) device->Gone = true;
    ReportFailure("[FAIL] %s (%d)%s", phase, LastErrorOf(device), device->Gone ? kGoneText : "");
    if (result != TransferResult::kStalled)
        Explain("%s %s failed: %s%s", PhaseWords(phase), CommandName(sptd).c_str(), ErrorWords(device).c_str(),
                device->Gone ? "; the controller is gone" : "");
}

TransferResult ClearHalt(PipeDevice* device, uint8_t pipe) {
    const PipeBackend& b = *device->Backend;
    return b.ClearHalt ? b.ClearHalt(device->Device, pipe) : TransferResult::kGood;
}

// Ends a command whose exchange broke: reset recovery, then the result.
CommandResult Broken(PipeDevice* device) {
    if (device->Gone) return CommandResult::kGone;
    ResetRecovery(device);
    return device->Gone ? CommandResult::kGone : CommandResult::kTransportError;
}

// The status phase: one read, once more after a stall (its halt cleared), once more after
// a zero-length packet that some devices send at the end of their data.
TransferResult ReadStatus(PipeDevice* device, uint8_t (&csw)[bot::kCswLength], uint32_t* length) {
    TransferResult r = PipeTransfer(device, kPipeIn, csw, bot::kCswLength, length);
    if (r == TransferResult::kShort && *length == 0) r = PipeTransfer(device, kPipeIn, csw, bot::kCswLength, length);
    if (r == TransferResult::kStalled) {
        const TransferResult cleared = ClearHalt(device, kPipeIn);
        if (cleared == TransferResult::kGone) return cleared;
        if (cleared == TransferResult::kGood) r = PipeTransfer(device, kPipeIn, csw, bot::kCswLength, length);
    }
    return r;
}

}  // namespace

TransferResult PipeTransfer(PipeDevice* device, uint8_t pipe, uint8_t* buf, uint32_t len, uint32_t* moved) {
    uint32_t n = 0;
    const TransferResult r = device->Backend->Transfer(device->Device, pipe, buf, len, &n);
    if (moved) *moved = n < len ? n : len;
    return r;
}

bool ResetRecovery(PipeDevice* device) {
    const PipeBackend& b = *device->Backend;
    if (b.ClassReset == nullptr) return true;
    const TransferResult reset = b.ClassReset(device->Device);
    // The halts are cleared whatever the reset did: a device that took it has halted
    // nothing more, one that did not may still get going again.
    const TransferResult in = reset == TransferResult::kGone ? reset : ClearHalt(device, kPipeIn);
    const TransferResult out = in == TransferResult::kGone ? in : ClearHalt(device, kPipeOut);
    if (reset == TransferResult::kGone || in == TransferResult::kGone || out == TransferResult::kGone) {
        device->Gone = true;
        ReportFailure("[FAIL] Reset recovery (%d)%s", LastErrorOf(device), kGoneText);
        Explain("the reset recovery failed: %s; the controller is gone", ErrorWords(device).c_str());
        return false;
    }
    if (reset != TransferResult::kGood || in != TransferResult::kGood || out != TransferResult::kGood) {
        ReportFailure("[FAIL] Reset recovery (%d)", LastErrorOf(device));
        Explain("the reset recovery failed: %s", ErrorWords(device).c_str());
        return false;
    }
    return true;
}

CommandResult BulkOnlyCommand(PipeDevice* device, const SCSI_PASS_THROUGH_DIRECT& sptd, DWORD* returned) {
    if (device->Gone) {
        Explain("the controller is gone (it stopped answering earlier); %s was not sent", CommandName(sptd).c_str());
        return CommandResult::kGone;
    }

    bot::CommandBlockWrapper w;
    w.Tag = ++device->Tag;
    w.DataTransferLength = sptd.DataTransferLength;
    w.Flags = sptd.DataIn == 1 ? bot::kCbwFlagDataIn : 0;
    w.Lun = sptd.Lun;
    w.CbLength = sptd.CdbLength;
    std::memcpy(w.Cb, sptd.Cdb, sizeof w.Cb);
    uint8_t cbw[bot::kCbwLength];
    bot::PackCbw(w, cbw);

    TransferResult r = PipeTransfer(device, kPipeOut, cbw, bot::kCbwLength);
    if (r != TransferResult::kGood) {
        // The device did not take the command (a stall included): it must be reset before
        // it takes another.
        ReportTransfer(device, "CBW", r, sptd);
        return Broken(device);
    }

    const uint32_t total = sptd.DataTransferLength;
    uint32_t received = 0;  // bytes that really moved in the data phase
    if (total != 0) {
        const uint8_t pipe = sptd.DataIn == 1 ? kPipeIn : kPipeOut;
        auto* data = static_cast<uint8_t*>(sptd.DataBuffer);
        for (uint32_t done = 0; done < total;) {
            const uint32_t piece = total - done < kMaxDataPiece ? total - done : kMaxDataPiece;
            uint32_t moved = 0;
            r = PipeTransfer(device, pipe, data + done, piece, &moved);
            received += moved;
            done += piece;
            if (r == TransferResult::kGood) continue;
            // A short transfer ends the data phase: the device has nothing more to move.
            if (r == TransferResult::kShort) break;
            ReportTransfer(device, "DATA", r, sptd);
            if (r != TransferResult::kStalled) return Broken(device);
            // The device ended the phase with a stall: cleared, the status tells the rest.
            const TransferResult cleared = ClearHalt(device, pipe);
            if (cleared == TransferResult::kGone) device->Gone = true;
            if (cleared != TransferResult::kGood) return Broken(device);
            break;
        }
    }

    uint8_t csw[bot::kCswLength] = {};
    uint32_t length = 0;
    r = ReadStatus(device, csw, &length);
    if (r != TransferResult::kGood && r != TransferResult::kShort) {
        ReportTransfer(device, "CSW", r, sptd);
        return Broken(device);
    }
    const bot::CommandStatusWrapper status = bot::UnpackCsw(csw);
    switch (bot::CheckCsw(status, length, w.Tag)) {
    case bot::CswCheck::kValid: break;
    case bot::CswCheck::kWrongLength:
        ReportFailure("[FAIL] CSW Length (%u)", length);
        Explain("the status of %s is %u bytes long, not %u", CommandName(sptd).c_str(), length,
                static_cast<unsigned>(bot::kCswLength));
        return Broken(device);
    case bot::CswCheck::kWrongSignature:
        ReportFailure("[FAIL] CSW Signature (0x%08X)", status.Signature);
        Explain("the status of %s is not a status (signature 0x%08X)", CommandName(sptd).c_str(), status.Signature);
        return Broken(device);
    case bot::CswCheck::kWrongTag:
        ReportFailure("[FAIL] CSW Tag (0x%08X, sent 0x%08X)", status.Tag, w.Tag);
        Explain("the status of %s belongs to another command (tag 0x%08X, sent 0x%08X)", CommandName(sptd).c_str(),
                status.Tag, w.Tag);
        return Broken(device);
    case bot::CswCheck::kWrongStatus:
        ReportFailure("[FAIL] CSW Status (%d)", status.Status);
        Explain("the status of %s has no meaning (status %d)", CommandName(sptd).c_str(), status.Status);
        return Broken(device);
    }
    if (status.Status != bot::kStatusPassed) {
        ReportFailure("[FAIL] CSW Status (%d)", status.Status);
        if (status.Status == bot::kStatusFailed) {
            Explain("the controller refused %s (status %d)", CommandName(sptd).c_str(), status.Status);
            return CommandResult::kFailed;
        }
        Explain("the controller lost track of %s (phase error, status %d)", CommandName(sptd).c_str(), status.Status);
        ResetRecovery(device);
        return device->Gone ? CommandResult::kGone : CommandResult::kPhaseError;
    }
    // The count the device claims (length less residue, a residue past the length taken
    // as the whole length), but never more than really arrived: a short data phase with a
    // zero residue must not pass for a full reply.
    const uint32_t residue = status.DataResidue < total ? status.DataResidue : total;
    const uint32_t claimed = total - residue;
    if (returned) *returned = claimed < received ? claimed : received;
    return CommandResult::kPassed;
}

BOOL BulkOnlyTransport(HANDLE device, DWORD, void* inBuffer, DWORD, void*, DWORD, DWORD* bytesReturned,
                       LPOVERLAPPED) {
    const auto& sptd = *static_cast<const SCSI_PASS_THROUGH_DIRECT*>(inBuffer);
    if (device == nullptr) {
        ReportFailure("[FAIL] CBW (%d)", 0);
        Explain("sending %s failed: no device is open", CommandName(sptd).c_str());
        return 0;
    }
    return BulkOnlyCommand(static_cast<PipeDevice*>(device), sptd, bytesReturned) == CommandResult::kPassed;
}
