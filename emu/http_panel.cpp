#include "emu/http_panel.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "emu/display_modes.h"
#include "emu/loopback_tcp.h"

namespace emu {
namespace {

constexpr size_t kMaxRequestHead = 8192;
constexpr auto kRequestTimeout = std::chrono::seconds(10);
constexpr auto kSendTimeout = std::chrono::seconds(10);
// After the answer, what the client still sends is read and dropped for at most this long,
// so that closing with unread bytes does not reset the connection before it has the answer.
constexpr auto kLingerTime = std::chrono::seconds(2);

// Headers of every answer: nothing is cached, nothing sniffed, nothing framed elsewhere.
constexpr const char kCommonHeaders[] =
    "Cache-Control: no-store\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "Referrer-Policy: no-referrer\r\n"
    "Connection: close\r\n";

constexpr const char kPageSecurity[] =
    "Content-Security-Policy: default-src 'none'; img-src 'self' blob:; connect-src 'self'; "
    "script-src 'unsafe-inline'; style-src 'unsafe-inline'; frame-ancestors 'none'; base-uri 'none'; "
    "form-action 'none'\r\n";

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char ch) { return std::tolower(ch); });
    return text;
}

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// A Host header naming this machine's loopback: localhost, 127.x.x.x or [::1], with or
// without a port.
bool LoopbackHost(const std::string& host) {
    std::string name = host;
    if (name.starts_with("[")) {
        const size_t close = name.find(']');
        if (close == std::string::npos || (close + 1 < name.size() && name[close + 1] != ':')) return false;
        name = name.substr(1, close - 1);
        in6_addr a{};
        return inet_pton(AF_INET6, name.c_str(), &a) == 1 && IN6_IS_ADDR_LOOPBACK(&a);
    }
    if (const size_t colon = name.find(':'); colon != std::string::npos) name.resize(colon);
    if (Lower(name) == "localhost") return true;
    in_addr a{};
    return inet_pton(AF_INET, name.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

std::string Status(int code) {
    switch (code) {
        case 200: return "200 OK";
        case 400: return "400 Bad Request";
        case 403: return "403 Forbidden";
        case 404: return "404 Not Found";
        case 405: return "405 Method Not Allowed";
        case 431: return "431 Request Header Fields Too Large";
        case 503: return "503 Service Unavailable";
        default: return std::to_string(code);
    }
}

// A whole answer with a short text body.
std::string TextAnswer(int code, const std::string& text, const std::string& extraHeaders = "") {
    const std::string body = Status(code) + ": " + text + "\n";
    return "HTTP/1.1 " + Status(code) + "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n" + kCommonHeaders + extraHeaders + "\r\n" + body;
}

}  // namespace

struct HttpPanel::Client {
    explicit Client(int fd) : fd(fd) {}
    ~Client() { close(fd); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    enum class State { Request, Answer, Events, Linger };
    const int fd;
    State state = State::Request;
    std::string in;
    std::string head;                                  // what goes out first
    std::shared_ptr<const std::vector<uint8_t>> body;  // then this, when set
    size_t sent = 0;
    uint64_t eventRefresh = UINT64_MAX;  // the state of the last event sent
    Clock::time_point accepted = Clock::now(), progress = accepted;

    size_t Length() const { return head.size() + (body ? body->size() : 0); }
    bool Pending() const { return sent < Length(); }
    void Queue(std::string text, std::shared_ptr<const std::vector<uint8_t>> bytes = nullptr) {
        head = std::move(text);
        body = std::move(bytes);
        sent = 0;
        progress = Clock::now();
    }
};

HttpPanel::HttpPanel(std::string address) : address_(std::move(address)) {}

HttpPanel::~HttpPanel() {
    Stop();
    if (listenFd_ >= 0) close(listenFd_);
    if (wakeFd_ >= 0) close(wakeFd_);
}

void HttpPanel::Stop() {
    // First the publisher stops signalling, then the thread ends; only then is nothing left
    // that reads the publisher.
    if (publisher_) publisher_->SetListener(nullptr);
    stopping_ = true;
    if (wakeFd_ >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
    }
    if (thread_.joinable()) thread_.join();
    publisher_ = nullptr;
    clients_.clear();
}

bool HttpPanel::Listen(std::string* error) {
    std::string bound;
    listenFd_ = ListenLoopbackTcp(address_, "--http", static_cast<int>(kMaxHttpClients), &bound, error);
    if (listenFd_ < 0) return false;
    url_ = "http://" + bound + "/";
    return true;
}

bool HttpPanel::Start(PanelPublisher& publisher, uint32_t panelWidth, uint32_t panelHeight, std::string* error) {
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        *error = std::string("eventfd: ") + std::strerror(errno);
        return false;
    }
    publisher_ = &publisher;
    panelWidth_ = panelWidth;
    panelHeight_ = panelHeight;
    const int wake = wakeFd_;
    publisher.SetListener([wake] {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(wake, &one, sizeof one);
    });
    latest_ = publisher.Latest();
    thread_ = std::thread([this] { Run(); });
    return true;
}

std::string HttpPanel::StateJson(const RefreshInfo& info) const {
    const DisplayMode* mode = info.refresh == 0 ? nullptr : FindDisplayMode(info.mode);
    return "{\"refresh\":" + std::to_string(info.refresh) + ",\"x\":" + std::to_string(info.x) +
           ",\"y\":" + std::to_string(info.y) + ",\"width\":" + std::to_string(info.width) +
           ",\"height\":" + std::to_string(info.height) + ",\"mode\":" + std::to_string(info.mode) +
           ",\"name\":\"" + (mode ? mode->name : "") + "\",\"levels\":" + std::to_string(mode ? mode->levels : 0) +
           ",\"panelWidth\":" + std::to_string(panelWidth_) + ",\"panelHeight\":" + std::to_string(panelHeight_) +
           "}";
}

void HttpPanel::Run() {
    std::vector<pollfd> fds;
    while (!stopping_) {
        fds.assign({{wakeFd_, POLLIN, 0}, {listenFd_, POLLIN, 0}});
        auto wake = Clock::time_point::max();
        for (const auto& c : clients_) {
            short events = POLLIN;
            if (c->Pending()) events |= POLLOUT;
            if (c->state == Client::State::Request) wake = std::min(wake, c->accepted + kRequestTimeout);
            else if (c->state == Client::State::Linger) wake = std::min(wake, c->progress + kLingerTime);
            else if (c->Pending()) wake = std::min(wake, c->progress + kSendTimeout);
            fds.push_back({c->fd, events, 0});
        }
        int timeout = -1;
        if (wake != Clock::time_point::max()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(wake - Clock::now()).count();
            timeout = static_cast<int>(std::clamp<long long>(left + 1, 0, 60000));
        }
        if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) return;
        if (stopping_) return;
        if (fds[0].revents & POLLIN) {
            uint64_t count = 0;
            [[maybe_unused]] ssize_t n = read(wakeFd_, &count, sizeof count);
            latest_ = publisher_->Latest();
        }
        const auto now = Clock::now();
        std::vector<size_t> closed;
        for (size_t i = 0; i < clients_.size(); ++i) {
            Client& c = *clients_[i];
            const short revents = fds[i + 2].revents;
            bool keep = true;
            if (revents & (POLLIN | POLLHUP | POLLERR)) keep = Read(c);
            if (keep && c.Pending() && (revents & POLLOUT)) keep = Write(c);
            if (keep && c.state == Client::State::Events) QueueEvent(c);
            if (keep && c.state == Client::State::Request && now >= c.accepted + kRequestTimeout) keep = false;
            if (keep && c.state == Client::State::Linger && now >= c.progress + kLingerTime) keep = false;
            if (keep && c.Pending() && now >= c.progress + kSendTimeout) keep = false;
            if (!keep) closed.push_back(i);
        }
        for (auto i = closed.rbegin(); i != closed.rend(); ++i) clients_.erase(clients_.begin() + static_cast<long>(*i));
        if (fds[1].revents & POLLIN) Accept();
    }
}

void HttpPanel::Accept() {
    const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    auto client = std::make_unique<Client>(fd);
    if (clients_.size() >= kMaxHttpClients) {
        // Said at once and closed: a socket just accepted has room for these few bytes.
        const std::string answer = TextAnswer(503, "too many clients of the live panel at once");
        [[maybe_unused]] ssize_t n = send(fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        shutdown(fd, SHUT_WR);
        return;
    }
    clients_.push_back(std::move(client));
}

bool HttpPanel::Read(Client& c) {
    char buf[4096];
    for (;;) {
        const ssize_t n = recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
        if (n == 0) return false;  // the client is gone, or has said all and waits for nothing
        // After its request a client has nothing to say: whatever comes is dropped.
        if (c.state != Client::State::Request) continue;
        c.in.append(buf, static_cast<size_t>(n));
        // The head ends with an empty line (CR LF, or a bare LF).
        const size_t crlf = c.in.find("\n\r\n"), lf = c.in.find("\n\n");
        if (std::min(crlf, lf) < kMaxRequestHead) {
            Answer(c);
            return Write(c);
        }
        if (c.in.size() > kMaxRequestHead) {
            c.state = Client::State::Answer;
            c.Queue(TextAnswer(431, "a request head of at most 8 KiB"));
            return Write(c);
        }
    }
}

void HttpPanel::Answer(Client& c) {
    c.state = Client::State::Answer;
    const size_t end = c.in.find('\n');
    std::string line = c.in.substr(0, end);
    if (line.ends_with("\r")) line.pop_back();
    const size_t s1 = line.find(' '), s2 = s1 == std::string::npos ? s1 : line.find(' ', s1 + 1);
    if (s2 == std::string::npos || line.find(' ', s2 + 1) != std::string::npos ||
        !line.substr(s2 + 1).starts_with("HTTP/1.")) {
        c.Queue(TextAnswer(400, "not an HTTP/1 request line"));
        return;
    }
    const std::string method = line.substr(0, s1), target = line.substr(s1 + 1, s2 - s1 - 1);
    if (method != "GET") {
        c.Queue(TextAnswer(405, "the live panel is read-only", "Allow: GET\r\n"));
        return;
    }
    std::string host;
    bool hasBody = false;
    for (size_t at = end + 1; at < c.in.size();) {
        size_t next = c.in.find('\n', at);
        if (next == std::string::npos) next = c.in.size();
        std::string header = c.in.substr(at, next - at);
        if (header.ends_with("\r")) header.pop_back();
        at = next + 1;
        if (header.empty()) break;
        const size_t colon = header.find(':');
        if (colon == std::string::npos) continue;
        const std::string name = Lower(Trim(header.substr(0, colon))), value = Trim(header.substr(colon + 1));
        if (name == "host") host = value;
        if ((name == "content-length" && value != "0") || name == "transfer-encoding") hasBody = true;
    }
    if (hasBody) {
        c.Queue(TextAnswer(400, "a GET carries no body"));
        return;
    }
    if (!host.empty() && !LoopbackHost(host)) {
        c.Queue(TextAnswer(403, "the live panel answers only to a loopback host name"));
        return;
    }
    const std::string path = target.substr(0, target.find_first_of("?#"));
    if (path == "/") {
        const size_t length = std::strlen(kPanelPage);
        c.Queue("HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " + std::to_string(length) +
                "\r\n" + kCommonHeaders + kPageSecurity + "\r\n" + std::string(kPanelPage, length));
    } else if (path == "/panel.png") {
        if (!latest_.png) {
            c.Queue(TextAnswer(503, "no picture of the panel could be made"));
            return;
        }
        c.Queue("HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: " + std::to_string(latest_.png->size()) +
                    "\r\nX-Panel-State: " + StateJson(latest_.last) + "\r\n" + kCommonHeaders + "\r\n",
                latest_.png);
    } else if (path == "/events") {
        c.state = Client::State::Events;
        c.Queue(std::string("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n") + kCommonHeaders + "\r\n");
    } else {
        c.Queue(TextAnswer(404, "the live panel has /, /panel.png and /events"));
    }
}

bool HttpPanel::Write(Client& c) {
    while (c.Pending()) {
        const bool inHead = c.sent < c.head.size();
        const uint8_t* from = inHead ? reinterpret_cast<const uint8_t*>(c.head.data()) + c.sent
                                     : c.body->data() + (c.sent - c.head.size());
        const size_t left = inHead ? c.head.size() - c.sent : c.Length() - c.sent;
        const ssize_t n = send(c.fd, from, left, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
        c.sent += static_cast<size_t>(n);
        c.progress = Clock::now();
    }
    if (c.state == Client::State::Answer) {
        // One request per connection: the answer ends it.
        shutdown(c.fd, SHUT_WR);
        c.state = Client::State::Linger;
        c.progress = Clock::now();
    }
    return true;
}

void HttpPanel::QueueEvent(Client& c) {
    if (c.Pending() || c.eventRefresh == latest_.last.refresh) return;
    c.eventRefresh = latest_.last.refresh;
    c.Queue("data: " + StateJson(latest_.last) + "\n\n");
    Write(c);
}

}  // namespace emu
