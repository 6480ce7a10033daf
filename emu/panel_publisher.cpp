#include "emu/panel_publisher.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "emu/png_writer.h"

namespace emu {
namespace {

constexpr auto kMinRest = std::chrono::milliseconds(5);
constexpr auto kMaxRest = std::chrono::milliseconds(25);

}  // namespace

PanelPublisher::PanelPublisher(PublisherConfig config, const uint8_t* panel) : config_(std::move(config)) {
    if (!config_.store) {
        const std::string path = config_.pngPath;
        config_.store = [path](const std::vector<uint8_t>& png, std::string* error) {
            return path.empty() || ReplaceFile(path, png, error);
        };
    }
    const size_t size = size_t{config_.width} * config_.height;
    latest_ = Make(panel, info_);
    if (config_.synchronous) return;
    frame_.assign(panel, panel + size);
    staging_ = frame_;
    thread_ = std::thread([this] { Run(); });
}

PanelPublisher::~PanelPublisher() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

PanelPicture PanelPublisher::Make(const uint8_t* pixels, const RefreshInfo& info) {
    PanelPicture picture{info, nullptr};
    auto png = std::make_shared<std::vector<uint8_t>>();
    std::string error;
    if (!EncodeGreyPng(pixels, config_.width, config_.height, png.get(), &error)) {
        std::fprintf(stderr, "qp7730-emu: cannot write the panel image: %s\n", error.c_str());
        return picture;
    }
    if (!config_.store(*png, &error)) {
        std::fprintf(stderr, "qp7730-emu: cannot write the panel image: %s\n", error.c_str());
    }
    picture.png = std::move(png);
    return picture;
}

void PanelPublisher::Refreshed(const uint8_t* panel, const RefreshInfo& info) {
    if (config_.synchronous) {
        PanelPicture picture = Make(panel, info);
        std::lock_guard<std::mutex> lock(mutex_);
        latest_ = std::move(picture);
        if (listener_) listener_();
        return;
    }
    const uint32_t pitch = config_.width;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (uint32_t r = 0; r < info.height; ++r) {
            const size_t at = size_t{info.y + r} * pitch + info.x;
            std::memcpy(staging_.data() + at, panel + at, info.width);
        }
        if (info.width > 0 && info.height > 0) {
            if (dirtyX1_ == dirtyX0_) {
                dirtyX0_ = info.x, dirtyY0_ = info.y, dirtyX1_ = info.x + info.width, dirtyY1_ = info.y + info.height;
            } else {
                dirtyX0_ = std::min(dirtyX0_, info.x);
                dirtyY0_ = std::min(dirtyY0_, info.y);
                dirtyX1_ = std::max(dirtyX1_, info.x + info.width);
                dirtyY1_ = std::max(dirtyY1_, info.y + info.height);
            }
        }
        info_ = info;
        ++generation_;
    }
    changed_.notify_one();
}

void PanelPublisher::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || generation_ != storedGeneration_; });
        if (generation_ == storedGeneration_) return;  // stopping, and everything is stored
        // Coalesce what comes during the rest; a stop ends the rest at once.
        changed_.wait_until(lock, restUntil_, [this] { return stopping_; });
        for (uint32_t r = dirtyY0_; r < dirtyY1_; ++r) {
            const size_t at = size_t{r} * config_.width + dirtyX0_;
            std::memcpy(frame_.data() + at, staging_.data() + at, dirtyX1_ - dirtyX0_);
        }
        dirtyX0_ = dirtyY0_ = dirtyX1_ = dirtyY1_ = 0;
        const RefreshInfo info = info_;
        const uint64_t generation = generation_;
        lock.unlock();

        const auto start = Clock::now();
        PanelPicture picture = Make(frame_.data(), info);
        const auto took = Clock::now() - start;

        lock.lock();
        latest_ = std::move(picture);
        storedGeneration_ = generation;
        restUntil_ = Clock::now() + std::clamp<Clock::duration>(took, kMinRest, kMaxRest);
        if (listener_) listener_();
    }
}

PanelPicture PanelPublisher::Latest() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return latest_;
}

void PanelPublisher::SetListener(std::function<void()> listener) {
    std::lock_guard<std::mutex> lock(mutex_);
    listener_ = std::move(listener);
}

}  // namespace emu
