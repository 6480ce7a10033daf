#include "emu/usb_bulk_adapter.h"

#include <algorithm>
#include <cstring>

#include "link/endian.h"

namespace emu {

UsbStatus BulkOnlyUsbFunction::Out(std::span<const uint8_t> data) {
    // A kernel's wrapper gives the length of its command block (6 for INQUIRY, 10 for
    // READ CAPACITY); the device takes 16-byte blocks, the bytes past the length zero.
    if (!device_->InDataPhase() && data.size() == kCbwSize && GetLe32(data.data()) == kCbwSignature && data[14] >= 1 &&
        data[14] < 16) {
        uint8_t cbw[kCbwSize];
        std::memcpy(cbw, data.data(), kCbwSize);
        std::fill(cbw + 15 + cbw[14], cbw + kCbwSize, 0);
        cbw[14] = 16;
        device_->Out(cbw);
        return UsbStatus::Ack;
    }
    device_->Out(data);
    return UsbStatus::Ack;
}

UsbStatus BulkOnlyUsbFunction::In(size_t capacity, std::vector<uint8_t>* data) {
    return device_->In(capacity, data) ? UsbStatus::Ack : UsbStatus::Nak;
}

}  // namespace emu
