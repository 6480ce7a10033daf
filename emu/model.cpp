#include "emu/model.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "commands/commands.h"
#include "emu/display_modes.h"
#include "emu/scsi_commands.h"
#include "link/endian.h"

namespace emu {
namespace {

constexpr uint8_t kOpInquiry = 0x12;
constexpr uint8_t kOpVendor = 0xFE;
constexpr char kFirmwareHeader[] = "QPXEPD7730_A0100";
constexpr char kLibrarySignature[] = "QP7730 IMAGE LIB";
constexpr char kLibraryVersion[] = "EMU LIB 1.00";
constexpr uint32_t kLibraryHeaderSize = 148;
constexpr uint32_t kLibraryEntrySize = 16;

constexpr LibraryPicture kPictures[] = {
    {"horizontal gradient", 800, 480},
    {"checkerboard of 50-pixel squares", 400, 400},
    {"16 vertical grey bars", 640, 480},
    {"diagonal ramp", 256, 256},
};

bool DirectionIn(const CommandBlock& c) { return c.transferLength == 0 || c.dataIn; }
bool DirectionOut(const CommandBlock& c) { return c.transferLength == 0 || !c.dataIn; }

// Fault injection: the lowest bit of the byte in the middle of what the command moves.
void FlipMiddleBit(uint8_t* data, size_t length) {
    if (length > 0) data[length / 2] ^= 0x01;
}

void PutText(uint8_t* dst, const std::string& text, size_t width, uint8_t pad) {
    std::memset(dst, pad, width);
    // Fixed-width field, padded, no terminator.
    std::memcpy(dst, text.data(), std::min(text.size(), width));  // NOLINT(bugprone-not-null-terminated-result)
}

}  // namespace


uint8_t LibraryPixel(size_t index, uint32_t x, uint32_t y) {
    const LibraryPicture& p = kPictures[index];
    switch (index) {
        case 0: return static_cast<uint8_t>(x * 255 / (p.width - 1));
        case 1: return ((x / 50 + y / 50) % 2) ? 0 : 255;
        case 2: return static_cast<uint8_t>((x * 16 / p.width) * 17);
        default: return static_cast<uint8_t>(x + y);
    }
}

std::string CommandName(const uint8_t* cdb) {
    if (cdb[0] == kOpInquiry) return "inquiry";
    if (std::string standard = StandardCommandName(cdb); !standard.empty()) return standard;
    char name[16];
    if (cdb[0] != kOpVendor) {
        std::snprintf(name, sizeof name, "op-0x%02X", cdb[0]);
    } else {
        std::snprintf(name, sizeof name, "0x%02X", cdb[6]);
    }
    return name;
}

void Model::FreeDeleter::operator()(uint8_t* p) const { std::free(p); }

Model::Model(const ModelConfig& config) : config_(config) {
    if (config_.panelWidth == 0 || config_.panelHeight == 0) throw std::runtime_error("panel size must not be 0");
    if (config_.memoryMiB == 0 || config_.memoryMiB > 4096) throw std::runtime_error("memory size must be 1..4096 MiB");
    memorySize_ = uint64_t{config_.memoryMiB} << 20;
    // calloc hands out zero pages lazily, so untouched memory costs nothing.
    memory_.reset(static_cast<uint8_t*>(std::calloc(memorySize_, 1)));
    if (!memory_) throw std::runtime_error("cannot allocate " + std::to_string(config_.memoryMiB) + " MiB of memory");
    panel_.assign(size_t{config_.panelWidth} * config_.panelHeight, 255);
    OpenFlash();
    if (!config_.pngPath.empty() || config_.panelPictures) {
        PublisherConfig publish;
        publish.width = config_.panelWidth;
        publish.height = config_.panelHeight;
        publish.pngPath = config_.pngPath;
        publish.synchronous = config_.pngSync;
        publisher_ = std::make_unique<PanelPublisher>(std::move(publish), panel_.data());
    }
}

Model::~Model() {
    if (flashFd_ >= 0) close(flashFd_);
}

void Model::OpenFlash() {
    flashBytes_.resize(kFlashSize);
    flash_ = flashBytes_.data();
    if (config_.flashFile.empty()) {
        WriteInitialFlash();
        return;
    }
    const std::string& path = config_.flashFile;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) throw std::runtime_error(path + ": " + std::strerror(errno));
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        int e = errno;
        close(fd);
        throw std::runtime_error(path + ": " + std::strerror(e));
    }
    // A file of the flash size is the flash of an earlier run; an empty one (or one just
    // created) gets the initial content. Anything else is someone's file under a mistyped
    // path, and is left as it is.
    const bool reuse = S_ISREG(st.st_mode) && st.st_size == static_cast<off_t>(kFlashSize);
    if (!reuse && !(S_ISREG(st.st_mode) && st.st_size == 0)) {
        close(fd);
        throw std::runtime_error(path + ": " +
                                 (S_ISREG(st.st_mode) ? "holds " + std::to_string(st.st_size) + " bytes, not the " +
                                                            std::to_string(kFlashSize) + " of a flash file"
                                                      : std::string("not a regular file")) +
                                 "; refusing to overwrite it");
    }
    flashFd_ = fd;
    if (!reuse) {
        WriteInitialFlash();
        WriteThrough(0, kFlashSize);
        return;
    }
    size_t done = 0;
    while (done < kFlashSize) {
        const ssize_t n = pread(fd, flash_ + done, kFlashSize - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            std::string message = path + ": ";
            message += n < 0 ? std::strerror(errno) : "it shrank while being read";
            throw std::runtime_error(message);
        }
        done += static_cast<size_t>(n);
    }
}

void Model::WriteThrough(uint32_t offset, uint32_t length) {
    if (flashFd_ < 0) return;
    // The file gets every change as it happens, for readers while the emulator runs and
    // after it ends abruptly; the flash itself stays in memory, so a file that is cut short
    // or replaced meanwhile changes nothing for the hosts (a shrunk file grows back where
    // it is written).
    size_t done = 0;
    while (done < length) {
        const ssize_t n = pwrite(flashFd_, flash_ + offset + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (!writeFailureReported_) {
                std::fprintf(stderr,
                             "qp7730-emu: cannot write the flash file %s: %s; the flash goes on in memory "
                             "(further failures are not reported)\n",
                             config_.flashFile.c_str(), n < 0 ? std::strerror(errno) : "nothing written");
                writeFailureReported_ = true;
            }
            return;
        }
        done += static_cast<size_t>(n);
    }
}

void Model::WriteInitialFlash() {
    std::memset(flash_, 0xFF, kFlashSize);
    // Firmware image: header, deterministic pseudo-code, the two version texts.
    std::memcpy(flash_, kFirmwareHeader, 16);
    uint32_t state = 0x7730u;
    for (uint32_t i = 16; i < kFirmwareImageSize; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        flash_[i] = static_cast<uint8_t>(state);
    }
    PutText(flash_ + kFwVersionFlashAddress, config_.fwVersion, 16, 0);
    PutText(flash_ + kLutVersionFlashAddress, config_.lutVersion, 16, 0);

    // Image library: header, list, pictures.
    uint8_t* lib = flash_ + kImageLibraryAddress;
    std::memset(lib, 0, kImageLibraryDataOffset);
    PutText(lib, kLibrarySignature, 16, 0);
    PutText(lib + 16, kLibraryVersion, 16, 0);
    PutBe16(lib + 32, static_cast<uint16_t>(std::size(kPictures)));
    PutBe32(lib + 36, kImageLibraryAddress);
    PutBe32(lib + 40, kImageLibraryListOffset);
    PutBe32(lib + 44, kImageLibraryDataOffset);
    uint32_t offset = kImageLibraryDataOffset;
    for (size_t i = 0; i < std::size(kPictures); ++i) {
        const LibraryPicture& p = kPictures[i];
        const uint32_t bytes = uint32_t{p.width} * p.height;
        uint8_t* e = lib + kImageLibraryListOffset + i * kLibraryEntrySize;
        PutBe16(e, static_cast<uint16_t>(i));
        PutBe16(e + 2, 8);
        PutBe32(e + 4, offset);
        PutBe16(e + 8, p.width);
        PutBe16(e + 10, p.height);
        PutBe32(e + 12, bytes);
        for (uint32_t y = 0; y < p.height; ++y) {
            for (uint32_t x = 0; x < p.width; ++x) lib[offset + y * p.width + x] = LibraryPixel(i, x, y);
        }
        offset += bytes;
    }
}

uint8_t Model::Execute(const CommandBlock& c, std::span<const uint8_t> dataOut, std::vector<uint8_t>& reply,
                       bool flipBit) {
    reply.clear();
    uint8_t status = kStatusFail;
    if (c.cdb[0] == kOpInquiry) {
        status = Inquiry(c, reply);
    } else if (c.cdb[0] == kOpVendor) {
        switch (c.cdb[6]) {
            case kCmdSystemInfo: status = SystemInfo(c, reply); break;
            case kCmdReadMemory: status = ReadMemory(c, reply); break;
            case kCmdWriteMemory: status = WriteMemory(c, dataOut, flipBit); break;
            case kCmdLoadImageArea: status = LoadImageArea(c, dataOut, flipBit); break;
            case kCmdDisplayArea: status = DisplayArea(c, dataOut); break;
            case kCmdEraseFlash: status = EraseFlash(c, dataOut); break;
            case kCmdReadFlash: status = FlashToMemory(c, dataOut, flipBit); break;
            case kCmdWriteFlash: status = ProgramFlash(c, dataOut, flipBit); break;
            case kCmdPmic: status = Power(c, reply); break;
            case kCmdEngineInfo: status = EngineInfo(c, reply); break;
            case kCmdLowSpeedUsb: status = c.transferLength == 0 ? kStatusPass : kStatusFail; break;
            case kCmdImgLibHeader: status = LibraryHeader(c, reply); break;
            case kCmdImgList: status = LibraryList(c, reply); break;
            case kCmdLoadLibImage: status = LoadLibraryImage(c, dataOut, flipBit); break;
            case kCmdLoadLibImages: status = LoadLibraryImages(c, dataOut); break;
            default: break;
        }
    }
    if (status != kStatusPass) {
        reply.clear();
    } else if (flipBit && c.dataIn) {
        FlipMiddleBit(reply.data(), std::min<size_t>(reply.size(), c.transferLength));
    }
    return status;
}

uint8_t Model::Inquiry(const CommandBlock& c, std::vector<uint8_t>& reply) {
    if (!DirectionIn(c)) return kStatusFail;
    reply.assign(kInquiryReplySize, 0);
    reply[0] = 0x00;  // direct-access block device
    reply[1] = 0x80;  // removable medium
    reply[2] = 0x02;
    reply[3] = 0x02;  // response data format
    reply[4] = kInquiryReplySize - 5;
    PutText(reply.data() + 8, config_.identity, 28, ' ');
    return kStatusPass;
}

uint8_t Model::SystemInfo(const CommandBlock& c, std::vector<uint8_t>& reply) {
    if (!DirectionIn(c) || std::memcmp(c.cdb + 2, "7730", 4) != 0 || c.cdb[8] != 1 || c.cdb[10] != 2) {
        return kStatusFail;
    }
    const uint32_t words[kSystemInfoReplySize / 4] = {
        0x37373330,                                        // 0: controller id "7730"
        0x00010002,                                        // 1: firmware version 1.02
        static_cast<uint32_t>(memorySize_ - 1),            // 2: last memory address
        kFlashSize,                                        // 3: serial flash size
        config_.panelWidth,                                // 4: panel width
        config_.panelHeight,                               // 5: panel height
        config_.imageBufferAddress,                        // 6: update buffer address (the image buffer)
        config_.imageBufferAddress,                        // 7: image buffer address
        25,                                                // 8: temperature, degrees C
        static_cast<uint32_t>(kDisplayModeCount),         // 9: number of display modes
        8,                                                 // 10: bits per pixel of the image buffer
        config_.panelWidth,                                // 11: image buffer pitch
        65535,                                             // 12: largest memory transfer per command
        kFlashEraseBlock,                                  // 13: flash erase block
        kFlashPiece,                                       // 14: preferred flash transfer piece
        kFirmwareImageSize,                                // 15: firmware image size
        kImageLibraryAddress,                              // 16: image library flash address
        static_cast<uint32_t>(std::size(kPictures)),      // 17: library pictures at start
        config_.refreshMs,                                 // 18: refresh time, ms
        config_.waveformAddress,                           // 19: waveform flash address
        vcom_,                                             // 20: VCOM
        powerState_,                                       // 21: panel power state
        kEngineInfoWord0,                                  // 22: engine id
        kEngineInfoWord1,                                  // 23: engine revision
        refreshCount_,                                     // 24: refreshes since start
        kFwVersionFlashAddress,                            // 25: firmware version text in flash
        kLutVersionFlashAddress,                           // 26: LUT version text in flash
        0,                                                 // 27: reserved
        0,                                                 // 28: reserved
        0x7730E7E7,                                        // 29: end marker
    };
    reply.resize(kSystemInfoReplySize);
    for (size_t i = 0; i < std::size(words); ++i) PutBe32(reply.data() + 4 * i, words[i]);
    return kStatusPass;
}

uint8_t Model::ReadMemory(const CommandBlock& c, std::vector<uint8_t>& reply) {
    const uint32_t address = GetBe32(c.cdb + 2);
    const uint32_t length = GetBe16(c.cdb + 7);
    if (!DirectionIn(c) || length != c.transferLength || !InMemory(address, length)) return kStatusFail;
    reply.assign(memory_.get() + address, memory_.get() + address + length);
    return kStatusPass;
}

uint8_t Model::WriteMemory(const CommandBlock& c, std::span<const uint8_t> data, bool flipBit) {
    const uint32_t address = GetBe32(c.cdb + 2);
    const uint32_t length = GetBe16(c.cdb + 7);
    if (!DirectionOut(c) || length != c.transferLength || data.size() != length || !InMemory(address, length)) {
        return kStatusFail;
    }
    std::copy(data.begin(), data.end(), memory_.get() + address);
    if (flipBit) FlipMiddleBit(memory_.get() + address, length);
    return kStatusPass;
}

uint8_t Model::LoadImageArea(const CommandBlock& c, std::span<const uint8_t> data, bool flipBit) {
    if (!DirectionOut(c) || data.size() < 20 || data.size() != c.transferLength) return kStatusFail;
    const uint64_t base = GetBe32(data.data());
    const uint64_t x = GetBe32(data.data() + 4);
    const uint64_t y = GetBe32(data.data() + 8);
    const uint64_t w = GetBe32(data.data() + 12);
    const uint64_t h = GetBe32(data.data() + 16);
    const uint64_t pitch = config_.panelWidth;
    if (w * h != data.size() - 20 || x + w > pitch) return kStatusFail;
    if (w == 0 || h == 0) return kStatusPass;
    const uint64_t first = base + y * pitch + x;
    if (!InMemory(first, (h - 1) * pitch + w)) return kStatusFail;
    for (uint64_t r = 0; r < h; ++r) {
        std::memcpy(memory_.get() + first + r * pitch, data.data() + 20 + r * w, w);
    }
    if (flipBit) {
        const uint64_t middle = (w * h) / 2;
        memory_.get()[first + (middle / w) * pitch + middle % w] ^= 0x01;
    }
    return kStatusPass;
}

uint8_t Model::DisplayArea(const CommandBlock& c, std::span<const uint8_t> data) {
    if (!DirectionOut(c) || c.transferLength != 28 || data.size() != 28) return kStatusFail;
    const uint64_t base = GetBe32(data.data());
    const uint32_t mode = GetBe32(data.data() + 4);
    const uint64_t x = GetBe32(data.data() + 8);
    const uint64_t y = GetBe32(data.data() + 12);
    const uint64_t w = GetBe32(data.data() + 16);
    const uint64_t h = GetBe32(data.data() + 20);
    const uint32_t enWait = GetBe32(data.data() + 24);
    const uint64_t pitch = config_.panelWidth;
    // The panel keeps what the mode can show; a mode the controller does not have is refused.
    const DisplayMode* shown = FindDisplayMode(mode);
    if (shown == nullptr) return kStatusFail;
    if (x + w > pitch || y + h > config_.panelHeight) return kStatusFail;
    if (w > 0 && h > 0 && !InMemory(base + y * pitch + x, (h - 1) * pitch + w)) return kStatusFail;
    uint8_t grey[256];
    for (int v = 0; v < 256; ++v) grey[v] = ShownGrey(*shown, static_cast<uint8_t>(v));
    for (uint64_t r = 0; r < h; ++r) {
        const uint8_t* src = memory_.get() + base + (y + r) * pitch + x;
        uint8_t* dst = panel_.data() + (y + r) * pitch + x;
        for (uint64_t i = 0; i < w; ++i) dst[i] = grey[src[i]];
    }
    ++refreshCount_;
    if (publisher_) {
        publisher_->Refreshed(panel_.data(), {refreshCount_, static_cast<uint32_t>(x), static_cast<uint32_t>(y),
                                              static_cast<uint32_t>(w), static_cast<uint32_t>(h), mode});
    }
    if (enWait == 1 && config_.refreshMs > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(config_.refreshMs));
    }
    return kStatusPass;
}

uint8_t Model::EraseFlash(const CommandBlock& c, std::span<const uint8_t> data) {
    if (!DirectionOut(c) || c.transferLength != 8 || data.size() != 8) return kStatusFail;
    const uint32_t address = GetBe32(data.data());
    const uint32_t size = GetBe32(data.data() + 4);
    if (!InFlash(address, size)) return kStatusFail;
    std::memset(flash_ + address, 0xFF, size);
    WriteThrough(address, size);
    return kStatusPass;
}

bool Model::ParseSpiRange(const CommandBlock& c, std::span<const uint8_t> data, SpiRange* range) const {
    if (!DirectionOut(c) || c.transferLength != 12 || data.size() != 12) return false;
    *range = {GetBe32(data.data()), GetBe32(data.data() + 4), GetBe32(data.data() + 8)};
    return InFlash(range->flashAddress, range->count) && InMemory(range->memoryAddress, range->count);
}

uint8_t Model::FlashToMemory(const CommandBlock& c, std::span<const uint8_t> data, bool flipBit) {
    SpiRange r;
    if (!ParseSpiRange(c, data, &r)) return kStatusFail;
    std::memmove(memory_.get() + r.memoryAddress, flash_ + r.flashAddress, r.count);
    if (flipBit) FlipMiddleBit(memory_.get() + r.memoryAddress, r.count);
    return kStatusPass;
}

uint8_t Model::ProgramFlash(const CommandBlock& c, std::span<const uint8_t> data, bool flipBit) {
    SpiRange r;
    if (!ParseSpiRange(c, data, &r)) return kStatusFail;
    if (config_.ignoreProgramming) return kStatusPass;
    // NOR programming can only clear bits.
    const uint8_t* src = memory_.get() + r.memoryAddress;
    uint8_t* dst = flash_ + r.flashAddress;
    for (uint32_t i = 0; i < r.count; ++i) {
        uint8_t v = src[i];
        if (flipBit && i == r.count / 2) v ^= 0x01;
        dst[i] &= v;
    }
    WriteThrough(r.flashAddress, r.count);
    return kStatusPass;
}

uint8_t Model::Power(const CommandBlock& c, std::vector<uint8_t>& reply) {
    if (!DirectionIn(c)) return kStatusFail;
    if (c.cdb[9] == 2) vcom_ = GetBe16(c.cdb + 7);
    if (c.cdb[10] == 1) powerState_ = c.cdb[11];
    reply.assign(8, 0);
    PutBe16(reply.data(), vcom_);
    reply[2] = powerState_;
    return kStatusPass;
}

uint8_t Model::EngineInfo(const CommandBlock& c, std::vector<uint8_t>& reply) {
    if (!DirectionIn(c)) return kStatusFail;
    reply.assign(8, 0);
    PutBe32(reply.data(), kEngineInfoWord0);
    PutBe32(reply.data() + 4, kEngineInfoWord1);
    return kStatusPass;
}

uint8_t Model::LibraryHeader(const CommandBlock& c, std::vector<uint8_t>& reply) {
    if (!DirectionIn(c)) return kStatusFail;
    const uint8_t* lib = flash_ + kImageLibraryAddress;
    reply.assign(lib, lib + kLibraryHeaderSize);
    return kStatusPass;
}

namespace {

// Number of pictures the library in flash declares, 0 when that area is erased or the
// list would not fit in flash.
uint32_t StoredPictureCount(const uint8_t* flash) {
    const uint32_t n = GetBe16(flash + kImageLibraryAddress + 32);
    if (n == 0xFFFF) return 0;
    const uint64_t listEnd = uint64_t{kImageLibraryAddress} + kImageLibraryListOffset + uint64_t{n} * kLibraryEntrySize;
    return listEnd <= kFlashSize ? n : 0;
}

}  // namespace

uint8_t Model::LibraryList(const CommandBlock& c, std::vector<uint8_t>& reply) {
    if (!DirectionIn(c) || c.transferLength % kLibraryEntrySize != 0) return kStatusFail;
    const uint32_t count = c.transferLength / kLibraryEntrySize;
    const uint32_t stored = StoredPictureCount(flash_);
    const uint32_t copied = std::min(count, stored);
    const uint8_t* list = flash_ + kImageLibraryAddress + kImageLibraryListOffset;
    reply.assign(list, list + size_t{copied} * kLibraryEntrySize);
    return kStatusPass;  // the framing pads the entries past the library with zeros
}

bool Model::PlaceLibraryPicture(uint32_t index, uint32_t x, uint32_t y, uint32_t w, uint32_t h, bool flipBit,
                                bool dryRun) {
    if (index >= StoredPictureCount(flash_)) return false;
    const uint8_t* e = flash_ + kImageLibraryAddress + kImageLibraryListOffset + size_t{index} * kLibraryEntrySize;
    const uint32_t nbpp = GetBe16(e + 2);
    const uint64_t dataAddress = uint64_t{kImageLibraryAddress} + GetBe32(e + 4);
    const uint32_t pictureW = GetBe16(e + 8);
    const uint32_t pictureH = GetBe16(e + 10);
    if (nbpp != 8 || !InFlash(dataAddress, uint64_t{pictureW} * pictureH)) return false;
    if (w == 0) w = pictureW;
    if (h == 0) h = pictureH;
    if (w > pictureW || h > pictureH) return false;
    const uint64_t pitch = config_.panelWidth;
    if (uint64_t{x} + w > pitch || uint64_t{y} + h > config_.panelHeight) return false;
    const uint64_t first = config_.imageBufferAddress + uint64_t{y} * pitch + x;
    // A picture with no rows (its stored height 0) places nothing.
    const uint64_t extent = h == 0 ? 0 : (h - 1) * pitch + w;
    if (!InMemory(first, extent)) return false;
    if (dryRun) return true;
    for (uint32_t r = 0; r < h; ++r) {
        std::memcpy(memory_.get() + first + r * pitch, flash_ + dataAddress + uint64_t{r} * pictureW, w);
    }
    if (flipBit) {
        const uint64_t middle = (uint64_t{w} * h) / 2;
        memory_.get()[first + (middle / w) * pitch + middle % w] ^= 0x01;
    }
    return true;
}

uint8_t Model::LoadLibraryImage(const CommandBlock& c, std::span<const uint8_t> data, bool flipBit) {
    if (!DirectionOut(c) || c.transferLength != 12 || data.size() != 12) return kStatusFail;
    // Words: 0 index, 1 x, 2 y, 3 reserved, 4 width, 5 height (0: the picture's own).
    const uint32_t index = GetBe16(data.data());
    const uint32_t x = GetBe16(data.data() + 2);
    const uint32_t y = GetBe16(data.data() + 4);
    const uint32_t w = GetBe16(data.data() + 8);
    const uint32_t h = GetBe16(data.data() + 10);
    return PlaceLibraryPicture(index, x, y, w, h, flipBit, false) ? kStatusPass : kStatusFail;
}

uint8_t Model::LoadLibraryImages(const CommandBlock& c, std::span<const uint8_t> data) {
    if (!DirectionOut(c) || data.size() < 2 || data.size() != c.transferLength) return kStatusFail;
    const uint32_t n = GetBe16(data.data());
    if (data.size() != 2 + 6 * size_t{n}) return kStatusFail;
    // All groups are checked before any is loaded, so a bad group changes nothing.
    for (int pass = 0; pass < 2; ++pass) {
        for (uint32_t i = 0; i < n; ++i) {
            const uint8_t* g = data.data() + 2 + 6 * size_t{i};
            if (!PlaceLibraryPicture(GetBe16(g), GetBe16(g + 2), GetBe16(g + 4), 0, 0, false, pass == 0)) {
                return kStatusFail;
            }
        }
    }
    return kStatusPass;
}

}  // namespace emu
