// Serial-flash commands and the range operations that stage flash contents through a
// region of controller memory, one 32 KiB piece at a time.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "commands/commands.h"
#include "link/device_state.h"
#include "link/endian.h"
#include "link/report.h"

namespace {

uint8_t SendSpiCmd(uint8_t subCommand, const SPICmd& cmd) {
    SCSI_PASS_THROUGH_DIRECT stSPTDBuf;
    FillPassThrough(stSPTDBuf, kVendorOpcode, subCommand, 0, 12, TransferBuffer);
    PutBe32(TransferBuffer + 0, cmd.FlashAddress);
    PutBe32(TransferBuffer + 4, cmd.MemoryAddress);
    PutBe32(TransferBuffer + 8, cmd.ByteCount);
    return CallTransport(stSPTDBuf);
}

FlashProgressFn g_progress = nullptr;

void Progress(const char* phase, uint32_t done, uint32_t total) {
    if (g_progress != nullptr) g_progress(phase, done, total);
}

uint32_t PieceCount(uint32_t count) { return count / kFlashPiece + (count % kFlashPiece != 0 ? 1 : 0); }

}  // namespace

void SetFlashProgress(FlashProgressFn progress) { g_progress = progress; }

FlashProgressFn CurrentFlashProgress() { return g_progress; }

uint8_t EraseFlash(const ArgErase& arg) {
    SCSI_PASS_THROUGH_DIRECT stSPTDBuf;
    FillPassThrough(stSPTDBuf, kVendorOpcode, kCmdEraseFlash, 0, 8, TransferBuffer);
    PutBe32(TransferBuffer + 0, arg.FlashAddress);
    PutBe32(TransferBuffer + 4, arg.Size);
    return CallTransport(stSPTDBuf);
}

uint8_t ReadFlashToMemory(const SPICmd& cmd) { return SendSpiCmd(kCmdReadFlash, cmd); }

uint8_t WriteFlashFromMemory(const SPICmd& cmd) { return SendSpiCmd(kCmdWriteFlash, cmd); }

int32_t EraseFlashRange(uint32_t address, uint32_t count) {
    const uint32_t blocks = count / kFlashEraseBlock + (count % kFlashEraseBlock != 0 ? 1 : 0);
    ArgErase stArgErase{0, kFlashEraseBlock};
    for (uint32_t i = 0; i < blocks; ++i) {
        stArgErase.FlashAddress = address + i * kFlashEraseBlock;
        EraseFlash(stArgErase);
        Progress("erase", static_cast<uint32_t>(std::min<uint64_t>(count, uint64_t{i + 1} * kFlashEraseBlock)), count);
    }
    return static_cast<int32_t>(blocks);
}

namespace {

// Walks a range in 32 KiB pieces, the last one holding the remainder: step gets each
// piece's flash command record (staged at `staging`) and its offset in the range.
template <typename Step>
void ForEachPiece(uint32_t address, uint32_t count, uint32_t staging, const char* phase, Step step) {
    uint32_t remaining = count;
    for (uint32_t i = 0, pieces = PieceCount(count); i < pieces; ++i) {
        const uint32_t piece = remaining > kFlashPiece ? kFlashPiece : remaining;
        const SPICmd stSPICmdArg{address + i * kFlashPiece, staging, piece};
        step(stSPICmdArg, size_t{i} * kFlashPiece);
        remaining -= piece;
        Progress(phase, count - remaining, count);
    }
}

}  // namespace

int ReadFlashRange(uint32_t address, uint32_t count, uint8_t* destination, uint32_t staging) {
    // Each piece: flash into controller memory, then memory to the host.
    ForEachPiece(address, count, staging, "read", [&](const SPICmd& cmd, size_t offset) {
        ReadFlashToMemory(cmd);
        ReadMemory(staging, static_cast<uint16_t>(cmd.ByteCount), destination + offset);
    });
    return 1;
}

bool VerifyFlashRange(uint32_t address, uint32_t count, const uint8_t* expected, uint8_t* readBack,
                      uint32_t staging) {
    // A flash read that does not happen leaves the staging area as it was, and after a
    // write that is the very data being checked. So each piece first fills the staging
    // area with the complement of the expected bytes: whatever the flash read fails to
    // replace differs in every bit. The complement goes out from readBack, which the
    // read then overwrites.
    bool equal = true;
    ForEachPiece(address, count, staging, "verify", [&](const SPICmd& cmd, size_t offset) {
        const auto length = static_cast<uint16_t>(cmd.ByteCount);
        uint8_t* piece = readBack + offset;
        for (uint32_t i = 0; i < length; ++i) piece[i] = static_cast<uint8_t>(~expected[offset + i]);
        const bool staged = WriteMemory(staging, length, piece) != 0;
        const bool read = ReadFlashToMemory(cmd) != 0;
        const bool returned = ReadMemoryInFull(staging, length, piece);
        equal = equal && staged && read && returned && std::memcmp(piece, expected + offset, length) == 0;
    });
    return equal;
}

int WriteFlashRange(uint32_t address, uint32_t count, const uint8_t* source, uint32_t staging) {
    // Each piece: host into controller memory, then programmed from there.
    ForEachPiece(address, count, staging, "write", [&](const SPICmd& cmd, size_t offset) {
        WriteMemory(staging, static_cast<uint16_t>(cmd.ByteCount), source + offset);
        WriteFlashFromMemory(cmd);
    });
    return 1;
}

bool ReadFlashText(uint32_t flashAddress, uint8_t (&text)[16]) {
    // The two commands of ReadFlashRange for one 16-byte piece, with their results.
    const SPICmd stSPICmd{flashAddress, ImageBufferAddress(), sizeof text};
    const bool copied = ReadFlashToMemory(stSPICmd) != 0;
    return ReadMemoryInFull(ImageBufferAddress(), sizeof text, text) && copied;
}

void ShowFirmwareVersion() {
    uint8_t ucBuf[16] = {};
    ReadFlashText(kFwVersionFlashAddress, ucBuf);
    // The text ends at the first zero byte, or after all 16 bytes when there is none.
    Say("FW Version : %.16s \r\n", reinterpret_cast<const char*>(ucBuf));
}
