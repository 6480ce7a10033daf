// Decoding on a second thread: a worker reads rows from the decoder into a small ring
// while the caller stretches and converts the rows before them. The rows arrive in the
// same order and with the same content as without the worker; only the timing changes.
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "image/image_service.h"

namespace qpimg {
namespace {

constexpr uint32_t kRingRows = 64;

class PrefetchSource final : public RowSource {
public:
    explicit PrefetchSource(std::unique_ptr<RowSource> inner) : inner_(std::move(inner)) {
        format_ = inner_->Format();
        fileWidth_ = inner_->FileWidth();
        fileHeight_ = inner_->FileHeight();
        rowBytes_ = RowBytes(format_.width, format_.depth);
        ring_.resize(rowBytes_ * kRingRows);
    }
    ~PrefetchSource() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        if (worker_.joinable()) worker_.join();
    }
    // Starts the worker; without one (no thread to be had) rows are read directly.
    void Start() {
        try {
            worker_ = std::thread([this] { Work(); });
        } catch (const std::system_error&) {
        }
    }

    bool ReadRow(uint8_t* row) override {
        if (!worker_.joinable()) return inner_->ReadRow(row);
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return produced_ > consumed_ || failed_ || done_; });
        if (produced_ == consumed_) return false;  // failed or no more rows
        lock.unlock();
        memcpy(row, ring_.data() + (consumed_ % kRingRows) * rowBytes_, rowBytes_);
        lock.lock();
        ++consumed_;
        changed_.notify_all();
        return true;
    }

private:
    void Work() {
        for (uint32_t r = 0; r < format_.height; ++r) {
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [this] { return stop_ || produced_ - consumed_ < kRingRows; });
                if (stop_) return;
            }
            // The slot is the worker's until produced_ moves past it.
            const bool ok = inner_->ReadRow(ring_.data() + (produced_ % kRingRows) * rowBytes_);
            std::lock_guard<std::mutex> lock(mutex_);
            if (!ok) {
                failed_ = true;
                changed_.notify_all();
                return;
            }
            ++produced_;
            changed_.notify_all();
        }
        std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
        changed_.notify_all();
    }

    std::unique_ptr<RowSource> inner_;
    size_t rowBytes_ = 0;
    std::vector<uint8_t> ring_;
    std::mutex mutex_;
    std::condition_variable changed_;
    uint64_t produced_ = 0, consumed_ = 0;
    bool failed_ = false, done_ = false, stop_ = false;
    std::thread worker_;
};

}  // namespace

std::unique_ptr<RowSource> Prefetched(std::unique_ptr<RowSource> source) {
    if (!source || std::thread::hardware_concurrency() < 2) return source;
    auto prefetch = std::make_unique<PrefetchSource>(std::move(source));
    prefetch->Start();
    return prefetch;
}

}  // namespace qpimg
