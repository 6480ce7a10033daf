// What a USB front (a virtual bus such as usbredir) needs of the controller's Bulk-Only
// interface: the bulk pipes as USB sees them (a transfer is acknowledged, stalled, or
// left waiting), the endpoint halt feature, and the class requests of the Bulk-Only
// Transport. The socket fronts have no stall on the wire and keep their own message
// rules; this is the USB view of the same device.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace emu {

enum class UsbStatus {
    Ack,    // the transfer completed (data moved; an IN transfer may be short)
    Stall,  // the endpoint is halted: the host sees a STALL handshake
    Nak,    // the device has nothing to send now: the IN transfer stays pending
};

class UsbBulkFunction {
public:
    virtual ~UsbBulkFunction() = default;
    // An OUT transfer on endpoint 0x02 that the host completed.
    virtual UsbStatus Out(std::span<const uint8_t> data) = 0;
    // An IN transfer on endpoint 0x81 of at most `capacity` bytes; *data receives what the
    // device sends when the result is Ack.
    virtual UsbStatus In(size_t capacity, std::vector<uint8_t>* data) = 0;
    // CLEAR_FEATURE(ENDPOINT_HALT) for 0x02 or 0x81. A halt that only a reset recovery may
    // end (after an invalid wrapper) stays until ClassReset has been received.
    virtual void ClearHalt(uint8_t endpoint) = 0;
    // The class request Bulk-Only Mass Storage Reset: ready for the next wrapper; endpoint
    // halts stay as they are until cleared.
    virtual void ClassReset() = 0;
    // The class request Get Max LUN.
    virtual uint8_t MaxLun() const { return 0; }
    // USB bus reset or a new configuration: everything back to its power-on state but the
    // controller model itself.
    virtual void BusReset() = 0;
};

}  // namespace emu
