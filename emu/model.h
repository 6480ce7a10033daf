// The software controller: controller memory, serial flash, panel, power management and
// the image library, and one entry that carries out one command given the fields of its
// Command Block Wrapper and its data. Nothing here knows about sockets, so the whole
// command set can be exercised in-process.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "emu/panel_publisher.h"
#include "link/bulk_only_wire.h"

namespace emu {

// Everything a command line can change about the controller.
struct ModelConfig {
    uint32_t panelWidth = 1872;
    uint32_t panelHeight = 1404;
    uint32_t imageBufferAddress = 0x00120000;
    uint32_t memoryMiB = 64;
    uint32_t waveformAddress = 0x00200000;
    uint32_t refreshMs = 0;  // how long a waited-for refresh takes
    std::string identity = "Generic Storage RamDisc 1.00";
    std::string fwVersion = "FW 1.02 emu";
    std::string lutVersion = "QP7730-LUT-EMU01";
    bool ignoreProgramming = false;  // 0x98 passes and changes nothing, as on a worn-out chip
    std::string flashFile;  // empty: flash lives in memory only
    std::string pngPath;    // empty: the panel is not written out
    bool pngSync = false;   // write the PNG before a refresh is answered, not after it
    bool panelPictures = false;  // make the panel's pictures also without a file (for the page)
};

constexpr uint32_t kFlashSize = 16u << 20;
constexpr uint32_t kFirmwareImageSize = 0x10000;
constexpr uint32_t kImageLibraryAddress = 0x00800000;
constexpr uint32_t kImageLibraryListOffset = 0x100;   // entries, 16 bytes each
constexpr uint32_t kImageLibraryDataOffset = 0x1000;  // first picture's pixels
constexpr uint32_t kInquiryReplySize = 40;
constexpr uint32_t kSystemInfoReplySize = 120;
constexpr uint32_t kEngineInfoWord0 = 0x00773001;  // engine id
constexpr uint32_t kEngineInfoWord1 = 0x00010002;  // engine revision 1.02
constexpr uint16_t kInitialVcom = 1500;

constexpr uint8_t kStatusPass = bot::kStatusPassed;
constexpr uint8_t kStatusFail = bot::kStatusFailed;
constexpr uint8_t kStatusPhaseError = bot::kStatusPhaseError;

// The fields of a Command Block Wrapper that a command's handling depends on.
struct CommandBlock {
    uint8_t cdb[16] = {};         // CBWCB; the bytes past cbLength are zero
    uint8_t cbLength = 16;        // bCBWCBLength
    bool dataIn = false;          // bmCBWFlags bit 7
    uint32_t transferLength = 0;  // dCBWDataTransferLength
};

// One picture of the built-in image library, as generated at first start.
struct LibraryPicture {
    const char* name;
    uint16_t width;
    uint16_t height;
};
// Grey value of the library picture `index` at (x, y).
uint8_t LibraryPixel(size_t index, uint32_t x, uint32_t y);

// Short name of a command for traces and logs: "inquiry", "test-unit-ready", "0x81", ...
std::string CommandName(const uint8_t* cdb);

class Model {
public:
    // Throws std::runtime_error when memory cannot be had or the flash file cannot be used.
    explicit Model(const ModelConfig& config);
    ~Model();
    Model(const Model&) = delete;
    Model& operator=(const Model&) = delete;

    // Carries out one command. dataOut holds the data phase received from the host
    // (data-out commands); reply receives the data-in reply, which may be shorter or longer
    // than the host asked for: the framing pads or cuts it. flipBit corrupts one bit of the
    // data the command moves (fault injection). Returns the status for the CSW.
    uint8_t Execute(const CommandBlock& command, std::span<const uint8_t> dataOut, std::vector<uint8_t>& reply,
                    bool flipBit = false);

    const ModelConfig& Config() const { return config_; }
    uint8_t* Memory() { return memory_.get(); }
    uint64_t MemorySize() const { return memorySize_; }
    const uint8_t* Flash() const { return flash_; }
    const std::vector<uint8_t>& Panel() const { return panel_; }
    uint16_t Vcom() const { return vcom_; }
    uint8_t PowerState() const { return powerState_; }
    uint32_t RefreshCount() const { return refreshCount_; }
    // The panel's pictures (file and page); null when neither is wanted.
    PanelPublisher* Publisher() { return publisher_.get(); }

private:
    uint8_t Inquiry(const CommandBlock& c, std::vector<uint8_t>& reply);
    uint8_t SystemInfo(const CommandBlock& c, std::vector<uint8_t>& reply);
    uint8_t ReadMemory(const CommandBlock& c, std::vector<uint8_t>& reply);
    uint8_t WriteMemory(const CommandBlock& c, std::span<const uint8_t> data, bool flipBit);
    uint8_t LoadImageArea(const CommandBlock& c, std::span<const uint8_t> data, bool flipBit);
    uint8_t DisplayArea(const CommandBlock& c, std::span<const uint8_t> data);
    uint8_t EraseFlash(const CommandBlock& c, std::span<const uint8_t> data);
    // The 12-byte record of 0x97 and 0x98: flash address, memory address, count. False
    // when the command is malformed or either side lies outside flash or memory.
    struct SpiRange {
        uint32_t flashAddress, memoryAddress, count;
    };
    bool ParseSpiRange(const CommandBlock& c, std::span<const uint8_t> data, SpiRange* range) const;
    uint8_t FlashToMemory(const CommandBlock& c, std::span<const uint8_t> data, bool flipBit);
    uint8_t ProgramFlash(const CommandBlock& c, std::span<const uint8_t> data, bool flipBit);
    uint8_t Power(const CommandBlock& c, std::vector<uint8_t>& reply);
    uint8_t EngineInfo(const CommandBlock& c, std::vector<uint8_t>& reply);
    uint8_t LibraryHeader(const CommandBlock& c, std::vector<uint8_t>& reply);
    uint8_t LibraryList(const CommandBlock& c, std::vector<uint8_t>& reply);
    uint8_t LoadLibraryImage(const CommandBlock& c, std::span<const uint8_t> data, bool flipBit);
    uint8_t LoadLibraryImages(const CommandBlock& c, std::span<const uint8_t> data);

    // Copies the top-left w x h of library picture `index` into the image buffer at (x, y);
    // w or h 0 means the picture's own size.
    bool PlaceLibraryPicture(uint32_t index, uint32_t x, uint32_t y, uint32_t w, uint32_t h, bool flipBit, bool dryRun);
    void WriteInitialFlash();
    void OpenFlash();
    // Writes flash bytes [offset, offset + length) through to the flash file, if any.
    void WriteThrough(uint32_t offset, uint32_t length);

    bool InMemory(uint64_t address, uint64_t length) const {
        return address <= memorySize_ && length <= memorySize_ - address;
    }
    static bool InFlash(uint64_t address, uint64_t length) {
        return address <= kFlashSize && length <= kFlashSize - address;
    }

    ModelConfig config_;
    struct FreeDeleter {
        void operator()(uint8_t* p) const;
    };
    std::unique_ptr<uint8_t, FreeDeleter> memory_;
    uint64_t memorySize_ = 0;
    // The flash is the model's own, in memory; the flash file only receives copies of its
    // changes, so that whatever happens to the file (truncated, replaced, on a full disk)
    // the emulator goes on serving.
    std::vector<uint8_t> flashBytes_;
    uint8_t* flash_ = nullptr;  // flashBytes_.data()
    int flashFd_ = -1;
    bool writeFailureReported_ = false;
    std::vector<uint8_t> panel_;
    uint16_t vcom_ = kInitialVcom;
    uint8_t powerState_ = 0;
    uint32_t refreshCount_ = 0;
    // Last, so that it goes first and stores the last state while everything else is there.
    std::unique_ptr<PanelPublisher> publisher_;
};

}  // namespace emu
