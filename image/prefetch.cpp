// Decoding on a second thread: a worker reads rows from the decoder into a ring while
// the caller stretches and converts the rows before them. The rows arrive in the same
// order and with the same content as without the worker; only the timing changes.
//
// One producer, one consumer: the two counters are atomics, and the mutex and condition
// variable are used only when a side has to sleep (ring full or empty). A side that is
// about to sleep raises its flag and checks again under the mutex; the other side moves
// its counter first and then looks at the flag, so one of them always sees the other.
// A sleeping side is woken only when a batch of rows (kWakeRows) is ready for it, or the
// picture has ended: waking a thread for every row costs more than most rows take.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "image/image_service.h"

namespace qpimg {
namespace {

constexpr uint32_t kRingRows = 64;
constexpr uint32_t kWakeRows = 16;

class PrefetchSource final : public RowSource {
public:
    explicit PrefetchSource(std::unique_ptr<RowSource> inner) : inner_(std::move(inner)) {
        format_ = inner_->Format();
        fileWidth_ = inner_->FileWidth();
        fileHeight_ = inner_->FileHeight();
        scaleNum_ = inner_->ScaleNum();
        scaleDenom_ = inner_->ScaleDenom();
        orientation_ = inner_->Orientation();
        rowBytes_ = RowBytes(format_.width, format_.depth);
        // Slots 8 bytes past a multiple of 16, a multiple of 16 apart: a decoder that
        // writes aligned rows past the caches (libjpeg-turbo) then writes into them
        // directly and through the caches.
        pitch_ = (rowBytes_ + 15) / 16 * 16;
        ring_.resize(pitch_ * kRingRows + 32);
        const auto at = reinterpret_cast<uintptr_t>(ring_.data());
        slots_ = ring_.data() + (16 - at % 16) % 16 + 8;
    }
    ~PrefetchSource() override {
        stop_.store(true);
        Wake();
        if (worker_.joinable()) worker_.join();
    }
    // Starts the worker; without one (no thread to be had) rows are read directly.
    void Start() {
        try {
            worker_ = std::thread([this] { Work(); });
        } catch (const std::system_error&) {
        }
    }

    const uint8_t* NextRowAddress(uint8_t* scratch) override {
        if (!worker_.joinable()) return inner_->ReadRow(scratch) ? scratch : nullptr;
        Release();
        const uint64_t c = consumed_.load();
        if (produced_.load() == c) {
            // Sleep until a batch is ready (or what is left of the picture, or the end).
            const uint64_t batch = std::min<uint64_t>(kWakeRows, format_.height > c ? format_.height - c : 1);
            std::unique_lock<std::mutex> lock(mutex_);
            consumerWaiting_.store(true);
            changed_.wait(lock, [&] { return produced_.load() - c >= batch || ended_.load(); });
            consumerWaiting_.store(false);
            if (produced_.load() == c) return nullptr;  // failed, or no more rows
        }
        holding_ = true;  // the slot stays ours until the next call
        return slots_ + (c % kRingRows) * pitch_;
    }

    bool ReadRow(uint8_t* row) override {
        const uint8_t* p = NextRowAddress(row);
        if (p && p != row) memcpy(row, p, rowBytes_);
        return p != nullptr;
    }

    // The decoder's reason, once the worker has stopped (before that it may still write it).
    std::string Failure() const override {
        if (!worker_.joinable() || ended_.load()) return inner_->Failure();
        return {};
    }

private:
    void Release() {
        if (!holding_) return;
        holding_ = false;
        const uint64_t c = consumed_.fetch_add(1) + 1;
        if (producerWaiting_.load() && produced_.load() - c <= kRingRows - kWakeRows) Wake();
    }
    void Wake() {
        std::lock_guard<std::mutex> lock(mutex_);
        changed_.notify_all();
    }

    void Work() {
        for (uint32_t r = 0; r < format_.height; ++r) {
            const uint64_t p = produced_.load();
            if (p - consumed_.load() >= kRingRows) {
                // Sleep until a batch of slots is free.
                std::unique_lock<std::mutex> lock(mutex_);
                producerWaiting_.store(true);
                changed_.wait(lock, [&] { return stop_.load() || p - consumed_.load() <= kRingRows - kWakeRows; });
                producerWaiting_.store(false);
            }
            if (stop_.load()) break;
            if (!inner_->ReadRow(slots_ + (p % kRingRows) * pitch_)) break;
            const uint64_t made = produced_.fetch_add(1) + 1;
            if (consumerWaiting_.load() && (made - consumed_.load() >= kWakeRows || made == format_.height)) Wake();
        }
        ended_.store(true);
        Wake();
    }

    std::unique_ptr<RowSource> inner_;
    size_t rowBytes_ = 0, pitch_ = 0;
    std::vector<uint8_t> ring_;
    uint8_t* slots_ = nullptr;  // the first slot in ring_
    std::mutex mutex_;
    std::condition_variable changed_;
    std::atomic<uint64_t> produced_{0}, consumed_{0};
    std::atomic<bool> producerWaiting_{false}, consumerWaiting_{false}, ended_{false}, stop_{false};
    bool holding_ = false;  // the consumer still reads the slot it was handed
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
