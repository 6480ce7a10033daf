// Image-library commands: the controller's stored pictures, listed and loaded into the
// image buffer by the controller itself.
#include <cstring>

#include "commands/commands.h"
#include "link/device_state.h"
#include "link/endian.h"
#include "link/report.h"
#include "link/transport.h"

namespace {

// Calls the transport; `complete` (may be null) receives whether all `length` bytes of
// the reply arrived and the controller's status was good.
void CallForReply(SCSI_PASS_THROUGH_DIRECT& sptd, uint32_t length, bool* complete) {
    DWORD returned = 0;
    const bool ok = CallTransport(sptd, &returned) != 0;
    if (complete) *complete = ok && returned == length && sptd.ScsiStatus == 0;
}

}  // namespace

uint8_t GetImageLibHeader(ImgLibHeader* destination, bool* complete) {
    SCSI_PASS_THROUGH_DIRECT stSPTDBuf;
    FillPassThrough(stSPTDBuf, kVendorOpcode, kCmdImgLibHeader, 1, kImgLibHeaderSize, destination);
    CallForReply(stSPTDBuf, kImgLibHeaderSize, complete);
    destination->NumImg = BeToHost16(destination->NumImg);
    destination->ImglibSFIAddr = BeToHost32(destination->ImglibSFIAddr);
    return 0;
}

uint8_t GetImageList(uint8_t count, ImgListEntry* destination, bool* complete) {
    const uint32_t length = kImgListEntrySize * count;
    SCSI_PASS_THROUGH_DIRECT stSPTDBuf;
    FillPassThrough(stSPTDBuf, kVendorOpcode, kCmdImgList, 1, length, destination);
    Say("%d\n", static_cast<int>(length));
    CallForReply(stSPTDBuf, length, complete);
    for (uint32_t i = 0; i < count; ++i) {
        ImgListEntry& e = destination[i];
        e.Index = BeToHost16(e.Index);
        e.Nbpp = BeToHost16(e.Nbpp);
        e.ImgDataOffset = BeToHost32(e.ImgDataOffset);
        e.ImageW = BeToHost16(e.ImageW);
        e.ImageH = BeToHost16(e.ImageH);
        e.Extra = BeToHost32(e.Extra);
    }
    return 1;
}

uint8_t LoadLibraryImage(uint16_t w0, uint16_t w1, uint16_t w2, uint16_t w3, uint16_t w4, uint16_t w5) {
    uint8_t stImgLibArg[sizeof(ImgLibArg)];
    const uint16_t words[] = {w0, w1, w2, w3, w4, w5};
    for (size_t i = 0; i < 6; ++i) PutBe16(stImgLibArg + 2 * i, words[i]);
    SCSI_PASS_THROUGH_DIRECT stSPTDBuf;
    FillPassThrough(stSPTDBuf, kVendorOpcode, kCmdLoadLibImage, 0, sizeof stImgLibArg, stImgLibArg);
    return CallTransport(stSPTDBuf);
}

uint8_t LoadLibraryImages(uint16_t* group, uint16_t n) {
    const uint32_t words = 3u * n + 1;
    for (uint32_t i = 0; i < words; ++i) group[i] = HostToBe16(group[i]);
    SCSI_PASS_THROUGH_DIRECT stSPTDBuf;
    FillPassThrough(stSPTDBuf, kVendorOpcode, kCmdLoadLibImages, 0, 6u * n + 2, group);
    return CallTransport(stSPTDBuf);
}
