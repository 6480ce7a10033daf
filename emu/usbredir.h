// The controller as a USB device on a virtual bus: the device side of the usbredir
// protocol (the side a real device sits on), spoken on a connected stream socket to QEMU's
// usb-redir device. It announces one high-speed device with one Bulk-Only interface,
// answers the standard and class requests on endpoint 0, and hands the bulk transfers on
// 0x02 and 0x81 to a UsbBulkFunction.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <vector>

#include "emu/usb_function.h"

struct usbredirparser;

namespace emu {

// What the device is, in one place: every descriptor, the interface and endpoint
// announcements and the connect message are made from this table.
struct UsbEndpoint {
    uint8_t address;
    uint16_t maxPacketSize;
};
struct UsbDeviceTable {
    uint16_t vendorId;
    uint16_t productId;
    uint16_t releaseBcd;
    uint8_t controlMaxPacketSize;
    uint8_t interfaceClass, interfaceSubclass, interfaceProtocol;
    UsbEndpoint bulkIn, bulkOut;
    uint16_t maxPowerMilliamps;
    uint16_t languageId;
    const char* manufacturer;  // string 1
    const char* product;       // string 2
    const char* serial;        // string 3
};
extern const UsbDeviceTable kUsbDevice;

// GET_DESCRIPTOR answers: device (1), configuration (2) with its interface and endpoint
// descriptors, and strings 0 to 3. Empty when the device has no such descriptor.
std::vector<uint8_t> UsbDescriptor(uint8_t type, uint8_t index);

// What the function answers becomes what the host sees: Ack completes the transfer
// (an IN one with the data, cut to the transfer's length), Stall answers with a STALL
// and halts the endpoint until the host clears it (CLEAR_FEATURE(ENDPOINT_HALT), a new
// interface setting or configuration, a bus reset), and Nak leaves the transfer pending
// until the function has data or QEMU cancels it; a fault that sends no answer shows up
// to the guest's kernel as a command that times out.
class UsbRedirDevice {
public:
    // Speaks on fd, a connected stream socket that stays the caller's (it is made
    // non-blocking). The hello goes out with the first OnWritable.
    UsbRedirDevice(int fd, UsbBulkFunction& function);
    ~UsbRedirDevice();
    UsbRedirDevice(const UsbRedirDevice&) = delete;
    UsbRedirDevice& operator=(const UsbRedirDevice&) = delete;

    // Takes everything the peer has sent and answers it. False once the connection has
    // ended: the peer closed it, or it failed.
    bool OnReadable();
    // True while answers wait to go out.
    bool WantsWrite() const;
    // Sends what the socket takes now; false when the connection failed.
    bool OnWritable();

    // Bulk transfers waiting for the function (tests look).
    size_t Waiting() const { return pendingIn_.size() + pendingOut_.size(); }

private:
    struct Pending {
        uint64_t id;
        uint32_t length;
        uint32_t streamId;
    };
    struct PendingOut {
        uint64_t id;
        uint32_t streamId;
        std::vector<uint8_t> data;
    };
    struct ControlReply {
        bool stall = false;
        std::vector<uint8_t> data;  // IN data, cut to wLength by the caller
    };

    static UsbRedirDevice& Self(void* priv) { return *static_cast<UsbRedirDevice*>(priv); }
    void SetCallbacks();
    void Announce();
    ControlReply Control(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                         std::span<const uint8_t> data);
    bool SetConfiguration(uint8_t configuration);
    bool SetAltSetting(uint8_t interface, uint8_t alt);
    void Bulk(uint64_t id, uint8_t endpoint, uint32_t length, uint32_t streamId, std::span<const uint8_t> data);
    // Answers the waiting transfers, oldest first on each endpoint, as far as the function
    // takes or has data.
    void ServePending();
    void SendBulk(uint64_t id, uint8_t endpoint, uint8_t status, uint32_t streamId, std::span<const uint8_t> data,
                  uint32_t outLength = 0);
    // Ends every waiting transfer with `status` (a reset or a new configuration).
    void DropPending(uint8_t status);
    bool& Halted(uint8_t endpoint) { return endpoint & 0x80 ? inHalted_ : outHalted_; }

    int fd_;
    UsbBulkFunction& function_;
    usbredirparser* parser_;
    bool closed_ = false;
    bool announced_ = false;
    uint8_t configuration_ = 0;
    bool inHalted_ = false;
    bool outHalted_ = false;
    std::deque<PendingOut> pendingOut_;
    std::deque<Pending> pendingIn_;
};

}  // namespace emu
