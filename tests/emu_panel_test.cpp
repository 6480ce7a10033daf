// The emulator's panel as people see it: the levels each display mode leaves, the pictures
// made beside the command path, the file's last state at the end, and the live panel's
// HTTP side (the page itself is tested in Chromium, tests/browser).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <png.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "emu/panel_publisher.h"
#include "tests/e2e/harness.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes DecodeGreyPng(const Bytes& png) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, png.data(), png.size())) return {};
    image.format = PNG_FORMAT_GRAY;
    Bytes pixels(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) return {};
    return pixels;
}

Bytes BeWords(std::initializer_list<uint32_t> words) {
    Bytes v;
    for (uint32_t w : words) v.insert(v.end(), {uint8_t(w >> 24), uint8_t(w >> 16), uint8_t(w >> 8), uint8_t(w)});
    return v;
}

// A store that holds the publisher's thread while closed, and keeps what it was given.
struct GatedStore {
    std::mutex mutex;
    std::condition_variable changed;
    bool open = true;
    int stores = 0;
    Bytes last;

    bool Store(const Bytes& png) {
        std::unique_lock<std::mutex> lock(mutex);
        ++stores;
        changed.notify_all();
        changed.wait(lock, [&] { return open; });
        last = png;
        return true;
    }
    int Stores() {
        std::lock_guard<std::mutex> lock(mutex);
        return stores;
    }
    bool WaitForStores(int n) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] { return stores >= n; });
    }
    void SetOpen(bool value) {
        std::lock_guard<std::mutex> lock(mutex);
        open = value;
        changed.notify_all();
    }
};

// While a picture is being stored, refreshes go on unhindered; those that come meanwhile
// make one picture together, and the publisher stores the last state before it goes.
TEST(PanelPublisher, RefreshesNeverWaitForThePictureWhichShowsThemAllAndTheLast) {
    constexpr uint32_t kW = 64, kH = 32;
    for (const bool synchronous : {false, true}) {
        SCOPED_TRACE(synchronous ? "synchronous" : "beside the command path");
        GatedStore gate;
        Bytes panel(kW * kH, 255);
        emu::PublisherConfig config;
        config.width = kW, config.height = kH, config.synchronous = synchronous;
        config.store = [&](const Bytes& png, std::string*) { return gate.Store(png); };
        auto publisher = std::make_unique<emu::PanelPublisher>(config, panel.data());
        ASSERT_EQ(gate.stores, 1) << "the first picture is there when the publisher is";
        EXPECT_EQ(DecodeGreyPng(gate.last), panel);

        if (synchronous) {
            panel[5] = 0;
            publisher->Refreshed(panel.data(), {1, 0, 0, kW, 1, 2});
            EXPECT_EQ(gate.stores, 2);
            EXPECT_EQ(DecodeGreyPng(gate.last), panel) << "stored before the refresh returned";
            continue;
        }
        gate.SetOpen(false);
        auto refreshes = std::async(std::launch::async, [&] {
            panel[0] = 0;
            publisher->Refreshed(panel.data(), {1, 0, 0, 1, 1, 2});
            // Once the thread is held in the store, 50 refreshes must come through all the same.
            if (!gate.WaitForStores(2)) return;
            for (uint32_t i = 1; i <= 50; ++i) {
                const uint32_t x = i % kW, y = i % kH;
                panel[y * kW + x] = static_cast<uint8_t>(i);
                publisher->Refreshed(panel.data(), {1 + i, x, y, 1, 1, 2});
            }
        });
        const bool through = refreshes.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
        EXPECT_TRUE(through) << "a refresh waited for the picture";
        EXPECT_EQ(gate.Stores(), 2);
        gate.SetOpen(true);
        refreshes.wait();
        publisher.reset();
        EXPECT_EQ(gate.stores, 3) << "the 50 refreshes made one picture";
        EXPECT_EQ(DecodeGreyPng(gate.last), panel) << "the last state was not stored";
    }
}

// The file holds the last refresh when the emulator ends, however it ends. A burst of
// whole-panel refreshes ends just before: the file's writer is then still behind.
TEST(EmuPanelFile, HoldsTheLastRefreshWhenTheEmulatorEnds) {
    constexpr uint32_t kW = 1872, kH = 1404, kBuffer = 0x00120000, kRefreshes = 12;
    const uint32_t pieces = (kW * kH + 65534) / 65535;
    Bytes ramp(kW * kH);
    for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<uint8_t>(i % kW * 255 / (kW - 1));
    Bytes twoLevels(ramp.size());
    for (size_t i = 0; i < ramp.size(); ++i) twoLevels[i] = ramp[i] < 128 ? 0 : 255;
    struct Ending {
        const char* name;
        std::vector<std::string> options;
    } endings[] = {
        {"SIGTERM", {}},
        {"--exit-after", {"--exit-after", std::to_string(pieces + kRefreshes)}},
    };
    for (const Ending& ending : endings) {
        SCOPED_TRACE(ending.name);
        e2e::Emulator emu(ending.options);
        {
            e2e::EmuClient client(emu.SocketPath());
            client.WriteMemory(kBuffer, ramp);
            // Modes 2 and 1 by turns, the last one 1.
            for (uint32_t i = 0; i < kRefreshes; ++i) {
                ASSERT_EQ(client.Raw(e2e::VendorCdb(0x94), BeWords({kBuffer, 2 - i % 2, 0, 0, kW, kH, 0})), 0);
            }
        }
        if (ending.options.empty()) EXPECT_EQ(emu.Stop(), 0);
        else EXPECT_EQ(emu.WaitForExit(10000), 0);
        EXPECT_TRUE(e2e::ReadGreyPng(emu.PngPath(), nullptr, nullptr) == twoLevels) << "not the last refresh";
    }
}

// Row r of the panel is refreshed in the r-th mode from the same buffer values; the
// expected greys are worked out by hand from the modes' levels.
TEST(EmuPanelFile, EachModeLeavesTheLevelsItCanShow) {
    const Bytes values = {0, 15, 16, 100, 127, 128, 143, 200, 255};
    const Bytes twoLevels = {0, 0, 0, 0, 0, 255, 255, 255, 255};
    const Bytes sixteenLevels = {0, 0, 17, 102, 119, 136, 136, 204, 255};
    const Bytes white(values.size(), 255);
    struct Row {
        uint32_t mode;
        int status;
        Bytes shown;
    } rows[] = {
        {0, 0, white},         {1, 0, twoLevels}, {2, 0, sixteenLevels}, {3, 0, sixteenLevels}, {4, 0, twoLevels},
        {5, 1, white},         // no mode of the controller's: refused, the panel as it was
        {0xFFFFFFFF, 1, white},
    };
    const uint32_t w = static_cast<uint32_t>(values.size()), h = static_cast<uint32_t>(std::size(rows));
    e2e::Emulator emu({"--width", std::to_string(w), "--height", std::to_string(h)});
    e2e::EmuClient client(emu.SocketPath());
    Bytes buffer, expected;
    for (const Row& row : rows) {
        buffer.insert(buffer.end(), values.begin(), values.end());
        expected.insert(expected.end(), row.shown.begin(), row.shown.end());
    }
    client.WriteMemory(0x00120000, buffer);
    for (uint32_t r = 0; r < h; ++r) {
        EXPECT_EQ(client.Raw(e2e::VendorCdb(0x94), BeWords({0x00120000, rows[r].mode, 0, r, w, 1, 1})), rows[r].status)
            << "mode " << rows[r].mode;
    }
    EXPECT_EQ(e2e::WaitForGreyPng(emu.PngPath(), expected), expected);
}

// ---- the live panel's HTTP side ---------------------------------------------------------

// A connection to the live panel at 127.0.0.1:port.
class HttpConnection {
public:
    explicit HttpConnection(int port) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~HttpConnection() { close(fd_); }
    HttpConnection(const HttpConnection&) = delete;
    HttpConnection& operator=(const HttpConnection&) = delete;
    bool Send(const std::string& bytes) {
        return connected_ && send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    // Reads until the text holds `until` (empty: until the end of the connection) or 10 s pass.
    std::string Read(const std::string& until = "") {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (until.empty() || got_.find(until) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            char buf[65536];
            const ssize_t n = recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) break;
            got_.append(buf, static_cast<size_t>(n));
        }
        return got_;
    }

private:
    int fd_;
    bool connected_ = false;
    std::string got_;
};

int HttpPort(const e2e::Emulator& emu) {
    const std::string& said = emu.StartupOutput();
    const std::string line = "qp7730-emu: live panel on http://127.0.0.1:";
    const size_t at = said.find(line);
    return at == std::string::npos ? -1 : std::atoi(said.c_str() + at + line.size());
}

// Each request gets the answer its first line and headers call for; nothing but the page,
// the picture and the events is there, and nothing can be changed.
TEST(EmuHttpPanel, AnswersGetOfItsThreePathsAndRefusesEverythingElse) {
    e2e::Emulator emu({"--width", "64", "--height", "32", "--http", "127.0.0.1:0"});
    const int port = HttpPort(emu);
    ASSERT_GT(port, 0) << emu.StartupOutput();
    const std::string longHeader = "X-Long: " + std::string(9000, 'a') + "\r\n";
    const struct {
        const char* what;
        std::string request;
        std::string status;    // the answer's first line
        std::string contains;  // somewhere in the answer
    } cases[] = {
        {"the page", "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", "HTTP/1.1 200 OK", "new EventSource(\"events\")"},
        {"the picture", "GET /panel.png?t=1 HTTP/1.1\r\nHost: localhost:8080\r\n\r\n", "HTTP/1.1 200 OK",
         "X-Panel-State: {\"refresh\":0,"},
        {"bare line ends, no Host", "GET / HTTP/1.0\n\n", "HTTP/1.1 200 OK", "<!DOCTYPE html>"},
        {"IPv6 loopback name", "GET / HTTP/1.1\r\nHost: [::1]:80\r\n\r\n", "HTTP/1.1 200 OK", "</html>"},
        {"HEAD", "HEAD / HTTP/1.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed", "Allow: GET\r\n"},
        {"POST with a body", "POST /events HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc", "HTTP/1.1 405", "read-only"},
        {"PUT", "PUT /panel.png HTTP/1.1\r\n\r\n", "HTTP/1.1 405", "Allow: GET"},
        {"a path outside", "GET /../etc/passwd HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found", ""},
        {"a path below the picture", "GET /panel.png/../ HTTP/1.1\r\n\r\n", "HTTP/1.1 404", ""},
        {"another host name", "GET / HTTP/1.1\r\nHost: panel.example:80\r\n\r\n", "HTTP/1.1 403 Forbidden", ""},
        {"another address", "GET / HTTP/1.1\r\nHost: 10.0.0.1\r\n\r\n", "HTTP/1.1 403", ""},
        {"a GET with a body", "GET / HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", "HTTP/1.1 400 Bad Request", ""},
        {"not a request line", "HELLO\r\n\r\n", "HTTP/1.1 400", ""},
        {"another protocol", "GET / SPDY/3\r\n\r\n", "HTTP/1.1 400", ""},
        {"a head past 8 KiB", "GET / HTTP/1.1\r\n" + longHeader, "HTTP/1.1 431", ""},
    };
    for (const auto& k : cases) {
        HttpConnection c(port);
        ASSERT_TRUE(c.Send(k.request)) << k.what;
        const std::string answer = c.Read();
        EXPECT_EQ(answer.substr(0, answer.find("\r\n")).substr(0, k.status.size()), k.status) << k.what;
        EXPECT_NE(answer.find(k.contains), std::string::npos) << k.what << ": " << answer.substr(0, 400);
    }
}

// The events follow the refreshes; clients past the bound are told so and the rest are
// served all the same.
TEST(EmuHttpPanel, EventsFollowEachRefreshAndClientsAreBounded) {
    e2e::Emulator emu({"--width", "64", "--height", "32", "--http", "127.0.0.1:0"});
    const int port = HttpPort(emu);
    ASSERT_GT(port, 0) << emu.StartupOutput();
    HttpConnection events(port);
    ASSERT_TRUE(events.Send("GET /events HTTP/1.1\r\n\r\n"));
    EXPECT_NE(events.Read("data: ").find("Content-Type: text/event-stream"), std::string::npos);
    EXPECT_NE(events.Read("}\n\n").find("data: {\"refresh\":0,"), std::string::npos);

    e2e::EmuClient client(emu.SocketPath());
    ASSERT_EQ(client.Raw(e2e::VendorCdb(0x94), BeWords({0x00120000, 4, 3, 5, 20, 10, 1})), 0);
    EXPECT_NE(events.Read("\"refresh\":1,").find("data: {\"refresh\":1,\"x\":3,\"y\":5,\"width\":20,\"height\":10,"
                                                   "\"mode\":4,\"name\":\"animation\",\"levels\":2,"
                                                   "\"panelWidth\":64,\"panelHeight\":32}\n\n"),
              std::string::npos);

    // With the events and 7 silent connections, all 8 places are taken.
    std::vector<std::unique_ptr<HttpConnection>> silent;
    for (size_t i = 1; i < 8; ++i) silent.push_back(std::make_unique<HttpConnection>(port));
    {
        HttpConnection ninth(port);
        EXPECT_NE(ninth.Read().find("HTTP/1.1 503 Service Unavailable"), std::string::npos);
    }
    silent.clear();
    // The places come free as the connections close; the server sees it in its own time.
    bool served = false;
    for (int attempt = 0; attempt < 100 && !served; ++attempt) {
        HttpConnection again(port);
        again.Send("GET /panel.png HTTP/1.1\r\n\r\n");
        served = again.Read().starts_with("HTTP/1.1 200 OK");
    }
    EXPECT_TRUE(served) << "no place after the silent connections closed";
}

TEST(EmuHttpPanel, RefusesAnAddressThatIsNotLoopbackBeforeMakingAnything) {
    const struct {
        const char* address;
        const char* message;
    } cases[] = {
        {"0.0.0.0:0", "0.0.0.0:0 is not a loopback address: --http serves only 127.0.0.0/8 and ::1"},
        {"[::]:0", "is not a loopback address: --http"},
        {"10.1.2.3:8080", "is not a loopback address: --http"},
        {"127.0.0.1", "--http wants HOST:PORT or [IPV6]:PORT, not 127.0.0.1"},
    };
    for (const auto& k : cases) {
        try {
            e2e::Emulator emu({"--http", k.address});
            ADD_FAILURE() << k.address << " was served";
        } catch (const std::runtime_error& e) {
            const std::string text = e.what();
            EXPECT_NE(text.find("exit status 1"), std::string::npos) << text;
            EXPECT_NE(text.find(k.message), std::string::npos) << text;
        }
    }
}

}  // namespace
