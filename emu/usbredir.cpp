#include "emu/usbredir.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <usbredirparser.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace emu {

const UsbDeviceTable kUsbDevice = {
    .vendorId = 0x3a7c,
    .productId = 0x7730,
    .releaseBcd = 0x0100,
    .controlMaxPacketSize = 64,
    // Mass storage, SCSI transparent command set, Bulk-Only Transport.
    .interfaceClass = 0x08,
    .interfaceSubclass = 0x06,
    .interfaceProtocol = 0x50,
    .bulkIn = {0x81, 512},
    .bulkOut = {0x02, 512},
    .maxPowerMilliamps = 100,
    .languageId = 0x0409,  // English (United States)
    .manufacturer = "qp7730-emu",
    .product = "QP7730 e-paper controller",
    // Bulk-Only devices carry a serial number of at least 12 hexadecimal digits.
    .serial = "7730E7E70001",
};

namespace {

constexpr uint8_t kConfigurationValue = 1;
constexpr uint8_t kInterfaceNumber = 0;

// Standard requests and feature selectors, and the two Bulk-Only class requests.
// SET_ADDRESS, SET/GET_CONFIGURATION and SET/GET_INTERFACE never come as control packets:
// QEMU handles the first itself and sends the others as packets of their own.
constexpr uint8_t kGetStatus = 0x00, kClearFeature = 0x01, kSetFeature = 0x03, kGetDescriptor = 0x06;
constexpr uint16_t kEndpointHalt = 0;
constexpr uint8_t kMassStorageReset = 0xFF, kGetMaxLun = 0xFE;
constexpr uint8_t kTypeMask = 0x60, kTypeStandard = 0x00, kTypeClass = 0x20;
constexpr uint8_t kRecipientMask = 0x1F, kRecipientDevice = 0, kRecipientInterface = 1, kRecipientEndpoint = 2;

void Put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void PutEndpoint(std::vector<uint8_t>& out, const UsbEndpoint& ep) {
    out.insert(out.end(), {7, 5, ep.address, 0x02 /* bulk */});
    Put16(out, ep.maxPacketSize);
    out.push_back(0);  // bInterval: bulk endpoints never NAK-limit
}

// Index into the 32-entry arrays of ep_info: OUT endpoints 0-15, IN endpoints 16-31.
int EndpointSlot(uint8_t address) { return ((address & 0x80) >> 3) | (address & 0x0F); }

void Log(void*, int level, const char* message) {
    // The library's own errors tell what went wrong with the peer; its chatter does not.
    if (level <= usbredirparser_error) std::fprintf(stderr, "qp7730-emu: %s\n", message);
}

}  // namespace

std::vector<uint8_t> UsbDescriptor(uint8_t type, uint8_t index) {
    const UsbDeviceTable& d = kUsbDevice;
    std::vector<uint8_t> out;
    switch (type) {
        case 1:
            if (index != 0) break;
            out = {18, 1};
            Put16(out, 0x0200);  // USB 2.0
            out.insert(out.end(), {0, 0, 0, d.controlMaxPacketSize});  // class per interface
            Put16(out, d.vendorId);
            Put16(out, d.productId);
            Put16(out, d.releaseBcd);
            out.insert(out.end(), {1, 2, 3, 1});  // strings, one configuration
            break;
        case 2: {
            if (index != 0) break;
            out = {9, 2, 0, 0, 1, kConfigurationValue, 0, 0x80 /* bus-powered */,
                   static_cast<uint8_t>(d.maxPowerMilliamps / 2)};
            out.insert(out.end(), {9, 4, kInterfaceNumber, 0, 2, d.interfaceClass, d.interfaceSubclass,
                                   d.interfaceProtocol, 0});
            PutEndpoint(out, d.bulkIn);
            PutEndpoint(out, d.bulkOut);
            out[2] = static_cast<uint8_t>(out.size());  // wTotalLength
            break;
        }
        case 3: {
            if (index == 0) {
                out = {4, 3};
                Put16(out, d.languageId);
                break;
            }
            if (index > 3) break;
            const char* const texts[] = {d.manufacturer, d.product, d.serial};
            const char* text = texts[index - 1];
            out = {static_cast<uint8_t>(2 + 2 * std::strlen(text)), 3};
            for (const char* c = text; *c; ++c) Put16(out, static_cast<uint8_t>(*c));
            break;
        }
        default: break;  // no device qualifier: the device runs at high speed only
    }
    return out;
}

UsbRedirDevice::UsbRedirDevice(int fd, UsbBulkFunction& function)
    : fd_(fd), function_(function), parser_(usbredirparser_create()) {
    if (!parser_) throw std::bad_alloc();
    const int flags = fcntl(fd_, F_GETFL);
    if (flags >= 0) fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
    SetCallbacks();
    // QEMU attaches a device behind xHCI only when its peer has the last three; with the
    // first, the connect message carries the device's release number.
    uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
    for (int cap : {usb_redir_cap_connect_device_version, usb_redir_cap_ep_info_max_packet_size,
                    usb_redir_cap_64bits_ids, usb_redir_cap_32bits_bulk_length}) {
        usbredirparser_caps_set_cap(caps, cap);
    }
    char version[] = "qp7730-emu";
    usbredirparser_init(parser_, version, caps, USB_REDIR_CAPS_SIZE, usbredirparser_fl_usb_host);
}

UsbRedirDevice::~UsbRedirDevice() { usbredirparser_destroy(parser_); }

bool UsbRedirDevice::OnReadable() {
    // A packet the library refuses is skipped; only the connection's end stops us.
    while (!closed_) {
        const int rc = usbredirparser_do_read(parser_);
        if (rc == usbredirparser_read_parse_error) continue;
        break;
    }
    return !closed_;
}

bool UsbRedirDevice::WantsWrite() const { return usbredirparser_has_data_to_write(parser_) > 0; }

bool UsbRedirDevice::OnWritable() {
    if (usbredirparser_do_write(parser_) != 0 && closed_) return false;
    return !closed_;
}

void UsbRedirDevice::SetCallbacks() {
    usbredirparser* p = parser_;
    p->priv = this;
    p->log_func = Log;
    p->read_func = [](void* priv, uint8_t* data, int count) -> int {
        UsbRedirDevice& self = Self(priv);
        const ssize_t n = recv(self.fd_, data, static_cast<size_t>(count), MSG_DONTWAIT);
        if (n > 0) return static_cast<int>(n);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
        self.closed_ = true;  // end of the connection, or it broke
        return -1;
    };
    p->write_func = [](void* priv, uint8_t* data, int count) -> int {
        UsbRedirDevice& self = Self(priv);
        const ssize_t n = send(self.fd_, data, static_cast<size_t>(count), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n >= 0) return static_cast<int>(n);
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
        self.closed_ = true;
        return -1;
    };
    p->hello_func = [](void* priv, usb_redir_hello_header*) { Self(priv).Announce(); };
    p->reset_func = [](void* priv) {
        UsbRedirDevice& self = Self(priv);
        // A bus reset: the device is back to its default state, unconfigured.
        self.DropPending(usb_redir_ioerror);
        self.configuration_ = 0;
        self.inHalted_ = self.outHalted_ = false;
        self.function_.BusReset();
    };
    p->set_configuration_func = [](void* priv, uint64_t id, usb_redir_set_configuration_header* h) {
        UsbRedirDevice& self = Self(priv);
        usb_redir_configuration_status_header status{};
        status.status = self.SetConfiguration(h->configuration) ? usb_redir_success : usb_redir_stall;
        status.configuration = self.configuration_;
        usbredirparser_send_configuration_status(self.parser_, id, &status);
    };
    p->get_configuration_func = [](void* priv, uint64_t id) {
        UsbRedirDevice& self = Self(priv);
        usb_redir_configuration_status_header status{usb_redir_success, self.configuration_};
        usbredirparser_send_configuration_status(self.parser_, id, &status);
    };
    p->set_alt_setting_func = [](void* priv, uint64_t id, usb_redir_set_alt_setting_header* h) {
        UsbRedirDevice& self = Self(priv);
        usb_redir_alt_setting_status_header status{};
        status.status = self.SetAltSetting(h->interface, h->alt) ? usb_redir_success : usb_redir_stall;
        status.interface = h->interface;
        status.alt = 0;
        usbredirparser_send_alt_setting_status(self.parser_, id, &status);
    };
    p->get_alt_setting_func = [](void* priv, uint64_t id, usb_redir_get_alt_setting_header* h) {
        UsbRedirDevice& self = Self(priv);
        usb_redir_alt_setting_status_header status{};
        const bool known = self.configuration_ == kConfigurationValue && h->interface == kInterfaceNumber;
        status.status = known ? usb_redir_success : usb_redir_stall;
        status.interface = h->interface;
        status.alt = 0;
        usbredirparser_send_alt_setting_status(self.parser_, id, &status);
    };
    p->cancel_data_packet_func = [](void* priv, uint64_t id) {
        UsbRedirDevice& self = Self(priv);
        // A transfer already answered is not answered again.
        const auto in = std::find_if(self.pendingIn_.begin(), self.pendingIn_.end(),
                                     [id](const Pending& p) { return p.id == id; });
        if (in != self.pendingIn_.end()) {
            const Pending cancelled = *in;
            self.pendingIn_.erase(in);
            self.SendBulk(cancelled.id, kUsbDevice.bulkIn.address, usb_redir_cancelled, cancelled.streamId, {});
        }
        const auto out = std::find_if(self.pendingOut_.begin(), self.pendingOut_.end(),
                                      [id](const PendingOut& p) { return p.id == id; });
        if (out != self.pendingOut_.end()) {
            self.SendBulk(out->id, kUsbDevice.bulkOut.address, usb_redir_cancelled, out->streamId, {});
            self.pendingOut_.erase(out);
        }
    };
    p->control_packet_func = [](void* priv, uint64_t id, usb_redir_control_packet_header* h, uint8_t* data,
                                int length) {
        UsbRedirDevice& self = Self(priv);
        const std::span<const uint8_t> out(data, data ? static_cast<size_t>(length) : 0);
        ControlReply reply = self.Control(h->requesttype, h->request, h->value, h->index, out);
        usbredirparser_free_packet_data(self.parser_, data);
        usb_redir_control_packet_header answer = *h;
        answer.status = reply.stall ? usb_redir_stall : usb_redir_success;
        if (reply.stall) {
            answer.length = 0;
            usbredirparser_send_control_packet(self.parser_, id, &answer, nullptr, 0);
        } else if (h->endpoint & 0x80) {
            if (reply.data.size() > h->length) reply.data.resize(h->length);
            answer.length = static_cast<uint16_t>(reply.data.size());
            usbredirparser_send_control_packet(self.parser_, id, &answer, reply.data.data(),
                                               static_cast<int>(reply.data.size()));
        } else {
            answer.length = static_cast<uint16_t>(out.size());
            usbredirparser_send_control_packet(self.parser_, id, &answer, nullptr, 0);
        }
        // A class reset or a cleared halt may let a waiting IN transfer go on.
        self.ServePending();
    };
    p->bulk_packet_func = [](void* priv, uint64_t id, usb_redir_bulk_packet_header* h, uint8_t* data, int length) {
        UsbRedirDevice& self = Self(priv);
        const uint32_t asked = (uint32_t{h->length_high} << 16) | h->length;
        self.Bulk(id, h->endpoint, asked, h->stream_id,
                  std::span<const uint8_t>(data, data ? static_cast<size_t>(length) : 0));
        usbredirparser_free_packet_data(self.parser_, data);
    };
    // No isochronous, interrupt, stream or buffered endpoints: what asks for one is refused.
    p->start_iso_stream_func = [](void* priv, uint64_t, usb_redir_start_iso_stream_header* h) {
        usb_redir_iso_stream_status_header status{usb_redir_inval, h->endpoint};
        usbredirparser_send_iso_stream_status(Self(priv).parser_, 0, &status);
    };
    p->stop_iso_stream_func = [](void*, uint64_t, usb_redir_stop_iso_stream_header*) {};
    p->start_interrupt_receiving_func = [](void* priv, uint64_t, usb_redir_start_interrupt_receiving_header* h) {
        usb_redir_interrupt_receiving_status_header status{usb_redir_inval, h->endpoint};
        usbredirparser_send_interrupt_receiving_status(Self(priv).parser_, 0, &status);
    };
    p->stop_interrupt_receiving_func = [](void*, uint64_t, usb_redir_stop_interrupt_receiving_header*) {};
    p->alloc_bulk_streams_func = [](void* priv, uint64_t id, usb_redir_alloc_bulk_streams_header* h) {
        usb_redir_bulk_streams_status_header status{h->endpoints, h->no_streams, usb_redir_inval};
        usbredirparser_send_bulk_streams_status(Self(priv).parser_, id, &status);
    };
    p->free_bulk_streams_func = [](void*, uint64_t, usb_redir_free_bulk_streams_header*) {};
    p->start_bulk_receiving_func = [](void* priv, uint64_t id, usb_redir_start_bulk_receiving_header* h) {
        usb_redir_bulk_receiving_status_header status{h->stream_id, h->endpoint, usb_redir_inval};
        usbredirparser_send_bulk_receiving_status(Self(priv).parser_, id, &status);
    };
    p->stop_bulk_receiving_func = [](void*, uint64_t, usb_redir_stop_bulk_receiving_header*) {};
    p->iso_packet_func = [](void* priv, uint64_t, usb_redir_iso_packet_header*, uint8_t* data, int) {
        usbredirparser_free_packet_data(Self(priv).parser_, data);
    };
    p->interrupt_packet_func = [](void* priv, uint64_t, usb_redir_interrupt_packet_header*, uint8_t* data, int) {
        usbredirparser_free_packet_data(Self(priv).parser_, data);
    };
    p->filter_reject_func = [](void*) {};
    p->filter_filter_func = [](void*, usbredirfilter_rule* rules, int) { std::free(rules); };
    p->device_disconnect_ack_func = [](void*) {};
}

void UsbRedirDevice::Announce() {
    if (announced_) return;
    announced_ = true;
    const UsbDeviceTable& d = kUsbDevice;
    // The interface and its endpoints first: QEMU checks them when the device connects.
    usb_redir_interface_info_header interfaces{};
    interfaces.interface_count = 1;
    interfaces.interface[0] = kInterfaceNumber;
    interfaces.interface_class[0] = d.interfaceClass;
    interfaces.interface_subclass[0] = d.interfaceSubclass;
    interfaces.interface_protocol[0] = d.interfaceProtocol;
    usbredirparser_send_interface_info(parser_, &interfaces);

    usb_redir_ep_info_header endpoints{};
    std::fill(std::begin(endpoints.type), std::end(endpoints.type), usb_redir_type_invalid);
    for (uint8_t control : {uint8_t{0x00}, uint8_t{0x80}}) {
        endpoints.type[EndpointSlot(control)] = usb_redir_type_control;
        endpoints.max_packet_size[EndpointSlot(control)] = d.controlMaxPacketSize;
    }
    for (const UsbEndpoint& ep : {d.bulkIn, d.bulkOut}) {
        endpoints.type[EndpointSlot(ep.address)] = usb_redir_type_bulk;
        endpoints.interface[EndpointSlot(ep.address)] = kInterfaceNumber;
        endpoints.max_packet_size[EndpointSlot(ep.address)] = ep.maxPacketSize;
    }
    usbredirparser_send_ep_info(parser_, &endpoints);

    usb_redir_device_connect_header connect{};
    connect.speed = usb_redir_speed_high;
    connect.device_class = 0;  // given by the interface
    connect.vendor_id = d.vendorId;
    connect.product_id = d.productId;
    connect.device_version_bcd = d.releaseBcd;
    usbredirparser_send_device_connect(parser_, &connect);
}

bool UsbRedirDevice::SetConfiguration(uint8_t configuration) {
    if (configuration != 0 && configuration != kConfigurationValue) return false;
    // A new configuration starts the interface afresh, and with it every endpoint.
    DropPending(usb_redir_ioerror);
    configuration_ = configuration;
    inHalted_ = outHalted_ = false;
    function_.BusReset();
    return true;
}

bool UsbRedirDevice::SetAltSetting(uint8_t interface, uint8_t alt) {
    if (configuration_ != kConfigurationValue || interface != kInterfaceNumber || alt != 0) return false;
    // Selecting an interface setting clears its endpoints' halts.
    for (uint8_t ep : {kUsbDevice.bulkIn.address, kUsbDevice.bulkOut.address}) {
        if (Halted(ep)) function_.ClearHalt(ep);
        Halted(ep) = false;
    }
    return true;
}

UsbRedirDevice::ControlReply UsbRedirDevice::Control(uint8_t requestType, uint8_t request, uint16_t value,
                                                     uint16_t index, std::span<const uint8_t> data) {
    ControlReply reply;
    const uint8_t type = requestType & kTypeMask;
    const uint8_t recipient = requestType & kRecipientMask;
    const bool in = (requestType & 0x80) != 0;
    const bool configured = configuration_ == kConfigurationValue;
    const bool bulkEndpoint = index == kUsbDevice.bulkIn.address || index == kUsbDevice.bulkOut.address;

    if (type == kTypeClass && recipient == kRecipientInterface && index == kInterfaceNumber && value == 0 &&
        configured) {
        if (request == kMassStorageReset && !in && data.empty()) {
            function_.ClassReset();
            return reply;
        }
        if (request == kGetMaxLun && in) {
            reply.data = {function_.MaxLun()};
            return reply;
        }
    }
    if (type == kTypeStandard) {
        switch (request) {
            case kGetDescriptor:
                if (in && recipient == kRecipientDevice) {
                    reply.data = UsbDescriptor(static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value));
                    if (!reply.data.empty()) return reply;
                }
                break;
            case kGetStatus:
                if (!in) break;
                if (recipient == kRecipientDevice || (recipient == kRecipientInterface && index == kInterfaceNumber)) {
                    reply.data = {0, 0};  // bus-powered, no remote wake-up
                    return reply;
                }
                if (recipient == kRecipientEndpoint && (index == 0 || index == 0x80 || (bulkEndpoint && configured))) {
                    reply.data = {static_cast<uint8_t>(index != 0 && index != 0x80 && Halted(uint8_t(index))), 0};
                    return reply;
                }
                break;
            case kClearFeature:
            case kSetFeature:
                if (in || recipient != kRecipientEndpoint || value != kEndpointHalt) break;
                if (index == 0 || index == 0x80) return reply;  // endpoint 0 does not halt
                if (!bulkEndpoint || !configured) break;
                if (request == kSetFeature) {
                    Halted(uint8_t(index)) = true;
                } else {
                    Halted(uint8_t(index)) = false;
                    function_.ClearHalt(static_cast<uint8_t>(index));
                }
                return reply;
            default: break;
        }
    }
    // Anything else is a request error: the device stalls the control pipe.
    reply.stall = true;
    reply.data.clear();
    return reply;
}

void UsbRedirDevice::Bulk(uint64_t id, uint8_t endpoint, uint32_t length, uint32_t streamId,
                          std::span<const uint8_t> data) {
    const bool known = endpoint == kUsbDevice.bulkIn.address || endpoint == kUsbDevice.bulkOut.address;
    if (!known || configuration_ != kConfigurationValue) {
        SendBulk(id, endpoint, usb_redir_inval, streamId, {});
        return;
    }
    if (endpoint & 0x80) {
        // Answered in order: a later transfer never overtakes one that waits.
        pendingIn_.push_back({id, length, streamId});
        ServePending();
        return;
    }
    pendingOut_.push_back({id, streamId, std::vector<uint8_t>(data.begin(), data.end())});
    ServePending();
}

void UsbRedirDevice::ServePending() {
    std::vector<uint8_t> data;
    for (bool progress = true; progress;) {
        progress = false;
        // OUT first: the data may be what a waiting IN transfer needs.
        while (!pendingOut_.empty()) {
            PendingOut& p = pendingOut_.front();
            const UsbStatus status = outHalted_ ? UsbStatus::Stall : function_.Out(p.data);
            if (status == UsbStatus::Nak) break;  // held, as a device NAKs until it has room
            if (status == UsbStatus::Stall) outHalted_ = true;
            SendBulk(p.id, kUsbDevice.bulkOut.address, status == UsbStatus::Ack ? usb_redir_success : usb_redir_stall,
                     p.streamId, {}, status == UsbStatus::Ack ? static_cast<uint32_t>(p.data.size()) : 0);
            pendingOut_.pop_front();
            progress = true;
        }
        while (!pendingIn_.empty()) {
            const Pending p = pendingIn_.front();
            data.clear();
            const UsbStatus status = inHalted_ ? UsbStatus::Stall : function_.In(p.length, &data);
            if (status == UsbStatus::Nak) break;  // stays pending until data comes or QEMU cancels
            pendingIn_.pop_front();
            progress = true;
            if (status == UsbStatus::Stall) {
                inHalted_ = true;
                SendBulk(p.id, kUsbDevice.bulkIn.address, usb_redir_stall, p.streamId, {});
                continue;
            }
            // Never more than the transfer asked for: the host would see babble.
            if (data.size() > p.length) data.resize(p.length);
            SendBulk(p.id, kUsbDevice.bulkIn.address, usb_redir_success, p.streamId, data);
        }
    }
}

void UsbRedirDevice::SendBulk(uint64_t id, uint8_t endpoint, uint8_t status, uint32_t streamId,
                              std::span<const uint8_t> data, uint32_t outLength) {
    usb_redir_bulk_packet_header h{};
    const uint32_t length = (endpoint & 0x80) ? static_cast<uint32_t>(data.size()) : outLength;
    h.endpoint = endpoint;
    h.status = status;
    h.length = static_cast<uint16_t>(length);
    h.length_high = static_cast<uint16_t>(length >> 16);
    h.stream_id = streamId;
    usbredirparser_send_bulk_packet(parser_, id, &h, const_cast<uint8_t*>(data.data()), static_cast<int>(data.size()));
}

void UsbRedirDevice::DropPending(uint8_t status) {
    for (const PendingOut& p : pendingOut_) SendBulk(p.id, kUsbDevice.bulkOut.address, status, p.streamId, {});
    pendingOut_.clear();
    for (const Pending& p : pendingIn_) SendBulk(p.id, kUsbDevice.bulkIn.address, status, p.streamId, {});
    pendingIn_.clear();
}

}  // namespace emu
