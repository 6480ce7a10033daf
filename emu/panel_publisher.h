// The panel as people look at it: the PNG file (--png) and the live page (--http).
//
// Encoding the whole panel takes far longer than a refresh (milliseconds to tens of
// milliseconds at 1872 x 1404, against a fraction of a millisecond), so the command path
// does not wait for it: a refresh only copies the rectangle it changed, and a thread of
// the publisher's own encodes the panel and replaces the file. Refreshes that come while a
// picture is being made are coalesced: the next picture shows them all. It is begun at
// once when the thread has been idle, else after a rest as long as the last picture took
// (at most 25 ms), so that the thread takes at most about half a core while a host
// refreshes without pause. The file is so current within two encodings and a rest after
// the last refresh; the last state is always stored before the publisher goes.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace emu {

// What the last refresh did: its rectangle and its mode. refresh counts the refreshes
// since start, 0 for none yet.
struct RefreshInfo {
    uint64_t refresh = 0;
    uint32_t x = 0, y = 0, width = 0, height = 0;
    uint32_t mode = 0;
};

// One encoded state of the panel, with the refresh that made it.
struct PanelPicture {
    RefreshInfo last;
    std::shared_ptr<const std::vector<uint8_t>> png;  // null when it could not be encoded
};

struct PublisherConfig {
    uint32_t width = 0, height = 0;
    std::string pngPath;  // empty: no file (the pictures are still made, for the page)
    // Encode and store on the command path, before the refresh is answered.
    bool synchronous = false;
    // Stores one picture; the default replaces pngPath atomically. False with *error set
    // when it failed.
    std::function<bool(const std::vector<uint8_t>& png, std::string* error)> store;
};

class PanelPublisher {
public:
    // Makes and stores the first picture, of `panel` (width x height bytes), before it
    // returns.
    PanelPublisher(PublisherConfig config, const uint8_t* panel);
    // Stores the last state when it is not stored yet, then ends the thread.
    ~PanelPublisher();
    PanelPublisher(const PanelPublisher&) = delete;
    PanelPublisher& operator=(const PanelPublisher&) = delete;

    // The command path: the rectangle of info changed on `panel` (the whole panel, width
    // bytes a row). Copies that rectangle and returns.
    void Refreshed(const uint8_t* panel, const RefreshInfo& info);
    // The newest picture made.
    PanelPicture Latest() const;
    // Called after every new picture, on the thread that made it, with the publisher's lock
    // held: it must only signal (no call back into the publisher). Once SetListener has
    // returned, the listener it replaced is not called any more.
    void SetListener(std::function<void()> listener);

private:
    using Clock = std::chrono::steady_clock;
    void Run();
    // Encodes pixels (the whole panel) and stores the picture; returns it.
    PanelPicture Make(const uint8_t* pixels, const RefreshInfo& info);

    PublisherConfig config_;
    std::vector<uint8_t> frame_;  // the writer's copy, encoded without the lock
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<uint8_t> staging_;  // the panel as refreshed, under mutex_
    // Rows and columns of staging_ that changed since frame_ was copied from it.
    uint32_t dirtyX0_ = 0, dirtyY0_ = 0, dirtyX1_ = 0, dirtyY1_ = 0;
    RefreshInfo info_;
    uint64_t generation_ = 0, storedGeneration_ = 0;
    bool stopping_ = false;
    Clock::time_point restUntil_{};
    PanelPicture latest_;
    std::function<void()> listener_;
    std::thread thread_;
};

}  // namespace emu
