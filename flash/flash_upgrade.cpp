// Firmware and waveform upgrade. When the image goes to flash address 0, its 16-byte
// header is written as 0xFF with the rest of the image and only written for real once
// the whole image has been read back equal: a failed upgrade leaves a header the boot
// code rejects -- read back to show it -- or says that it could not. Stop requests (Ctrl-C,
// SIGTERM, SIGHUP) wait from the first erase until the outcome is out; SIGKILL and lost
// power cannot be held off, and before the header page they leave the header erased.
//
// Nothing is erased unless the controller's system information arrived in full (the
// waveform address comes from it) and the erased span lies below 2^32, where flash
// addresses would wrap to the firmware at 0. The file is opened and read once: the
// header that is checked is the header that is written.
#include "flash/flash_upgrade.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "commands/commands.h"
#include "link/device_state.h"
#include "link/report.h"
#include "platform/platform.h"

namespace {

constexpr uint8_t fwHeader[16] = {'Q', 'P', 'X', 'E', 'P', 'D', '7', '7', '3', '0', '_', 'A', '0', '1', '0', '0'};
constexpr uint32_t kHeaderLength = sizeof fwHeader;
constexpr uint32_t kHeaderPage = 256;

struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// The image is only read: a read-only file is as good as a writable one.
File OpenImage(const char* ulFileName) {
    File ulFile(fopen(ulFileName, "rb"));
    if (!ulFile) {
        Say("Open file failed.\n");
        EndRun(-1, RunError::kFileUnreadable);
    }
    return ulFile;
}

constexpr const char* kSystemInfoMissing = "System information not read from the controller. Upgrade refused.\n";
constexpr const char* kRangeTooLong = "File of %u bytes does not fit in flash at 0x%X. Upgrade refused.\n";

[[noreturn]] void Refuse(const char* text, RunError why = RunError::kRefused) {
    Say("%s", text);
    EndRun(-1, why);
}

// One line of progress on standard error, redrawn in place; only for a terminal.
void ShowProgress(const char* phase, uint32_t done, uint32_t total) {
    const unsigned percent = total ? static_cast<unsigned>(uint64_t{done} * 100 / total) : 100;
    Warn("\r%-6s %3u%% (%u of %u bytes)", phase, percent, done, total);
    if (std::strcmp(phase, "verify") == 0 && done == total) Warn("\n");
}

// The line is shown unless a caller has put a progress report of its own in place.
struct ProgressScope {
    explicit ProgressScope(bool on) : previous_(CurrentFlashProgress()) {
        if (previous_ == nullptr) SetFlashProgress(on ? ShowProgress : nullptr);
    }
    ~ProgressScope() { SetFlashProgress(previous_); }
    FlashProgressFn previous_;
};

// After a failed upgrade at address 0 the header must read back as one the boot code
// rejects: erased (0xFF) or zero. It normally stays erased. It does not when an erase did
// not happen (programming 0xFF leaves the old header in place) or when the header page
// went wrong (a valid header over damaged bytes); then it is programmed to zero, which
// needs no erase, and read back again, a few times at most.
constexpr int kInvalidateAttempts = 3;
constexpr const char* kHeaderNotInvalidated =
    "Flash header could not be invalidated: the controller may start a damaged firmware.\n";

bool Uniform(const uint8_t* bytes, uint32_t n, uint8_t value) {
    for (uint32_t i = 0; i < n; ++i)
        if (bytes[i] != value) return false;
    return true;
}

// Reads the first `held` flash bytes back and tells whether they are erased or zero. A
// command that did not happen must not make them look so (on the drive route a refused
// command still reports success, and a refused read brings zeros). So the staging area
// first gets a probe -- the header's complement twice: neither erased nor zero, and no
// header however it is programmed over one -- and is read back to show it holds it; then
// the flash read replaces the probe's first half; then a read of both halves, the second
// of which must still be the probe's.
bool HeaderReadsInvalid(uint32_t held, uint32_t staging) {
    uint8_t probe[2 * kHeaderLength];
    for (uint32_t i = 0; i < sizeof probe; ++i) probe[i] = static_cast<uint8_t>(~fwHeader[i % kHeaderLength]);
    uint8_t seen[sizeof probe] = {};
    if (!WriteMemory(staging, sizeof probe, probe) || !ReadMemoryInFull(staging, sizeof probe, seen) ||
        std::memcmp(seen, probe, sizeof probe) != 0)
        return false;
    std::memset(seen, 0, sizeof seen);
    const SPICmd stSPICmd{0, staging, held};
    if (!ReadFlashToMemory(stSPICmd) || !ReadMemoryInFull(staging, sizeof seen, seen) ||
        std::memcmp(seen + kHeaderLength, probe + kHeaderLength, kHeaderLength) != 0)
        return false;
    return Uniform(seen, held, 0xFF) || Uniform(seen, held, 0x00);
}

// True once the header has been read back erased or zero.
bool InvalidateHeader(uint32_t held, uint32_t staging) {
    const uint8_t zeros[kHeaderLength] = {};
    for (int attempt = 0; attempt < kInvalidateAttempts; ++attempt) {
        if (HeaderReadsInvalid(held, staging)) return true;
        WriteFlashRange(0, held, zeros, staging);
    }
    return HeaderReadsInvalid(held, staging);
}

// From the first erase until the outcome is out, a request to stop the run waits: ending
// in between would leave flash erased, or a header over an image not yet verified. The
// request then takes effect (the tool ends with its status; in the library the caller's
// own handler gets it). Only the tool announces it, on a line of its own below the
// progress line when that is shown; the library prints nothing.
class StopHold {
public:
    explicit StopHold(bool belowProgress) {
        const char* notice = "\nqp7730: upgrade in progress; finishing it before stopping\n";
        HoldStopRequests(CurrentReporter() != nullptr ? nullptr : belowProgress ? notice : notice + 1);
    }
    ~StopHold() { Release(); }
    StopHold(const StopHold&) = delete;
    StopHold& operator=(const StopHold&) = delete;
    void Release() {
        if (released_) return;
        released_ = true;
        FlushReports();  // the outcome line is out before a stop ends the process
        ReleaseStopRequests();
    }

private:
    bool released_ = false;
};

}  // namespace

UpgradeOutcome UpgradeFlash(int32_t type, const char* ulFileName) {
    // Any other type would write an unchecked file over the firmware at address 0.
    if (type != 1 && type != 2) Refuse("Unknown upgrade type. Please use 1 for FW or 2 for WF.\n");

    if (const char* dot = std::strrchr(ulFileName, '.')) {
        if (type == 1 && std::strcmp(dot, ".bin") != 0)
            Refuse("Incorrect FW file is not safe.\nPlease use a .bin file.\n", RunError::kFileRefused);
        if (type == 2 && std::strcmp(dot, ".wbf") != 0)
            Refuse("Incorrect WF file is not safe.\nPlease use a .wbf file.\n", RunError::kFileRefused);
    }

    // Without the whole system information the waveform address (and the staging
    // address) may be zero: a waveform would land on the firmware.
    if (!g_DeviceState.SystemInfoComplete) Refuse(kSystemInfoMissing, RunError::kNoSystemInfo);

    uint32_t A = 0;
    if (type == 2) {
        A = g_DeviceState.SystemInfo[kSysInfoWaveformAddress];
        if (A == kNoWaveformSupport)
            Refuse("Current FW does not support WBF converting.\n", RunError::kNotSupported);
    }

    // Everything that can fail on the host happens before the first erase. (The file
    // closes itself on every early end.)
    File ulFile = OpenImage(ulFileName);
    long length = -1;
    if (fseek(ulFile.get(), 0, SEEK_END) == 0) length = ftell(ulFile.get());
    if (length < 0 || static_cast<unsigned long>(length) > 0xFFFFFFFFul || fseek(ulFile.get(), 0, SEEK_SET) != 0)
        Refuse("Read file failed.\n", RunError::kFileUnreadable);
    const uint32_t N = static_cast<uint32_t>(length);

    uint8_t temp[kHeaderLength];
    uint32_t headerRead = 0;
    if (type == 1) {
        headerRead = static_cast<uint32_t>(fread(temp, 1, sizeof temp, ulFile.get()));
        if (headerRead != sizeof temp || std::memcmp(temp, fwHeader, sizeof temp) != 0)
            Refuse("Wrong FW Header!\n", RunError::kFileRefused);
    }

    // The erase covers whole 128 KiB blocks from A; flash addresses are 32 bits wide.
    const uint64_t eraseEnd = uint64_t{A} + (uint64_t{N} + kFlashEraseBlock - 1) / kFlashEraseBlock * kFlashEraseBlock;
    if (eraseEnd > (uint64_t{1} << 32)) {
        Say(kRangeTooLong, N, A);
        EndRun(-1, RunError::kFileRefused);
    }

    std::unique_ptr<uint8_t[]> D(new (std::nothrow) uint8_t[N ? N : 1]);
    std::unique_ptr<uint8_t[]> R(new (std::nothrow) uint8_t[N ? N : 1]);
    if (!D || !R) Refuse("Not enough memory for the image file.\n", RunError::kNoMemory);
    // The checked header is the start of the image; the rest follows it in the file.
    if (headerRead > N) Refuse("Read file failed.\n", RunError::kFileUnreadable);
    std::memcpy(D.get(), temp, headerRead);
    if (fread(D.get() + headerRead, 1, N - headerRead, ulFile.get()) != N - headerRead)
        Refuse("Read file failed.\n", RunError::kFileUnreadable);

    const bool terminal = isatty(STDERR_FILENO) == 1;
    const ProgressScope progress(terminal);
    const uint32_t held = N < kHeaderLength ? N : kHeaderLength;
    uint8_t sign[kHeaderLength];
    if (A == 0) {
        std::memcpy(sign, D.get(), held);
        std::memset(D.get(), 0xFF, held);
    }

    const uint32_t staging = ImageBufferAddress();
    StopHold hold(terminal);
    EraseFlashRange(A, N);
    WriteFlashRange(A, N, D.get(), staging);
    bool failed = !VerifyFlashRange(A, N, D.get(), R.get(), staging);

    if (A == 0 && !failed) {
        const uint32_t page = N < kHeaderPage ? N : kHeaderPage;
        std::memcpy(D.get(), sign, held);
        WriteFlashRange(0, page, D.get(), staging);
        failed = !VerifyFlashRange(0, page, D.get(), R.get(), staging);
    }

    if (A == 0 && failed && !InvalidateHeader(held, staging)) Say("%s", kHeaderNotInvalidated);

    ulFile.reset();
    Say(failed ? "QP7730 FW upgrade failed.\n" : "Done. Please reset QP7730.\n");
    hold.Release();
    return failed ? UpgradeOutcome::kFailed : UpgradeOutcome::kDone;
}
