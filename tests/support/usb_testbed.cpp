#include "tests/support/usb_testbed.h"

#include <linux/ioctl.h>
// linux/ioctl.h must come first: usbdevice_fs.h uses its macros.
#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <stdexcept>

#include "emu/bulk_only_device.h"

struct UsbTestBed::Device {
    Device(std::mutex& mutex, const UsbDeviceLayout& layout, const emu::ModelConfig& config)
        : mutex(mutex), layout(layout), model(config), framing(model) {}

    std::mutex& mutex;  // the test bed's: the handlers run on umockdev's thread
    UsbDeviceLayout layout;
    emu::Model model;
    emu::BulkOnlyDevice framing;
    UMockdevIoctlBase* handler = nullptr;
    std::vector<std::string> requests;
    std::deque<UMockdevIoctlData*> pendingIn;  // IN URBs waiting for the device
    std::deque<UMockdevIoctlData*> completed;  // URBs for the host to reap
    uint64_t stallAt = 0;
    uint64_t silentAt = 0;
    uint64_t phaseErrorAt = 0;
    uint64_t stallStatusAt = 0;
    bool statusStalled = false;
    int claimsRefused = 0;  // another process holds the interface for this many claims
    const char* driver = layout.kernelDriver;  // bound now: usbfs's disconnect and connect change it
};

namespace {

using Device = UsbTestBed::Device;

usbdevfs_urb* Urb(UMockdevIoctlData* data) { return reinterpret_cast<usbdevfs_urb*>(data->data); }

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string s;
    char digits[3];
    for (uint8_t b : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", b);
        s += digits;
    }
    return s;
}

// Device, configuration, one interface of the mass-storage class with two bulk endpoints.
std::vector<uint8_t> Descriptors(const UsbDeviceLayout& s) {
    const auto lo = [](uint16_t v) { return static_cast<uint8_t>(v); };
    const auto hi = [](uint16_t v) { return static_cast<uint8_t>(v >> 8); };
    return {
        18, 1, 0x00, 0x02, 0, 0, 0, 64, lo(s.vendor), hi(s.vendor), lo(s.product), hi(s.product), 0x00, 0x01, 1, 2, 3, 1,
        9, 2, 32, 0, 1, 1, 0, 0x80, 50,             // configuration 1, 32 bytes in all
        9, 4, 0, 0, 2, 0x08, 0x06, 0x50, 0,         // interface 0: mass storage, SCSI, bulk-only
        7, 5, s.inEndpoint, 0x02, 0x00, 0x02, 0,    // bulk, 512-byte packets
        7, 5, s.outEndpoint, 0x02, 0x00, 0x02, 0,
    };
}

// Reads the unsigned int the ioctl's argument points to.
unsigned ArgumentValue(UMockdevIoctlData* arg) {
    UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), nullptr);
    unsigned value = 0;
    std::memcpy(&value, d->data, sizeof value);
    g_object_unref(d);
    return value;
}

std::string Numbered(const char* what, unsigned value, const char* format = "%u") {
    char text[48];
    std::snprintf(text, sizeof text, "%s ", what);
    std::snprintf(text + std::strlen(text), sizeof text - std::strlen(text), format, value);
    return text;
}

void Complete(Device& d, UMockdevIoctlData* urbData, int status, const std::vector<uint8_t>& data) {
    usbdevfs_urb* urb = Urb(urbData);
    urb->status = status;
    urb->actual_length = static_cast<int>(data.size());
    // After resolving, the URB's buffer pointer names the test bed's copy of the host's
    // buffer; the copy goes back to the host when the URB is reaped.
    if (!data.empty()) std::memcpy(urb->buffer, data.data(), data.size());
    d.completed.push_back(urbData);
}

// Hands waiting IN URBs what the device has to send, in order.
void AnswerPendingIn(Device& d) {
    while (!d.pendingIn.empty()) {
        const uint64_t command = d.framing.Commands();
        if (command == d.silentAt) return;
        UMockdevIoctlData* urbData = d.pendingIn.front();
        if (command == d.stallAt && d.framing.InDataPhase()) {
            d.framing.StallDataPhase();
            Complete(d, urbData, -EPIPE, {});
        } else if (command == d.stallStatusAt && d.framing.StatusNext() && !d.statusStalled) {
            d.statusStalled = true;  // once: the status goes out after the next IN transfer
            Complete(d, urbData, -EPIPE, {});
        } else {
            std::vector<uint8_t> data;
            const emu::UsbStatus status = d.framing.In(static_cast<size_t>(Urb(urbData)->buffer_length), &data);
            if (status == emu::UsbStatus::Nak) return;
            if (command == d.phaseErrorAt && data.size() == 13 && data[0] == 'U' && data[3] == 'S') data[12] = 2;
            Complete(d, urbData, status == emu::UsbStatus::Stall ? -EPIPE : 0, data);
        }
        d.pendingIn.pop_front();
    }
}

// A request on the default pipe: the class reset ("reset 0"); any other request stalls.
gboolean ControlUrb(Device& d, UMockdevIoctlClient* client, UMockdevIoctlData* urbData) {
    usbdevfs_urb* urb = Urb(urbData);
    UMockdevIoctlData* buffer = umockdev_ioctl_data_resolve(urbData, G_STRUCT_OFFSET(usbdevfs_urb, buffer),
                                                            static_cast<gsize>(urb->buffer_length), nullptr);
    const uint8_t* setup = buffer->data;
    const bool reset = urb->buffer_length >= 8 && setup[0] == 0x21 && setup[1] == 0xFF;
    d.requests.push_back(reset ? Numbered("reset", setup[4]) : Numbered("control", setup[1], "0x%02x"));
    if (reset) d.framing.ClassReset();
    urb->status = reset ? 0 : -EPIPE;
    urb->actual_length = 0;
    d.completed.push_back(urbData);
    g_object_unref(buffer);
    umockdev_ioctl_client_complete(client, 0, 0);
    return TRUE;
}

gboolean SubmitUrb(Device& d, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    UMockdevIoctlData* urbData = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    usbdevfs_urb* urb = Urb(urbData);
    if (urb->type == USBDEVFS_URB_TYPE_CONTROL) return ControlUrb(d, client, urbData);
    const bool out = urb->endpoint == d.layout.outEndpoint;
    if (urb->type != USBDEVFS_URB_TYPE_BULK || (!out && urb->endpoint != d.layout.inEndpoint) || urb->buffer_length < 0) {
        g_object_unref(urbData);
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return TRUE;
    }
    UMockdevIoctlData* buffer = umockdev_ioctl_data_resolve(urbData, G_STRUCT_OFFSET(usbdevfs_urb, buffer),
                                                            static_cast<gsize>(urb->buffer_length), nullptr);
    if (out) {
        if (d.framing.Commands() == d.stallAt && d.framing.InDataPhase()) {
            d.framing.StallDataPhase();
            Complete(d, urbData, -EPIPE, {});
        } else if (d.framing.Out({buffer->data, static_cast<size_t>(urb->buffer_length)}) == emu::UsbStatus::Stall) {
            Complete(d, urbData, -EPIPE, {});
        } else {
            urb->status = 0;
            urb->actual_length = urb->buffer_length;
            d.completed.push_back(urbData);
        }
    } else {
        d.pendingIn.push_back(urbData);
    }
    g_object_unref(buffer);
    AnswerPendingIn(d);
    umockdev_ioctl_client_complete(client, 0, 0);
    return TRUE;
}

gboolean ReapUrb(Device& d, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    if (d.completed.empty()) {
        umockdev_ioctl_client_complete(client, -1, EAGAIN);
        return TRUE;
    }
    UMockdevIoctlData* urbData = d.completed.front();
    d.completed.pop_front();
    UMockdevIoctlData* pointer = umockdev_ioctl_data_resolve(arg, 0, sizeof(gpointer), nullptr);
    umockdev_ioctl_data_set_ptr(pointer, 0, urbData);
    umockdev_ioctl_client_complete(client, 0, 0);
    g_object_unref(pointer);
    g_object_unref(urbData);
    return TRUE;
}

gboolean DiscardUrb(Device& d, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    gulong address = 0;
    std::memcpy(&address, arg->data, sizeof address);
    for (auto it = d.pendingIn.begin(); it != d.pendingIn.end(); ++it) {
        if ((*it)->client_addr == address) {
            UMockdevIoctlData* urbData = *it;
            d.pendingIn.erase(it);
            Complete(d, urbData, -ENOENT, {});
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        }
    }
    umockdev_ioctl_client_complete(client, -1, EINVAL);
    return TRUE;
}

gboolean GetDriver(Device& d, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_getdriver), nullptr);
    auto* request = reinterpret_cast<usbdevfs_getdriver*>(data->data);
    d.requests.push_back(Numbered("getdriver", request->interface));
    const char* driver = d.claimsRefused > 0 ? "usbfs" : d.driver;
    if (driver != nullptr) {
        std::snprintf(request->driver, sizeof request->driver, "%s", driver);
        umockdev_ioctl_client_complete(client, 0, 0);
    } else {
        umockdev_ioctl_client_complete(client, -1, ENODATA);
    }
    g_object_unref(data);
    return TRUE;
}

// The usbfs requests libusb makes of an opened device, answered on the test bed's own
// thread.
gboolean HandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    Device& d = *static_cast<Device*>(self);
    std::lock_guard<std::mutex> lock(d.mutex);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    const gulong request = umockdev_ioctl_client_get_request(client);
    switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(guint32), nullptr);
            const guint32 value = USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_BULK_CONTINUATION |
                                  USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT |
                                  USBDEVFS_CAP_ZERO_PACKET;
            std::memcpy(caps->data, &value, sizeof value);
            umockdev_ioctl_client_complete(client, 0, 0);
            g_object_unref(caps);
            return TRUE;
        }
        case USBDEVFS_GETDRIVER: return GetDriver(d, client, arg);
        case USBDEVFS_CLAIMINTERFACE:
            d.requests.push_back(Numbered(d.claimsRefused > 0 ? "claim (busy)" : "claim", ArgumentValue(arg)));
            if (d.claimsRefused > 0) {
                --d.claimsRefused;
                umockdev_ioctl_client_complete(client, -1, EBUSY);
            } else {
                umockdev_ioctl_client_complete(client, 0, 0);
            }
            return TRUE;
        case USBDEVFS_RELEASEINTERFACE:
            d.requests.push_back(Numbered("release", ArgumentValue(arg)));
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        case USBDEVFS_IOCTL: {
            // usbfs's own requests on an interface: the kernel driver let go of, or bound again.
            UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_ioctl), nullptr);
            const auto* request = reinterpret_cast<const usbdevfs_ioctl*>(data->data);
            const auto code = static_cast<unsigned long>(request->ioctl_code);
            if (code == USBDEVFS_DISCONNECT && d.driver != nullptr) {
                d.requests.push_back(Numbered("disconnect", static_cast<unsigned>(request->ifno)));
                d.driver = nullptr;
                umockdev_ioctl_client_complete(client, 0, 0);
            } else if (code == USBDEVFS_CONNECT) {
                d.requests.push_back(Numbered("connect", static_cast<unsigned>(request->ifno)));
                d.driver = d.layout.kernelDriver;
                umockdev_ioctl_client_complete(client, 0, 0);
            } else {
                umockdev_ioctl_client_complete(client, -1, ENODATA);
            }
            g_object_unref(data);
            return TRUE;
        }
        case USBDEVFS_CLEAR_HALT: {
            const unsigned endpoint = ArgumentValue(arg);
            d.requests.push_back(Numbered("clear-halt", endpoint, "0x%02x"));
            d.framing.ClearHalt(static_cast<uint8_t>(endpoint));
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        }
        case USBDEVFS_SUBMITURB: return SubmitUrb(d, client, arg);
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY: return ReapUrb(d, client, arg);
        case USBDEVFS_DISCARDURB: return DiscardUrb(d, client, arg);
        default:
            d.requests.push_back(Numbered("ioctl", static_cast<unsigned>(request), "0x%x"));
            umockdev_ioctl_client_complete(client, -1, ENOTTY);
            return TRUE;
    }
}

}  // namespace

namespace {

// The test bed's thread makes process-wide state of its libraries the first time it runs
// (the default main context, the task type, each with a descriptor). Made here, on the
// test's thread, they exist before any test counts this process's descriptors.
UMockdevTestbed* NewTestbed() {
    g_main_context_default();
    g_type_ensure(G_TYPE_TASK);
    return umockdev_testbed_new();
}

}  // namespace

UsbTestBed::UsbTestBed() : testbed_(NewTestbed()) {}

UsbTestBed::~UsbTestBed() {
    auto* testbed = static_cast<UMockdevTestbed*>(testbed_);
    for (size_t i = 0; i < devices_.size(); ++i) {
        Device* d = devices_[i].get();
        char node[32];
        std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/001", BusNumber(i));
        umockdev_testbed_detach_ioctl(testbed, node, nullptr);
        g_object_unref(d->handler);
        for (UMockdevIoctlData* urb : d->pendingIn) g_object_unref(urb);
        for (UMockdevIoctlData* urb : d->completed) g_object_unref(urb);
    }
    g_object_unref(testbed);
}

bool UsbTestBed::Usable() { return umockdev_in_mock_environment(); }

size_t UsbTestBed::AddDevice(const UsbDeviceLayout& layout, const emu::ModelConfig& config) {
    auto* testbed = static_cast<UMockdevTestbed*>(testbed_);
    const size_t index = devices_.size();
    devices_.push_back(std::make_unique<Device>(mutex_, layout, config));
    Device& d = *devices_.back();
    const unsigned bus = BusNumber(index);
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/001", bus);

    // The handler comes first, so that the node answers as soon as the device exists.
    d.handler = umockdev_ioctl_base_new();
    g_signal_connect(d.handler, "handle-ioctl", G_CALLBACK(HandleIoctl), &d);
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed, node, d.handler, &error)) {
        const std::string message = error ? error->message : "attach failed";
        g_clear_error(&error);
        throw std::runtime_error(message);
    }

    char record[1024];
    std::snprintf(record, sizeof record,
                  "P: /devices/usb%u\n"
                  "N: bus/usb/%03u/001\n"
                  "E: SUBSYSTEM=usb\n"
                  "E: DEVTYPE=usb_device\n"
                  "E: DRIVER=usb\n"
                  "E: BUSNUM=%03u\n"
                  "E: DEVNUM=001\n"
                  "E: DEVNAME=/dev/bus/usb/%03u/001\n"
                  "A: busnum=%u\\n\n"
                  "A: devnum=1\\n\n"
                  "A: bConfigurationValue=1\\n\n"
                  "A: speed=480\\n\n"
                  "H: descriptors=%s\n",
                  bus, bus, bus, bus, bus, Hex(Descriptors(layout)).c_str());
    if (!umockdev_testbed_add_from_string(testbed, record, &error)) {
        const std::string message = error ? error->message : "add failed";
        g_clear_error(&error);
        throw std::runtime_error(message);
    }
    return index;
}

emu::Model& UsbTestBed::Model(size_t device) { return devices_.at(device)->model; }

std::vector<std::string> UsbTestBed::Requests(size_t device) {
    std::lock_guard<std::mutex> lock(mutex_);
    return devices_.at(device)->requests;
}

uint64_t UsbTestBed::Commands(size_t device) {
    std::lock_guard<std::mutex> lock(mutex_);
    return devices_.at(device)->framing.Commands();
}

void UsbTestBed::StallDataPhase(size_t device, uint64_t command) {
    std::lock_guard<std::mutex> lock(mutex_);
    devices_.at(device)->stallAt = command;
}

void UsbTestBed::ClaimedElsewhere(size_t device, int claims) {
    std::lock_guard<std::mutex> lock(mutex_);
    devices_.at(device)->claimsRefused = claims;
}

void UsbTestBed::PhaseError(size_t device, uint64_t command) {
    std::lock_guard<std::mutex> lock(mutex_);
    devices_.at(device)->phaseErrorAt = command;
}

void UsbTestBed::StallStatus(size_t device, uint64_t command) {
    std::lock_guard<std::mutex> lock(mutex_);
    devices_.at(device)->stallStatusAt = command;
    devices_.at(device)->statusStalled = false;
}

void UsbTestBed::Silence(size_t device, uint64_t command) {
    std::lock_guard<std::mutex> lock(mutex_);
    devices_.at(device)->silentAt = command;
}
