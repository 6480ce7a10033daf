// A USB bus in a umockdev test bed, for the libusb route: devices with the controller's
// descriptors whose usbfs nodes are answered in-process. Bulk URBs go to the device side
// of the Bulk-Only framing over the emulator's controller model, so the route runs
// unchanged, down to its ioctls, against the same model that serves every other route.
// The process must run under umockdev-wrapper.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "emu/model.h"

struct UsbDeviceLayout {
    uint16_t vendor = 0x3a7c;
    uint16_t product = 0x7730;
    uint8_t outEndpoint = 0x02;
    uint8_t inEndpoint = 0x81;
    const char* kernelDriver = nullptr;  // the driver bound to the interface; null: none
};

class UsbTestBed {
public:
    UsbTestBed();
    ~UsbTestBed();
    UsbTestBed(const UsbTestBed&) = delete;
    UsbTestBed& operator=(const UsbTestBed&) = delete;

    // True when the umockdev preload library is active (the process runs under
    // umockdev-wrapper); without it the test bed is invisible to libusb.
    static bool Usable();

    // Adds a device on a bus of its own: the n-th device added (from 0) is bus n + 1,
    // address 1. Returns its index.
    size_t AddDevice(const UsbDeviceLayout& layout, const emu::ModelConfig& config);
    emu::Model& Model(size_t device);
    uint8_t BusNumber(size_t device) const { return static_cast<uint8_t>(device + 1); }

    // The device's answers to the host's interface requests, in order: "getdriver 0",
    // "claim 0", "release 0", "clear-halt 0x81", "reset 0" (the class reset of
    // interface 0), "disconnect 0" and "connect 0" (its kernel driver let go of and bound
    // again), and "ioctl 0x..." for a request it does not know.
    std::vector<std::string> Requests(size_t device);
    // Command wrappers the device received.
    uint64_t Commands(size_t device);

    // Faults, each for the command with the given number (counted from 1 per device):
    // the device halts the pipe of the command's data phase ...
    void StallDataPhase(size_t device, uint64_t command);
    // ... or answers none of the command's IN transfers (the host's transfers time out) ...
    void Silence(size_t device, uint64_t command);
    // ... or answers the command with a phase error (status 2) ...
    void PhaseError(size_t device, uint64_t command);
    // ... or halts the IN pipe at the command's status, once.
    void StallStatus(size_t device, uint64_t command);
    // Another process holds the interface through usbfs for the next `claims` claims: they
    // are refused as busy ("claim (busy) 0"), and the interface's driver reads "usbfs".
    void ClaimedElsewhere(size_t device, int claims);

    struct Device;

private:
    void* testbed_;  // UMockdevTestbed
    std::mutex mutex_;
    std::vector<std::unique_ptr<Device>> devices_;
};
