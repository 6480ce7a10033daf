// The emulator as a USB device on QEMU's virtual bus: the usbredir device side driven
// in-process by a fake QEMU (the same parser library, as the guest side) over a socket
// pair, and qp7730-emu --usbredir as a process.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <usbredirparser.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "emu/model.h"
#include "emu/usb_bulk_adapter.h"
#include "emu/usbredir.h"

namespace {

using emu::UsbStatus;

// What QEMU's side of the connection saw.
struct Answer {
    uint8_t status = 0;
    uint8_t endpoint = 0;
    uint32_t length = 0;
    std::vector<uint8_t> data;
    uint8_t value = 0;  // configuration or alternate setting
};

// QEMU's side (the guest side of the protocol) on the socket fd, which it owns.
class FakeQemu {
public:
    explicit FakeQemu(int fd) : fd_(fd), parser_(usbredirparser_create()) {
        usbredirparser* p = parser_;
        p->priv = this;
        p->log_func = [](void*, int, const char*) {};
        p->read_func = [](void* priv, uint8_t* data, int count) -> int {
            const ssize_t n = recv(Self(priv).fd_, data, static_cast<size_t>(count), MSG_DONTWAIT);
            return n > 0 ? static_cast<int>(n) : (n < 0 && errno == EAGAIN ? 0 : -1);
        };
        p->write_func = [](void* priv, uint8_t* data, int count) -> int {
            const ssize_t n = send(Self(priv).fd_, data, static_cast<size_t>(count), MSG_DONTWAIT | MSG_NOSIGNAL);
            return n >= 0 ? static_cast<int>(n) : (errno == EAGAIN ? 0 : -1);
        };
        p->hello_func = [](void* priv, usb_redir_hello_header*) { Self(priv).hello = true; };
        p->device_connect_func = [](void* priv, usb_redir_device_connect_header* h) { Self(priv).connect = *h; };
        p->device_disconnect_func = [](void*) {};
        p->interface_info_func = [](void* priv, usb_redir_interface_info_header* h) { Self(priv).interfaces = *h; };
        p->ep_info_func = [](void* priv, usb_redir_ep_info_header* h) { Self(priv).endpoints = *h; };
        p->configuration_status_func = [](void* priv, uint64_t id, usb_redir_configuration_status_header* h) {
            Self(priv).answers.emplace(id, Answer{h->status, 0, 0, {}, h->configuration});
        };
        p->alt_setting_status_func = [](void* priv, uint64_t id, usb_redir_alt_setting_status_header* h) {
            Self(priv).answers.emplace(id, Answer{h->status, 0, 0, {}, h->alt});
        };
        p->control_packet_func = [](void* priv, uint64_t id, usb_redir_control_packet_header* h, uint8_t* data,
                                    int length) {
            Self(priv).answers.emplace(id, Answer{h->status, h->endpoint, h->length,
                                                  std::vector<uint8_t>(data, data + length), 0});
            free(data);
        };
        p->bulk_packet_func = [](void* priv, uint64_t id, usb_redir_bulk_packet_header* h, uint8_t* data,
                                 int length) {
            Self(priv).answers.emplace(id, Answer{h->status, h->endpoint, (uint32_t{h->length_high} << 16) | h->length,
                                                  std::vector<uint8_t>(data, data + length), 0});
            free(data);
        };
        p->iso_stream_status_func = [](void*, uint64_t, usb_redir_iso_stream_status_header*) {};
        p->interrupt_receiving_status_func = [](void*, uint64_t, usb_redir_interrupt_receiving_status_header*) {};
        p->bulk_streams_status_func = [](void*, uint64_t, usb_redir_bulk_streams_status_header*) {};
        p->bulk_receiving_status_func = [](void*, uint64_t, usb_redir_bulk_receiving_status_header*) {};
        p->iso_packet_func = [](void*, uint64_t, usb_redir_iso_packet_header*, uint8_t* data, int) { free(data); };
        p->interrupt_packet_func = [](void*, uint64_t, usb_redir_interrupt_packet_header*, uint8_t* data, int) {
            free(data);
        };
        p->buffered_bulk_packet_func = [](void*, uint64_t, usb_redir_buffered_bulk_packet_header*, uint8_t* data,
                                          int) { free(data); };
        p->filter_filter_func = [](void*, usbredirfilter_rule* rules, int) { free(rules); };
        // QEMU's own capabilities.
        uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
        for (int cap : {usb_redir_cap_connect_device_version, usb_redir_cap_filter,
                        usb_redir_cap_ep_info_max_packet_size, usb_redir_cap_64bits_ids,
                        usb_redir_cap_32bits_bulk_length, usb_redir_cap_bulk_receiving}) {
            usbredirparser_caps_set_cap(caps, cap);
        }
        char version[] = "fake qemu";
        usbredirparser_init(parser_, version, caps, USB_REDIR_CAPS_SIZE, 0);
    }
    ~FakeQemu() {
        usbredirparser_destroy(parser_);
        close(fd_);
    }

    static FakeQemu& Self(void* priv) { return *static_cast<FakeQemu*>(priv); }
    usbredirparser* Parser() { return parser_; }
    int Fd() const { return fd_; }
    void Write() { usbredirparser_do_write(parser_); }
    void Read() { usbredirparser_do_read(parser_); }

    bool hello = false;
    std::optional<usb_redir_device_connect_header> connect;
    std::optional<usb_redir_interface_info_header> interfaces;
    std::optional<usb_redir_ep_info_header> endpoints;
    std::multimap<uint64_t, Answer> answers;

private:
    int fd_;
    usbredirparser* parser_;
};

emu::ModelConfig SmallModel() {
    emu::ModelConfig config;
    config.memoryMiB = 1;
    config.pngPath.clear();
    return config;
}

bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0;
}

// A function whose answers the test sets, recording what the front asked of it.
struct ScriptedFunction : emu::UsbBulkFunction {
    UsbStatus inStatus = UsbStatus::Nak;
    std::vector<uint8_t> inData;
    UsbStatus outStatus = UsbStatus::Ack;
    int ins = 0, busResets = 0, classResets = 0;
    std::vector<uint8_t> cleared;
    UsbStatus Out(std::span<const uint8_t>) override { return outStatus; }
    UsbStatus In(size_t, std::vector<uint8_t>* data) override {
        ++ins;
        *data = inData;
        return inStatus;
    }
    void ClearHalt(uint8_t endpoint) override { cleared.push_back(endpoint); }
    void ClassReset() override { ++classResets; }
    void BusReset() override { ++busResets; }
};

class UsbRedirTest : public ::testing::Test {
protected:
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        deviceFd_ = fds[0];
        qemu_ = std::make_unique<FakeQemu>(fds[1]);
    }
    void TearDown() override {
        device_.reset();
        qemu_.reset();
        close(deviceFd_);
    }

    // Connects the device over `function`, exchanges the hellos and configures it.
    void Start(emu::UsbBulkFunction& function, bool configure = true) {
        device_ = std::make_unique<emu::UsbRedirDevice>(deviceFd_, function);
        Pump();
        if (configure) {
            usb_redir_set_configuration_header h{1};
            usbredirparser_send_set_configuration(qemu_->Parser(), ++id_, &h);
            ASSERT_EQ(Wait(id_).status, usb_redir_success);
        }
    }
    // Moves bytes both ways until neither side has anything left to say.
    void Pump() {
        for (int round = 0; round < 1000; ++round) {
            const bool busy = device_->WantsWrite() || usbredirparser_has_data_to_write(qemu_->Parser()) > 0 ||
                              Readable(deviceFd_) || Readable(qemu_->Fd());
            if (!busy) return;
            device_->OnWritable();
            qemu_->Write();
            if (Readable(deviceFd_)) device_->OnReadable();
            if (Readable(qemu_->Fd())) qemu_->Read();
        }
        FAIL() << "the exchange does not settle";
    }
    // The answers to packet id after the exchange settled.
    size_t Count(uint64_t id) {
        Pump();
        return qemu_->answers.count(id);
    }
    Answer Wait(uint64_t id) {
        Pump();
        auto it = qemu_->answers.find(id);
        if (it == qemu_->answers.end()) {
            ADD_FAILURE() << "no answer to packet " << id;
            Answer none;
            none.status = 0xFF;
            return none;
        }
        return it->second;
    }
    Answer Control(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint16_t length) {
        usb_redir_control_packet_header h{static_cast<uint8_t>(requestType & 0x80), request, requestType, 0, value,
                                          index, length};
        usbredirparser_send_control_packet(qemu_->Parser(), ++id_, &h, nullptr, 0);
        return Wait(id_);
    }
    uint64_t Bulk(uint8_t endpoint, uint32_t length, std::vector<uint8_t> data = {}) {
        usb_redir_bulk_packet_header h{endpoint, 0, static_cast<uint16_t>(length), 0,
                                       static_cast<uint16_t>(length >> 16)};
        usbredirparser_send_bulk_packet(qemu_->Parser(), ++id_, &h, data.empty() ? nullptr : data.data(),
                                        static_cast<int>(data.size()));
        Pump();
        return id_;
    }

    int deviceFd_ = -1;
    std::unique_ptr<FakeQemu> qemu_;
    std::unique_ptr<emu::UsbRedirDevice> device_;
    uint64_t id_ = 0;
};

TEST_F(UsbRedirTest, AnnouncesAHighSpeedBulkOnlyDeviceWithTheCapabilitiesXhciNeeds) {
    ScriptedFunction function;
    Start(function, false);
    ASSERT_TRUE(qemu_->hello);
    for (int cap : {usb_redir_cap_64bits_ids, usb_redir_cap_ep_info_max_packet_size,
                    usb_redir_cap_32bits_bulk_length, usb_redir_cap_connect_device_version}) {
        EXPECT_TRUE(usbredirparser_peer_has_cap(qemu_->Parser(), cap)) << "capability " << cap;
    }
    ASSERT_TRUE(qemu_->connect && qemu_->interfaces && qemu_->endpoints);
    EXPECT_EQ(qemu_->connect->speed, usb_redir_speed_high);
    EXPECT_EQ(qemu_->connect->device_class, 0);
    EXPECT_EQ(qemu_->connect->vendor_id, 0x3a7c);
    EXPECT_EQ(qemu_->connect->product_id, 0x7730);
    EXPECT_EQ(qemu_->connect->device_version_bcd, 0x0100);
    EXPECT_EQ(qemu_->interfaces->interface_count, 1u);
    EXPECT_EQ(qemu_->interfaces->interface_class[0], 0x08);
    EXPECT_EQ(qemu_->interfaces->interface_subclass[0], 0x06);
    EXPECT_EQ(qemu_->interfaces->interface_protocol[0], 0x50);
    // ep_info slots: OUT endpoints 0-15, IN endpoints 16-31.
    const auto& ep = *qemu_->endpoints;
    for (int slot = 0; slot < 32; ++slot) {
        const uint8_t expected = slot == 0 || slot == 16 ? usb_redir_type_control
                                 : slot == 2 || slot == 17 ? usb_redir_type_bulk
                                                           : usb_redir_type_invalid;
        EXPECT_EQ(ep.type[slot], expected) << "slot " << slot;
    }
    EXPECT_EQ(ep.max_packet_size[2], 512);
    EXPECT_EQ(ep.max_packet_size[17], 512);
    EXPECT_EQ(ep.max_packet_size[0], 64);
}

TEST_F(UsbRedirTest, Descriptors) {
    ScriptedFunction function;
    Start(function);
    auto text = [](const char* s) {
        std::vector<uint8_t> d{static_cast<uint8_t>(2 + 2 * std::strlen(s)), 3};
        for (; *s; ++s) d.insert(d.end(), {static_cast<uint8_t>(*s), 0});
        return d;
    };
    const std::vector<uint8_t> configuration = {
        9, 2, 32, 0, 1, 1, 0, 0x80, 50,        // one interface, configuration 1, bus-powered, 100 mA
        9, 4, 0, 0, 2, 0x08, 0x06, 0x50, 0,    // Bulk-Only mass storage, two endpoints
        7, 5, 0x81, 2, 0x00, 0x02, 0,          // bulk IN, 512 bytes
        7, 5, 0x02, 2, 0x00, 0x02, 0};         // bulk OUT, 512 bytes
    const struct {
        uint16_t value, length;
        std::vector<uint8_t> expected;  // empty: the request stalls
    } kCases[] = {
        {0x0100, 64, {18, 1, 0x00, 0x02, 0, 0, 0, 64, 0x7c, 0x3a, 0x30, 0x77, 0x00, 0x01, 1, 2, 3, 1}},
        {0x0100, 8, {18, 1, 0x00, 0x02, 0, 0, 0, 64}},  // the first look at endpoint 0's packet size
        {0x0200, 9, std::vector<uint8_t>(configuration.begin(), configuration.begin() + 9)},
        {0x0200, 255, configuration},
        {0x0300, 255, {4, 3, 0x09, 0x04}},
        {0x0301, 255, text("qp7730-emu")},
        {0x0302, 255, text("QP7730 e-paper controller")},
        {0x0303, 255, text("7730E7E70001")},
        {0x0304, 255, {}},
        {0x0600, 10, {}},  // no device qualifier: high speed only
        {0x0101, 18, {}},
    };
    for (const auto& c : kCases) {
        const Answer a = Control(0x80, 6, c.value, c.value >> 8 == 3 ? 0x0409 : 0, c.length);
        if (c.expected.empty()) {
            EXPECT_EQ(a.status, usb_redir_stall) << std::hex << c.value;
        } else {
            EXPECT_EQ(a.status, usb_redir_success) << std::hex << c.value;
            EXPECT_EQ(a.data, c.expected) << std::hex << c.value;
            EXPECT_EQ(a.length, c.expected.size()) << std::hex << c.value;
        }
    }
}

TEST_F(UsbRedirTest, ControlRequests) {
    ScriptedFunction function;
    Start(function);
    const struct {
        const char* what;
        uint8_t type, request;
        uint16_t value, index, length;
        std::optional<std::vector<uint8_t>> reply;  // nullopt: stall
    } kCases[] = {
        {"device status", 0x80, 0, 0, 0, 2, std::vector<uint8_t>{0, 0}},
        {"interface status", 0x81, 0, 0, 0, 2, std::vector<uint8_t>{0, 0}},
        {"status of an interface there is not", 0x81, 0, 0, 1, 2, std::nullopt},
        {"bulk IN status", 0x82, 0, 0, 0x81, 2, std::vector<uint8_t>{0, 0}},
        {"status of an endpoint there is not", 0x82, 0, 0, 0x83, 2, std::nullopt},
        {"Get Max LUN", 0xA1, 0xFE, 0, 0, 1, std::vector<uint8_t>{0}},
        {"Get Max LUN of another interface", 0xA1, 0xFE, 0, 1, 1, std::nullopt},
        {"Bulk-Only Mass Storage Reset", 0x21, 0xFF, 0, 0, 0, std::vector<uint8_t>{}},
        {"remote wake-up", 0x00, 3, 1, 0, 0, std::nullopt},
        {"a vendor request", 0xC0, 0x01, 0, 0, 4, std::nullopt},
        {"configuration", 0x80, 8, 0, 0, 1, std::vector<uint8_t>{1}},
        {"alternate setting", 0x81, 10, 0, 0, 1, std::vector<uint8_t>{0}},
    };
    for (const auto& c : kCases) {
        const Answer a = Control(c.type, c.request, c.value, c.index, c.length);
        EXPECT_EQ(a.status, c.reply ? usb_redir_success : usb_redir_stall) << c.what;
        if (c.reply) {
            EXPECT_EQ(a.data, *c.reply) << c.what;
        }
    }
    EXPECT_EQ(function.classResets, 1);

    // The packets QEMU sends for configurations and interface settings.
    const struct {
        int kind;  // 0 set configuration, 1 set alternate setting, 2 get alternate setting
        uint8_t a, b;
        uint8_t status, value;
    } kPackets[] = {
        {0, 2, 0, usb_redir_stall, 1}, {0, 1, 0, usb_redir_success, 1}, {1, 0, 0, usb_redir_success, 0},
        {1, 0, 1, usb_redir_stall, 0}, {2, 0, 0, usb_redir_success, 0}, {2, 1, 0, usb_redir_stall, 0},
    };
    for (const auto& p : kPackets) {
        if (p.kind == 0) {
            usb_redir_set_configuration_header h{p.a};
            usbredirparser_send_set_configuration(qemu_->Parser(), ++id_, &h);
        } else if (p.kind == 1) {
            usb_redir_set_alt_setting_header h{p.a, p.b};
            usbredirparser_send_set_alt_setting(qemu_->Parser(), ++id_, &h);
        } else {
            usb_redir_get_alt_setting_header h{p.a};
            usbredirparser_send_get_alt_setting(qemu_->Parser(), ++id_, &h);
        }
        const Answer a = Wait(id_);
        EXPECT_EQ(a.status, p.status) << p.kind << " " << int(p.a) << " " << int(p.b);
        EXPECT_EQ(a.value, p.value) << p.kind << " " << int(p.a) << " " << int(p.b);
    }
    // Set up (at start) and the new configuration both start the function afresh.
    EXPECT_EQ(function.busResets, 2);
}

TEST_F(UsbRedirTest, InquiryOverBulkPackets) {
    emu::Model model(SmallModel());
    emu::BulkOnlyUsbFunction function(model);
    Start(function);
    // The wrapper as Linux sends it: a 6-byte command block, 36 bytes asked.
    std::vector<uint8_t> cbw = {'U', 'S', 'B', 'C', 0x78, 0x56, 0x34, 0x12, 36, 0, 0, 0, 0x80, 0, 6,
                                0x12, 0, 0, 0, 36, 0};
    cbw.resize(31);
    const Answer out = Wait(Bulk(0x02, 31, cbw));
    EXPECT_EQ(out.status, usb_redir_success);
    EXPECT_EQ(out.length, 31u);
    const Answer data = Wait(Bulk(0x81, 512));
    ASSERT_EQ(data.status, usb_redir_success);
    ASSERT_EQ(data.data.size(), 36u) << "a short packet ends the data phase";
    EXPECT_EQ(data.length, 36u);
    EXPECT_EQ(std::string(data.data.begin() + 8, data.data.end()), "Generic Storage RamDisc 1.00");
    const Answer csw = Wait(Bulk(0x81, 13));
    const std::vector<uint8_t> expected = {'U', 'S', 'B', 'S', 0x78, 0x56, 0x34, 0x12, 0, 0, 0, 0, 0};
    EXPECT_EQ(csw.data, expected);
}

TEST_F(UsbRedirTest, StallHaltsTheEndpointUntilTheHostClearsIt) {
    ScriptedFunction function;
    Start(function);
    function.inStatus = UsbStatus::Stall;
    EXPECT_EQ(Wait(Bulk(0x81, 13)).status, usb_redir_stall);
    EXPECT_EQ(Control(0x82, 0, 0, 0x81, 2).data, (std::vector<uint8_t>{1, 0}));
    // While halted, the endpoint stalls on its own, whatever the function has.
    function.inStatus = UsbStatus::Ack;
    function.inData = {1, 2, 3};
    EXPECT_EQ(Wait(Bulk(0x81, 13)).status, usb_redir_stall);
    EXPECT_EQ(function.ins, 1);
    EXPECT_EQ(Control(0x02, 1, 0, 0x81, 0).status, usb_redir_success);  // CLEAR_FEATURE(ENDPOINT_HALT)
    EXPECT_EQ(function.cleared, std::vector<uint8_t>{0x81});
    EXPECT_EQ(Control(0x82, 0, 0, 0x81, 2).data, (std::vector<uint8_t>{0, 0}));
    EXPECT_EQ(Wait(Bulk(0x81, 13)).data, function.inData);

    // The host may halt an endpoint itself; an OUT the function refuses halts it too.
    EXPECT_EQ(Control(0x02, 3, 0, 0x02, 0).status, usb_redir_success);  // SET_FEATURE(ENDPOINT_HALT)
    EXPECT_EQ(Wait(Bulk(0x02, 4, {1, 2, 3, 4})).status, usb_redir_stall);
    EXPECT_EQ(Control(0x02, 1, 0, 0x02, 0).status, usb_redir_success);
    function.outStatus = UsbStatus::Stall;
    EXPECT_EQ(Wait(Bulk(0x02, 4, {1, 2, 3, 4})).status, usb_redir_stall);
    EXPECT_EQ(Control(0x82, 0, 0, 0x02, 2).data, (std::vector<uint8_t>{1, 0}));
}

TEST_F(UsbRedirTest, PendingInIsAnsweredWhenTheCommandArrives) {
    emu::Model model(SmallModel());
    emu::BulkOnlyUsbFunction function(model);
    Start(function);
    // The status is asked for before the command is there: the transfer waits.
    const uint64_t in = Bulk(0x81, 13);
    EXPECT_EQ(Count(in), 0u);
    EXPECT_EQ(device_->Waiting(), 1u);
    std::vector<uint8_t> cbw = {'U', 'S', 'B', 'C', 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 0xFE, 0, 0, 0, 0, 0, 0xAC};
    cbw.resize(31);
    const uint64_t out = Bulk(0x02, 31, cbw);
    EXPECT_EQ(Wait(out).status, usb_redir_success);
    const Answer csw = Wait(in);
    EXPECT_EQ(csw.status, usb_redir_success);
    EXPECT_EQ(csw.data, (std::vector<uint8_t>{'U', 'S', 'B', 'S', 1, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(device_->Waiting(), 0u);

}

TEST_F(UsbRedirTest, InDataLongerThanTheTransferIsCutToIt) {
    ScriptedFunction generous;
    generous.inStatus = UsbStatus::Ack;
    generous.inData.assign(600, 0x5A);
    Start(generous);
    const Answer cut = Wait(Bulk(0x81, 512));
    EXPECT_EQ(cut.data, std::vector<uint8_t>(512, 0x5A));
    EXPECT_EQ(cut.length, 512u);
}

TEST_F(UsbRedirTest, CancelledAndResetTransfersAreAnsweredOnce) {
    ScriptedFunction function;
    Start(function);
    const uint64_t first = Bulk(0x81, 13);
    const uint64_t second = Bulk(0x81, 13);
    usbredirparser_send_cancel_data_packet(qemu_->Parser(), first);
    EXPECT_EQ(Wait(first).status, usb_redir_cancelled);
    usbredirparser_send_cancel_data_packet(qemu_->Parser(), first);  // answered already
    EXPECT_EQ(Count(first), 1u);
    EXPECT_EQ(Count(second), 0u);
    EXPECT_EQ(device_->Waiting(), 1u);

    // A bus reset ends what still waits and starts the function afresh, unconfigured.
    usbredirparser_send_reset(qemu_->Parser());
    EXPECT_EQ(Wait(second).status, usb_redir_ioerror);
    EXPECT_EQ(function.busResets, 2);
    EXPECT_EQ(Wait(Bulk(0x81, 13)).status, usb_redir_inval);
    EXPECT_EQ(Control(0x80, 8, 0, 0, 1).data, std::vector<uint8_t>{0});
}

TEST_F(UsbRedirTest, ConnectionEndsWhenQemuCloses) {
    ScriptedFunction function;
    Start(function);
    EXPECT_TRUE(device_->OnReadable());  // nothing to read is no end
    qemu_.reset();
    EXPECT_FALSE(device_->OnReadable());
}

// Starts qp7730-emu with `args`; its standard error goes to *errFd.
pid_t Spawn(std::vector<std::string> args, int* errFd) {
    int err[2];
    if (pipe2(err, O_CLOEXEC) != 0) return -1;
    args.insert(args.begin(), QP7730_EMU_BIN);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(err[1], 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(err[1]);
    *errFd = err[0];
    return pid;
}

// Reads fd until `text` has appeared or 10 s passed; returns what was read.
std::string ReadUntil(int fd, const std::string& text) {
    std::string got;
    for (int waited = 0; got.find(text) == std::string::npos && waited < 100; ++waited) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char buf[256];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

int ExitStatus(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(EmuUsbRedirProcess, ServesOneQemuConnectionUntilItEnds) {
    for (const bool bySignal : {false, true}) {
        char dir[] = "/tmp/qp7730-usbredir-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        const std::string path = std::string(dir) + "/ur.sock";
        int err = -1;
        const pid_t pid = Spawn({"--usbredir", path, "--png", ""}, &err);
        ASSERT_GT(pid, 0);
        const std::string line = "qp7730-emu: usbredir on " + path + "\n";
        EXPECT_NE(ReadUntil(err, line).find(line), std::string::npos);
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_TRUE(S_ISSOCK(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0600u);

        int otherErr = -1;
        const pid_t other = Spawn({"--usbredir", path}, &otherErr);
        EXPECT_EQ(ExitStatus(other), 1);
        EXPECT_NE(ReadUntil(otherErr, "already serves").find("already serves"), std::string::npos);
        close(otherErr);

        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, path.c_str());
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        auto qemu = std::make_unique<FakeQemu>(fd);
        for (int waited = 0; !qemu->connect && waited < 100; ++waited) {
            qemu->Write();
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 100) > 0) qemu->Read();
        }
        ASSERT_TRUE(qemu->connect) << "no device_connect from the emulator";
        EXPECT_EQ(qemu->connect->product_id, 0x7730);

        if (bySignal) kill(pid, SIGTERM);
        else qemu.reset();
        EXPECT_EQ(ExitStatus(pid), 0) << (bySignal ? "SIGTERM" : "QEMU gone");
        EXPECT_FALSE(std::filesystem::exists(path));
        EXPECT_FALSE(std::filesystem::exists(path + ".lock"));
        qemu.reset();
        close(err);
        std::filesystem::remove_all(dir);
    }
}

}  // namespace
