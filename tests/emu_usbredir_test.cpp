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
#include "emu/bulk_only_device.h"
#include "emu/usbredir.h"

namespace {

using emu::UsbStatus;
using Bytes = std::vector<uint8_t>;

// One answer QEMU's side received; value is the configuration or alternate setting.
struct Answer {
    uint8_t status = 0xFF;
    uint32_t length = 0;
    Bytes data;
    uint8_t value = 0;
};

// QEMU's side (the guest side of the protocol) on the socket fd, which it owns.
class FakeQemu {
public:
    explicit FakeQemu(int fd) : fd(fd), parser(usbredirparser_create()) {
        usbredirparser* p = parser;
        p->priv = this;
        p->log_func = [](void*, int, const char*) {};
        p->read_func = [](void* priv, uint8_t* data, int count) -> int {
            const ssize_t n = recv(Self(priv).fd, data, static_cast<size_t>(count), MSG_DONTWAIT);
            return n > 0 ? static_cast<int>(n) : (n < 0 && errno == EAGAIN ? 0 : -1);
        };
        p->write_func = [](void* priv, uint8_t* data, int count) -> int {
            const ssize_t n = send(Self(priv).fd, data, static_cast<size_t>(count), MSG_DONTWAIT | MSG_NOSIGNAL);
            return n >= 0 ? static_cast<int>(n) : (errno == EAGAIN ? 0 : -1);
        };
        p->hello_func = [](void* priv, usb_redir_hello_header*) { Self(priv).hello = true; };
        p->device_connect_func = [](void* priv, usb_redir_device_connect_header* h) { Self(priv).connect = *h; };
        p->interface_info_func = [](void* priv, usb_redir_interface_info_header* h) { Self(priv).interfaces = *h; };
        p->ep_info_func = [](void* priv, usb_redir_ep_info_header* h) { Self(priv).endpoints = *h; };
        p->configuration_status_func = [](void* priv, uint64_t id, usb_redir_configuration_status_header* h) {
            Self(priv).answers.emplace(id, Answer{h->status, 0, {}, h->configuration});
        };
        p->alt_setting_status_func = [](void* priv, uint64_t id, usb_redir_alt_setting_status_header* h) {
            Self(priv).answers.emplace(id, Answer{h->status, 0, {}, h->alt});
        };
        p->control_packet_func = [](void* priv, uint64_t id, usb_redir_control_packet_header* h, uint8_t* data,
                                    int n) {
            Self(priv).answers.emplace(id, Answer{h->status, h->length, {data, data + n}, 0});
            free(data);
        };
        p->bulk_packet_func = [](void* priv, uint64_t id, usb_redir_bulk_packet_header* h, uint8_t* data, int n) {
            const uint32_t length = (uint32_t{h->length_high} << 16) | h->length;
            Self(priv).answers.emplace(id, Answer{h->status, length, {data, data + n}, 0});
            free(data);
        };
        // QEMU's own capabilities.
        uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
        for (int cap : {usb_redir_cap_connect_device_version, usb_redir_cap_filter,
                        usb_redir_cap_ep_info_max_packet_size, usb_redir_cap_64bits_ids,
                        usb_redir_cap_32bits_bulk_length, usb_redir_cap_bulk_receiving}) {
            usbredirparser_caps_set_cap(caps, cap);
        }
        char version[] = "fake qemu";
        usbredirparser_init(parser, version, caps, USB_REDIR_CAPS_SIZE, 0);
    }
    ~FakeQemu() {
        usbredirparser_destroy(parser);
        close(fd);
    }
    static FakeQemu& Self(void* priv) { return *static_cast<FakeQemu*>(priv); }

    int fd;
    usbredirparser* parser;
    bool hello = false;
    std::optional<usb_redir_device_connect_header> connect;
    std::optional<usb_redir_interface_info_header> interfaces;
    std::optional<usb_redir_ep_info_header> endpoints;
    std::multimap<uint64_t, Answer> answers;
};

bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0;
}

// A function whose answers the test sets, recording what the front asked of it.
struct ScriptedFunction : emu::UsbBulkFunction {
    UsbStatus inStatus = UsbStatus::Nak, outStatus = UsbStatus::Ack;
    Bytes inData, cleared;
    int ins = 0, busResets = 0, classResets = 0;
    UsbStatus Out(std::span<const uint8_t>) override { return outStatus; }
    UsbStatus In(size_t, Bytes* data) override {
        ++ins;
        *data = inData;
        return inStatus;
    }
    void ClearHalt(uint8_t endpoint) override { cleared.push_back(endpoint); }
    void ClassReset() override { ++classResets; }
    void BusReset() override { ++busResets; }
};

// A Command Block Wrapper: tag, data length, flags, block length, the block.
Bytes Cbw(uint32_t tag, uint32_t length, uint8_t flags, Bytes cb) {
    Bytes w = {'U', 'S', 'B', 'C'};
    for (uint32_t v : {tag, length})
        for (int i = 0; i < 4; ++i) w.push_back(static_cast<uint8_t>(v >> (8 * i)));
    w.insert(w.end(), {flags, 0, static_cast<uint8_t>(cb.size())});
    w.insert(w.end(), cb.begin(), cb.end());
    w.resize(31);
    return w;
}

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
            ASSERT_EQ(Send(Setting::SetConfiguration, 1).status, usb_redir_success);
        }
    }
    // Moves bytes both ways until neither side has anything left to say.
    void Pump() {
        for (int round = 0; round < 1000; ++round) {
            if (!device_->WantsWrite() && usbredirparser_has_data_to_write(qemu_->parser) == 0 &&
                !Readable(deviceFd_) && !Readable(qemu_->fd)) {
                return;
            }
            device_->OnWritable();
            usbredirparser_do_write(qemu_->parser);
            if (Readable(deviceFd_)) device_->OnReadable();
            if (Readable(qemu_->fd)) usbredirparser_do_read(qemu_->parser);
        }
        FAIL() << "the exchange does not settle";
    }
    // The answer to packet id once the exchange has settled (status 0xFF: none).
    Answer Wait(uint64_t id) {
        Pump();
        const auto it = qemu_->answers.find(id);
        return it == qemu_->answers.end() ? Answer{} : it->second;
    }
    enum class Setting { SetConfiguration, GetConfiguration, SetAlt, GetAlt };
    Answer Send(Setting kind, uint8_t a = 0, uint8_t b = 0) {
        usb_redir_set_configuration_header configuration{a};
        usb_redir_set_alt_setting_header setAlt{a, b};
        usb_redir_get_alt_setting_header getAlt{a};
        usbredirparser* p = qemu_->parser;
        if (kind == Setting::SetConfiguration) usbredirparser_send_set_configuration(p, ++id_, &configuration);
        if (kind == Setting::GetConfiguration) usbredirparser_send_get_configuration(p, ++id_);
        if (kind == Setting::SetAlt) usbredirparser_send_set_alt_setting(p, ++id_, &setAlt);
        if (kind == Setting::GetAlt) usbredirparser_send_get_alt_setting(p, ++id_, &getAlt);
        return Wait(id_);
    }
    Answer Control(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint16_t length) {
        usb_redir_control_packet_header h{static_cast<uint8_t>(requestType & 0x80), request, requestType, 0, value,
                                          index, length};
        usbredirparser_send_control_packet(qemu_->parser, ++id_, &h, nullptr, 0);
        return Wait(id_);
    }
    // An IN transfer of `length` bytes, or an OUT transfer of `data`; returns its id.
    uint64_t Bulk(uint8_t endpoint, uint32_t length, Bytes data = {}) {
        if (!data.empty()) length = static_cast<uint32_t>(data.size());
        usb_redir_bulk_packet_header h{endpoint, 0, static_cast<uint16_t>(length), 0,
                                       static_cast<uint16_t>(length >> 16)};
        usbredirparser_send_bulk_packet(qemu_->parser, ++id_, &h, data.empty() ? nullptr : data.data(),
                                        static_cast<int>(data.size()));
        Pump();
        return id_;
    }

    int deviceFd_ = -1;
    std::unique_ptr<FakeQemu> qemu_;
    std::unique_ptr<emu::UsbRedirDevice> device_;
    ScriptedFunction scripted_;
    uint64_t id_ = 0;
};

TEST_F(UsbRedirTest, AnnouncesAHighSpeedBulkOnlyDeviceWithTheCapabilitiesXhciNeeds) {
    Start(scripted_, false);
    ASSERT_TRUE(qemu_->hello);
    for (int cap : {usb_redir_cap_64bits_ids, usb_redir_cap_ep_info_max_packet_size,
                    usb_redir_cap_32bits_bulk_length, usb_redir_cap_connect_device_version}) {
        EXPECT_TRUE(usbredirparser_peer_has_cap(qemu_->parser, cap)) << "capability " << cap;
    }
    ASSERT_TRUE(qemu_->connect && qemu_->interfaces && qemu_->endpoints);
    const auto& c = *qemu_->connect;
    EXPECT_EQ((Bytes{c.speed, c.device_class}), (Bytes{usb_redir_speed_high, 0}));
    EXPECT_EQ((std::vector<int>{c.vendor_id, c.product_id, c.device_version_bcd}),
              (std::vector<int>{0x3a7c, 0x7730, 0x0100}));
    const auto& i = *qemu_->interfaces;
    EXPECT_EQ(i.interface_count, 1u);
    EXPECT_EQ((Bytes{i.interface_class[0], i.interface_subclass[0], i.interface_protocol[0]}),
              (Bytes{0x08, 0x06, 0x50}));
    // ep_info slots: OUT endpoints 0-15, IN endpoints 16-31.
    for (int slot = 0; slot < 32; ++slot) {
        const int type = slot == 0 || slot == 16 ? usb_redir_type_control
                         : slot == 2 || slot == 17 ? usb_redir_type_bulk
                                                   : usb_redir_type_invalid;
        EXPECT_EQ(qemu_->endpoints->type[slot], type) << "slot " << slot;
        const int size = type == usb_redir_type_bulk ? 512 : type == usb_redir_type_control ? 64 : 0;
        EXPECT_EQ(qemu_->endpoints->max_packet_size[slot], size) << "slot " << slot;
    }
}

TEST_F(UsbRedirTest, Descriptors) {
    Start(scripted_);
    auto text = [](const char* s) {
        Bytes d{static_cast<uint8_t>(2 + 2 * std::strlen(s)), 3};
        for (; *s; ++s) d.insert(d.end(), {static_cast<uint8_t>(*s), 0});
        return d;
    };
    const Bytes configuration = {
        9, 2, 32, 0, 1, 1, 0, 0x80, 50,      // one interface, configuration 1, bus-powered, 100 mA
        9, 4, 0, 0, 2, 0x08, 0x06, 0x50, 0,  // Bulk-Only mass storage, two endpoints
        7, 5, 0x81, 2, 0x00, 0x02, 0,        // bulk IN, 512 bytes
        7, 5, 0x02, 2, 0x00, 0x02, 0};       // bulk OUT, 512 bytes
    const struct {
        uint16_t value, length;
        Bytes expected;  // empty: the request stalls
    } kCases[] = {
        {0x0100, 64, {18, 1, 0x00, 0x02, 0, 0, 0, 64, 0x7c, 0x3a, 0x30, 0x77, 0x00, 0x01, 1, 2, 3, 1}},
        {0x0100, 8, {18, 1, 0x00, 0x02, 0, 0, 0, 64}},  // the first look, for endpoint 0's packet size
        {0x0200, 9, Bytes(configuration.begin(), configuration.begin() + 9)},
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
        EXPECT_EQ(a.status, c.expected.empty() ? usb_redir_stall : usb_redir_success) << std::hex << c.value;
        EXPECT_EQ(a.data, c.expected) << std::hex << c.value;
        EXPECT_EQ(a.length, c.expected.size()) << std::hex << c.value;
    }
}

TEST_F(UsbRedirTest, ControlRequestsAndSettings) {
    Start(scripted_);
    const struct {
        const char* what;
        uint8_t type, request;
        uint16_t value, index, length;
        std::optional<Bytes> reply;  // nullopt: stall
    } kCases[] = {
        {"device status", 0x80, 0, 0, 0, 2, Bytes{0, 0}},
        {"interface status", 0x81, 0, 0, 0, 2, Bytes{0, 0}},
        {"status of an interface there is not", 0x81, 0, 0, 1, 2, std::nullopt},
        {"bulk IN status", 0x82, 0, 0, 0x81, 2, Bytes{0, 0}},
        {"status of an endpoint there is not", 0x82, 0, 0, 0x83, 2, std::nullopt},
        {"Get Max LUN", 0xA1, 0xFE, 0, 0, 1, Bytes{0}},
        {"Get Max LUN of another interface", 0xA1, 0xFE, 0, 1, 1, std::nullopt},
        {"Bulk-Only Mass Storage Reset", 0x21, 0xFF, 0, 0, 0, Bytes{}},
        {"remote wake-up", 0x00, 3, 1, 0, 0, std::nullopt},
        {"a vendor request", 0xC0, 0x01, 0, 0, 4, std::nullopt},
    };
    for (const auto& c : kCases) {
        const Answer a = Control(c.type, c.request, c.value, c.index, c.length);
        EXPECT_EQ(a.status, c.reply ? usb_redir_success : usb_redir_stall) << c.what;
        EXPECT_EQ(a.data, c.reply.value_or(Bytes{})) << c.what;
    }
    EXPECT_EQ(scripted_.classResets, 1);

    const struct {
        Setting kind;
        uint8_t a, b, status, value;
    } kSettings[] = {
        {Setting::SetConfiguration, 2, 0, usb_redir_stall, 1}, {Setting::SetConfiguration, 1, 0, usb_redir_success, 1},
        {Setting::GetConfiguration, 0, 0, usb_redir_success, 1}, {Setting::SetAlt, 0, 0, usb_redir_success, 0},
        {Setting::SetAlt, 0, 1, usb_redir_stall, 0},           {Setting::GetAlt, 0, 0, usb_redir_success, 0},
        {Setting::GetAlt, 1, 0, usb_redir_stall, 0},
    };
    for (const auto& s : kSettings) {
        const Answer a = Send(s.kind, s.a, s.b);
        EXPECT_EQ((Bytes{a.status, a.value}), (Bytes{s.status, s.value})) << int(s.kind) << int(s.a) << int(s.b);
    }
    // Configured at the start and again: both start the function afresh.
    EXPECT_EQ(scripted_.busResets, 2);
}

TEST_F(UsbRedirTest, InquiryOverBulkPacketsAndAnInThatWaitsForItsCommand) {
    emu::ModelConfig config;
    config.memoryMiB = 1;
    config.pngPath.clear();
    emu::Model model(config);
    emu::BulkOnlyDevice function(model);
    Start(function);
    // As Linux sends it: a 6-byte command block, 36 bytes asked, read with a 512-byte transfer.
    const Answer out = Wait(Bulk(0x02, 0, Cbw(0x12345678, 36, 0x80, {0x12, 0, 0, 0, 36, 0})));
    EXPECT_EQ((std::pair{out.status, out.length}), (std::pair{uint8_t{usb_redir_success}, 31u}));
    const Answer data = Wait(Bulk(0x81, 512));
    EXPECT_EQ(data.status, usb_redir_success);
    ASSERT_EQ(data.data.size(), 36u) << "a short packet ends the data phase";
    EXPECT_EQ(data.length, 36u);
    EXPECT_EQ(std::string(data.data.begin() + 8, data.data.end()), "Generic Storage RamDisc 1.00");
    EXPECT_EQ(Wait(Bulk(0x81, 13)).data, (Bytes{'U', 'S', 'B', 'S', 0x78, 0x56, 0x34, 0x12, 0, 0, 0, 0, 0}));

    // The status asked for before the command is there waits, and is answered by it.
    const uint64_t in = Bulk(0x81, 13);
    EXPECT_EQ(Wait(in).status, 0xFF) << "answered before there was anything to send";
    EXPECT_EQ(device_->Waiting(), 1u);
    EXPECT_EQ(Wait(Bulk(0x02, 0, Cbw(7, 0, 0, {0xFE, 0, 0, 0, 0, 0, 0xAC, 0, 0, 0, 0, 0, 0, 0, 0, 0}))).status, usb_redir_success);
    EXPECT_EQ(Wait(in).data, (Bytes{'U', 'S', 'B', 'S', 7, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(device_->Waiting(), 0u);
}

TEST_F(UsbRedirTest, StallHaltsTheEndpointUntilTheHostClearsIt) {
    Start(scripted_);
    scripted_.inStatus = UsbStatus::Stall;
    EXPECT_EQ(Wait(Bulk(0x81, 13)).status, usb_redir_stall);
    EXPECT_EQ(Control(0x82, 0, 0, 0x81, 2).data, (Bytes{1, 0}));
    // While halted, the endpoint stalls on its own, whatever the function has.
    scripted_.inStatus = UsbStatus::Ack;
    scripted_.inData.assign(600, 0x5A);
    EXPECT_EQ(Wait(Bulk(0x81, 512)).status, usb_redir_stall);
    EXPECT_EQ(scripted_.ins, 1);
    EXPECT_EQ(Control(0x02, 1, 0, 0x81, 0).status, usb_redir_success);  // CLEAR_FEATURE(ENDPOINT_HALT)
    EXPECT_EQ(scripted_.cleared, Bytes{0x81});
    EXPECT_EQ(Control(0x82, 0, 0, 0x81, 2).data, (Bytes{0, 0}));
    // More than the transfer asked for is cut to it.
    const Answer cut = Wait(Bulk(0x81, 512));
    EXPECT_EQ((std::pair{cut.data, cut.length}), (std::pair{Bytes(512, 0x5A), 512u}));

    // The host may halt an endpoint itself; an OUT the function refuses halts it too.
    EXPECT_EQ(Control(0x02, 3, 0, 0x02, 0).status, usb_redir_success);  // SET_FEATURE(ENDPOINT_HALT)
    EXPECT_EQ(Wait(Bulk(0x02, 0, {1, 2, 3, 4})).status, usb_redir_stall);
    EXPECT_EQ(Control(0x02, 1, 0, 0x02, 0).status, usb_redir_success);
    EXPECT_EQ(Wait(Bulk(0x02, 0, {1, 2, 3, 4})).length, 4u);
    scripted_.outStatus = UsbStatus::Stall;
    EXPECT_EQ(Wait(Bulk(0x02, 0, {1, 2, 3, 4})).status, usb_redir_stall);
    EXPECT_EQ(Control(0x82, 0, 0, 0x02, 2).data, (Bytes{1, 0}));
}

TEST_F(UsbRedirTest, CancelledResetAndClosedEachEndWaitingTransfersOnce) {
    Start(scripted_);
    const uint64_t first = Bulk(0x81, 13);
    const uint64_t second = Bulk(0x81, 13);
    usbredirparser_send_cancel_data_packet(qemu_->parser, first);
    EXPECT_EQ(Wait(first).status, usb_redir_cancelled);
    usbredirparser_send_cancel_data_packet(qemu_->parser, first);  // answered already
    EXPECT_EQ(Wait(second).status, 0xFF);
    EXPECT_EQ(qemu_->answers.count(first), 1u);

    // A bus reset ends what still waits and starts the function afresh, unconfigured.
    usbredirparser_send_reset(qemu_->parser);
    EXPECT_EQ(Wait(second).status, usb_redir_ioerror);
    EXPECT_EQ(scripted_.busResets, 2);
    EXPECT_EQ(Wait(Bulk(0x81, 13)).status, usb_redir_inval);
    EXPECT_EQ(Send(Setting::GetConfiguration).value, 0);

    EXPECT_TRUE(device_->OnReadable());  // nothing to read is no end
    qemu_.reset();
    EXPECT_FALSE(device_->OnReadable());
}

// Runs qp7730-emu with `args`; *err reads its standard error.
pid_t Spawn(std::vector<std::string> args, int* err) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    args.insert(args.begin(), QP7730_EMU_BIN);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    *err = fds[0];
    return pid;
}

TEST(EmuUsbRedirProcess, ServesOneQemuConnectionUntilItEndsOrASignal) {
    for (const bool bySignal : {false, true}) {
        char dir[] = "/tmp/qp7730-usbredir-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        const std::string path = std::string(dir) + "/ur.sock";
        int err = -1;
        const pid_t pid = Spawn({"--usbredir", path, "--png", ""}, &err);
        ASSERT_GT(pid, 0);
        // The line comes once the socket listens.
        const std::string line = "qp7730-emu: usbredir on " + path + "\n";
        FILE* said = fdopen(err, "r");
        char buf[256] = "";
        EXPECT_EQ(std::fgets(buf, sizeof buf, said), buf);
        EXPECT_EQ(buf, line);
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);

        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, path.c_str());
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        auto qemu = std::make_unique<FakeQemu>(fd);
        for (int rounds = 0; !qemu->connect && rounds < 100; ++rounds) {
            usbredirparser_do_write(qemu->parser);
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 100) > 0) usbredirparser_do_read(qemu->parser);
        }
        ASSERT_TRUE(qemu->connect) << "no device_connect from the emulator";

        if (bySignal) kill(pid, SIGTERM);
        else qemu.reset();
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << (bySignal ? "SIGTERM" : "QEMU gone");
        EXPECT_FALSE(std::filesystem::exists(path));
        EXPECT_FALSE(std::filesystem::exists(path + ".lock"));
        std::fclose(said);
        std::filesystem::remove_all(dir);
    }
}

}  // namespace
