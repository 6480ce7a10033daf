// The live panel (--http HOST:PORT): one page that shows the panel as it is and follows
// every refresh, with the last refreshed rectangle outlined and its mode named.
//
// Three things are served, to GET only: the page at "/", the newest panel picture at
// "/panel.png" (its refresh in the X-Panel-State header, as JSON) and, at "/events",
// server-sent events, one for the state at connection and one after every new picture
// (a client that is behind gets only the newest). Anything else is refused: another
// method 405, another path 404, a Host that is not a loopback name 403 (so that a page
// from elsewhere cannot read the panel through a name that resolves to loopback). The
// address is loopback only (127.0.0.0/8, ::1); any local user may look, and nobody can
// change anything.
//
// Bounded: at most kMaxHttpClients connections (more get 503), a request head of at most
// 8 KiB that must come within 10 s, one request per connection, a client that takes
// nothing for 10 s while something waits for it is dropped. It runs on a thread of its
// own and reads only pictures the publisher has made, so the command path never waits for
// it.
#pragma once
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "emu/panel_publisher.h"

namespace emu {

constexpr size_t kMaxHttpClients = 8;

class HttpPanel {
public:
    explicit HttpPanel(std::string address);
    ~HttpPanel();
    HttpPanel(const HttpPanel&) = delete;
    HttpPanel& operator=(const HttpPanel&) = delete;

    // Listens on the loopback address (port 0: a free one); false with *error set when it
    // is not one or cannot be had.
    bool Listen(std::string* error);
    // "http://127.0.0.1:PORT/" once listening.
    const std::string& Url() const { return url_; }
    // Serves the pictures of publisher, which must outlive the serving, until Stop.
    bool Start(PanelPublisher& publisher, uint32_t panelWidth, uint32_t panelHeight, std::string* error);
    // Ends the serving and closes every connection; the destructor does it too.
    void Stop();

    struct Client;

private:
    using Clock = std::chrono::steady_clock;
    void Run();
    void Accept();
    // Reads what the client sent; false when it is to be closed.
    bool Read(Client& c);
    // The answer to a whole request head.
    void Answer(Client& c);
    // Sends what waits; false when the client is to be closed.
    bool Write(Client& c);
    // An events client with nothing waiting gets the newest state, if it has not had it.
    void QueueEvent(Client& c);
    std::string StateJson(const RefreshInfo& info) const;

    std::string address_, url_;
    int listenFd_ = -1;
    int wakeFd_ = -1;  // eventfd: a new picture, or the end
    std::atomic<bool> stopping_{false};
    PanelPublisher* publisher_ = nullptr;
    uint32_t panelWidth_ = 0, panelHeight_ = 0;
    PanelPicture latest_;
    std::vector<std::unique_ptr<Client>> clients_;
    std::thread thread_;
};

// The page, for tests that look at it without a browser.
extern const char kPanelPage[];

}  // namespace emu
