// The program entry: start-up first, then one action chosen by the number of words and
// the keyword in word 1. User errors end the run with status -1.
#include "cli/dispatcher.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/numbers.h"
#include "commands/commands.h"
#include "flash/flash_upgrade.h"
#include "image/image.h"
#include "link/device_state.h"

namespace {

void PrintUsage(FILE* stream) {
    fputs("usage: qp7730 -version | 0xAD | 0xAC | 0x81 | 0x97\n"
          "       qp7730 -load FILE                        picture (.bmp, .jpg, .rip) into the image buffer\n"
          "       qp7730 -load PIXEL X Y W H               fill a rectangle with one grey value (hex)\n"
          "       qp7730 -display -wait|-nowait X Y W H MODE\n"
          "       qp7730 -HTFY X Y W H MODE ENWAIT         display request sent unchecked\n"
          "       qp7730 -upgrade 1|2 FILE                 firmware (.bin) or waveform (.wbf) into flash\n"
          "       qp7730 -pmic 0 VCOM | -pmic 1 STATE | -pmic 2 VCOM STATE\n"
          "       qp7730 --help | -h                       this text, without opening the controller\n",
          stream);
}

bool AsksForHelp(int argc, char** argv) {
    return argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0);
}

[[noreturn]] void UserError(const char* text) {
    printf("%s", text);
    fflush(stdout);
    PrintUsage(stderr);
    EndRun(-1);
}

void ActionVersion(char**) {
    printf("\nGetting FW version...\n");
    ShowFirmwareVersion();
}

void ActionEngineInfo(char**) {
    printf("\nTesting 0xAD Engine info command...\n");
    GetEngineInfo();
}

void ActionLowSpeed(char**) {
    printf("\nTesting 0xAC LOW speed USB command...\n");
    LowSpeedUsb();
}

// Reads 65,535 bytes from the image buffer and dumps them on one line. The buffer always
// holds the whole read, whatever the panel size.
void ActionReadMemoryTest(char**) {
    constexpr uint16_t kLength = 0xFFFF;
    printf("\nTesting 0x81 Read memory command...\n");
    std::vector<uint8_t> buffer(kLength);
    ReadMemory(ImageBufferAddress(), kLength, buffer.data());
    std::string line;
    line.reserve(size_t{kLength} * 3 + 1);
    char item[8];
    for (uint8_t b : buffer) {
        const int n = snprintf(item, sizeof item, "%X ", b);
        line.append(item, static_cast<size_t>(n));
    }
    line.push_back('\n');
    fwrite(line.data(), 1, line.size(), stdout);
}

void PrintFlashText(SPICmd& stSPICmd, uint32_t flashAddress, uint8_t (&buffer)[16]) {
    stSPICmd.FlashAddress = flashAddress;
    ReadFlashToMemory(stSPICmd);
    ReadMemory(ImageBufferAddress(), sizeof buffer, buffer);
    for (uint8_t c : buffer) printf("%c", c);
    printf("\n");
}

void ActionReadFlashTest(char**) {
    printf("\nTesting 0x97 Read flash command...\n");
    SPICmd stSPICmd{kFwVersionFlashAddress, ImageBufferAddress(), 16};
    uint8_t buffer[16] = {};
    printf("\nGetting FW version from SFI 0x120...\n");
    PrintFlashText(stSPICmd, kFwVersionFlashAddress, buffer);
    printf("\nGetting LUT version from SFI 0x130...\n");
    PrintFlashText(stSPICmd, kLutVersionFlashAddress, buffer);
}

void ActionLoadFile(char** argv) {
    printf("\nLoading image from file %s...\n", argv[2]);
    LoadImageFile(argv[2]);
}

void ActionUpgrade(char** argv) {
    printf("\nUpgrading file to flash...\n");
    UpgradeFlash(AtoI(argv[2]), argv[3]);
}

void ActionPmicSingle(char** argv) {
    PMICctrl stPMICctrl{};
    if (std::strcmp(argv[2], "0") == 0) {
        stPMICctrl = {static_cast<uint16_t>(AtoI(argv[3])), 2, 0, 0};
    } else if (std::strcmp(argv[2], "1") == 0) {
        stPMICctrl = {0, 0, 1, static_cast<uint8_t>(AtoI(argv[3]))};
    } else {
        UserError("Wrong argument. Please select 0 for Vcom setting or 1 for PMIC On/Off\n");
    }
    PmicControl(stPMICctrl);
}

void ActionPmicBoth(char** argv) {
    if (std::strcmp(argv[2], "2") != 0) UserError("Wrong argument. Please select 2 for Vcom setting and PMIC On/Off\n");
    PMICctrl stPMICctrl{static_cast<uint16_t>(AtoI(argv[3])), 2, 1, static_cast<uint8_t>(AtoI(argv[4]))};
    PmicControl(stPMICctrl);
}

// Fills a rectangle of the image buffer with one grey value.
void ActionSolidFill(char** argv) {
    printf("\nSetting image buffer as a same pixel...\n");
    const int32_t X = AtoI(argv[3]), Y = AtoI(argv[4]), W = AtoI(argv[5]), H = AtoI(argv[6]);
    const uint8_t pixel = HexPixel(argv[2]);
    printf("Loaded pixel: 0x%X, X/Y/W/H: %d/%d/%d/%d\n", pixel, X, Y, W, H);
    FillImageArea(pixel, X, Y, W, H);
}

void ActionDisplay(char** argv) {
    const int32_t x = AtoI(argv[3]), y = AtoI(argv[4]), w = AtoI(argv[5]), h = AtoI(argv[6]), mode = AtoI(argv[7]);
    printf("\nDisplaying...\n");
    printf("Arguments: %s, X/Y/W/H = %d/%d/%d/%d, mode %d\n", argv[2], x, y, w, h, mode);
    RequestDisplayArea(x, y, w, h, mode, argv[2]);
}

void ActionDirectDisplay(char** argv) {
    const int32_t x = AtoI(argv[2]), y = AtoI(argv[3]), w = AtoI(argv[4]), h = AtoI(argv[5]);
    const int32_t mode = AtoI(argv[6]), enWait = AtoI(argv[7]);
    printf("Directly send 0x94 command...\n");
    printf("Got argument x/y/w/h/mode/enWait = %d/%d/%d/%d/%d/%d\n", x, y, w, h, mode, enWait);
    DisplayArea(static_cast<uint32_t>(x), static_cast<uint32_t>(y), static_cast<uint32_t>(w),
                static_cast<uint32_t>(h), static_cast<uint32_t>(mode), ImageBufferAddress(),
                static_cast<uint32_t>(enWait));
}

struct CommandRow {
    int count;
    const char* keyword;
    void (*run)(char** argv);
    bool printsDone;
};

constexpr CommandRow kCommands[] = {
    {2, "-version", ActionVersion, true},
    {2, "0xAD", ActionEngineInfo, true},
    {2, "0xAC", ActionLowSpeed, true},
    {2, "0x81", ActionReadMemoryTest, true},
    {2, "0x97", ActionReadFlashTest, true},
    {3, "-load", ActionLoadFile, true},
    {4, "-upgrade", ActionUpgrade, true},
    {4, "-pmic", ActionPmicSingle, false},
    {5, "-pmic", ActionPmicBoth, false},
    {7, "-load", ActionSolidFill, true},
    {8, "-display", ActionDisplay, true},
    {8, "-HTFY", ActionDirectDisplay, true},
};

void Dispatch(int argc, char** argv) {
    const bool countKnown = argc == 2 || argc == 3 || argc == 4 || argc == 5 || argc == 7 || argc == 8;
    if (!countKnown) UserError("Incorrect argument ammount.\n");
    for (const CommandRow& row : kCommands) {
        if (row.count == argc && std::strcmp(row.keyword, argv[1]) == 0) {
            row.run(argv);
            if (row.printsDone) printf("Done.\n");
            return;
        }
    }
    UserError("Command not supported.\n");
}

}  // namespace

int RunMain(int argc, char** argv) {
    int status = 0;
    if (AsksForHelp(argc, argv)) {
        PrintUsage(stdout);
    } else {
        try {
            StartDevice();
            Dispatch(argc, argv);
        } catch (const RunEnded& ended) {
            status = ended.Status;
        }
        FreeHostImageBuffer();
        CloseDevice();
    }
    // Standard output is the run's result: when any of it was lost (a full disk, a closed
    // pipe), the run did not do what it reported.
    errno = 0;
    if (fflush(stdout) != 0 || ferror(stdout)) {
        const int error = errno;
        fprintf(stderr, "qp7730: writing standard output failed%s%s\n", error ? ": " : "",
                error ? std::strerror(error) : "");
        status = -1;
    }
    return status;
}
