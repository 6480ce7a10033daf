// The controller's vendor commands: one operation per sub-command, each filling its own
// pass-through record and making exactly one transport call.
#pragma once
#include <cstdint>

#include "link/device_state.h"

// Sub-commands (byte 6 of the vendor block).
enum : uint8_t {
    kCmdSystemInfo = 0x80,
    kCmdReadMemory = 0x81,
    kCmdDisplayArea = 0x94,
    kCmdEraseFlash = 0x96,
    kCmdReadFlash = 0x97,
    kCmdWriteFlash = 0x98,
    kCmdLoadImageArea = 0xA2,
    kCmdPmic = 0xA3,
    kCmdWriteMemory = 0xA5,
    kCmdImgLibHeader = 0xA8,
    kCmdImgList = 0xA9,
    kCmdLoadLibImage = 0xAA,
    kCmdLoadLibImages = 0xAB,
    kCmdLowSpeedUsb = 0xAC,
    kCmdEngineInfo = 0xAD,
};

// ---- start-up --------------------------------------------------------------------

// The standard INQUIRY: 40 bytes of identity data into TransferBuffer. Its result is the
// test discovery makes.
uint8_t Inquiry();
// System information (0x80) into the record, in host order; also sets the panel limits
// and SystemInfoComplete: true only when the command succeeded and returned every byte
// asked for. Words that did not arrive are zero.
void GetSystemInfo(uint32_t (&systemInfo)[kSystemInfoWords]);

// ---- core commands ---------------------------------------------------------------

// Header of the load-image-area command, host order; converted to big-endian in place
// by LoadImageArea, so callers fill it afresh before every call.
struct LdImgInfo {
    uint32_t ImageBufferAddress;
    uint32_t X;
    uint32_t Y;
    uint32_t W;
    uint32_t H;
};

// Argument record of the display-area command, in wire order.
struct DrawUPDArgData {
    uint32_t ImageBufferAddress;
    uint32_t Mode;
    uint32_t X;
    uint32_t Y;
    uint32_t W;
    uint32_t H;
    uint32_t EnWait;
};

// Engine-information reply, host order.
struct ENG {
    uint32_t Word[2];
};

uint8_t ReadMemory(uint32_t address, uint16_t length, uint8_t* destination);
// The same 0x81 command, telling whether it succeeded and returned all length bytes.
bool ReadMemoryInFull(uint32_t address, uint16_t length, uint8_t* destination);
uint8_t WriteMemory(uint32_t address, uint16_t length, const uint8_t* source);
uint8_t LoadImageArea(LdImgInfo& header, const uint8_t* pixels);
uint8_t DisplayArea(uint32_t x, uint32_t y, uint32_t w, uint32_t h, uint32_t mode, uint32_t imageBufferAddress,
                    uint32_t enWait);
uint8_t GetEngineInfo();
uint8_t LowSpeedUsb();

// ---- serial flash ----------------------------------------------------------------

constexpr uint32_t kFlashEraseBlock = 0x20000;  // 131,072 bytes
constexpr uint32_t kFlashPiece = 0x8000;        // 32,768 bytes
constexpr uint32_t kFwVersionFlashAddress = 0x120;
constexpr uint32_t kLutVersionFlashAddress = 0x130;

struct ArgErase {
    uint32_t FlashAddress;
    uint32_t Size;
};

struct SPICmd {
    uint32_t FlashAddress;
    uint32_t MemoryAddress;
    uint32_t ByteCount;
};

uint8_t EraseFlash(const ArgErase& arg);
uint8_t ReadFlashToMemory(const SPICmd& cmd);
uint8_t WriteFlashFromMemory(const SPICmd& cmd);
int32_t EraseFlashRange(uint32_t address, uint32_t count);
int ReadFlashRange(uint32_t address, uint32_t count, uint8_t* destination, uint32_t staging);
int WriteFlashRange(uint32_t address, uint32_t count, const uint8_t* source, uint32_t staging);
// Reads a range back like ReadFlashRange into readBack and compares it with expected.
// Before each piece's flash read the staging area is filled with the complement of the
// expected bytes (one WriteMemory more per piece), so a flash read that did not happen
// cannot pass for equal; a piece whose commands report failure, or whose memory read
// returns fewer bytes than asked, counts as different.
// Every piece is read whatever the outcome. True when all count bytes are equal.
bool VerifyFlashRange(uint32_t address, uint32_t count, const uint8_t* expected, uint8_t* readBack,
                      uint32_t staging);
// Reads the 16-byte text at flashAddress (the firmware or LUT version) through the first
// 16 bytes of the image buffer, which it leaves holding the text. True when both
// commands succeeded and all 16 bytes arrived.
bool ReadFlashText(uint32_t flashAddress, uint8_t (&text)[16]);
// "-version": reads and prints the firmware version text.
void ShowFirmwareVersion();

// Optional progress report of the range operations: called after every erase block and
// every piece with the phase ("erase", "write", "read", "verify"), the bytes done and the
// total.
using FlashProgressFn = void (*)(const char* phase, uint32_t done, uint32_t total);
void SetFlashProgress(FlashProgressFn progress);
FlashProgressFn CurrentFlashProgress();

// ---- power management ------------------------------------------------------------

struct PMICctrl {
    uint16_t Vcom;
    uint8_t SetVcom;      // 2: set VCOM to Vcom; 0: leave it
    uint8_t SwitchPower;  // 1: switch the panel power to PowerState; 0: leave it
    uint8_t PowerState;
};

uint8_t PmicControl(PMICctrl& request);

// ---- image library ---------------------------------------------------------------

constexpr uint32_t kImgLibHeaderSize = 148;
constexpr uint32_t kImgListEntrySize = 16;

// Reply of 0xA8. NumImg and ImglibSFIAddr are in host order after the command; every
// other byte stays as received.
struct ImgLibHeader {
    uint8_t Signature[16];
    uint8_t Version[16];
    uint16_t NumImg;
    uint8_t Reserved0[2];
    uint32_t ImglibSFIAddr;
    uint8_t Reserved1[108];
};
static_assert(sizeof(ImgLibHeader) == kImgLibHeaderSize);

struct ImgListEntry {
    uint16_t Index;
    uint16_t Nbpp;
    uint32_t ImgDataOffset;
    uint16_t ImageW;
    uint16_t ImageH;
    uint32_t Extra;
};
static_assert(sizeof(ImgListEntry) == kImgListEntrySize);

struct ImgLibArg {
    uint16_t Word[6];
};

// The reading operations return 0 and 1 whatever happened; `complete` (may be null)
// receives whether the whole reply arrived with a good status.
uint8_t GetImageLibHeader(ImgLibHeader* destination, bool* complete = nullptr);
uint8_t GetImageList(uint8_t count, ImgListEntry* destination, bool* complete = nullptr);
uint8_t LoadLibraryImage(uint16_t w0, uint16_t w1, uint16_t w2, uint16_t w3, uint16_t w4, uint16_t w5);
// group: word 0 is the image count n, then n groups of three words; converted in place.
uint8_t LoadLibraryImages(uint16_t* group, uint16_t n);
