// Decoding ahead on a second thread: the rows arrive unchanged and in order, a decoder
// that fails part way and a consumer that stops early both end with the worker joined.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "image/image_service.h"

namespace {

// Rows whose bytes tell their number; fails at row `failAt` when given. Counts the rows
// read and notes when it is destroyed (which the prefetcher does after joining its worker).
class CountingSource final : public qpimg::RowSource {
public:
    CountingSource(uint32_t w, uint32_t h, uint32_t failAt, std::atomic<int>& reads, std::atomic<bool>& destroyed)
        : failAt_(failAt), reads_(reads), destroyed_(destroyed) {
        format_.width = fileWidth_ = w;
        format_.height = fileHeight_ = h;
        format_.depth = 24;
    }
    ~CountingSource() override { destroyed_.store(true); }
    bool ReadRow(uint8_t* row) override {
        if (next_ == failAt_) {
            failure_ = "fails at row " + std::to_string(next_);
            return false;
        }
        for (size_t i = 0; i < qpimg::RowBytes(format_.width, 24); ++i) row[i] = static_cast<uint8_t>(next_ * 7 + i);
        ++next_;
        reads_.fetch_add(1);
        return true;
    }

private:
    uint32_t next_ = 0, failAt_;
    std::atomic<int>& reads_;
    std::atomic<bool>& destroyed_;
};

bool RowIs(const uint8_t* row, uint32_t r, uint32_t w) {
    for (size_t i = 0; i < size_t{w} * 3; ++i)
        if (row[i] != static_cast<uint8_t>(r * 7 + i)) return false;
    return true;
}

TEST(ImagePrefetch, RowsArriveInOrderUnchanged) {
    std::atomic<int> reads{0};
    std::atomic<bool> destroyed{false};
    const uint32_t w = 33, h = 1000;  // many times the ring
    auto s = qpimg::Prefetched(std::make_unique<CountingSource>(w, h, ~0u, reads, destroyed));
    std::vector<uint8_t> scratch(w * 3);
    for (uint32_t r = 0; r < h; ++r) {
        const uint8_t* row = r % 2 ? s->NextRowAddress(scratch.data()) : (s->ReadRow(scratch.data()) ? scratch.data() : nullptr);
        ASSERT_NE(row, nullptr) << r;
        ASSERT_TRUE(RowIs(row, r, w)) << r;
    }
    EXPECT_EQ(s->NextRowAddress(scratch.data()), nullptr);
    EXPECT_TRUE(s->Failure().empty());
    s.reset();
    EXPECT_TRUE(destroyed.load());
}

TEST(ImagePrefetch, FailingDecoderEndsWithItsReasonAndTheWorkerJoined) {
    std::atomic<int> reads{0};
    std::atomic<bool> destroyed{false};
    const uint32_t w = 5, h = 500, failAt = 300;
    auto s = qpimg::Prefetched(std::make_unique<CountingSource>(w, h, failAt, reads, destroyed));
    std::vector<uint8_t> scratch(w * 3);
    for (uint32_t r = 0; r < failAt; ++r) ASSERT_TRUE(s->ReadRow(scratch.data()) && RowIs(scratch.data(), r, w)) << r;
    EXPECT_EQ(s->NextRowAddress(scratch.data()), nullptr);
    EXPECT_EQ(s->NextRowAddress(scratch.data()), nullptr);  // and stays so
    EXPECT_EQ(s->Failure(), "fails at row 300");
    s.reset();
    EXPECT_TRUE(destroyed.load());
    EXPECT_EQ(reads.load(), int(failAt));
}

TEST(ImagePrefetch, EarlyStoppingConsumerEndsWithTheWorkerJoined) {
    if (std::thread::hardware_concurrency() < 2) GTEST_SKIP() << "no worker on a single core";
    constexpr int kRing = 64;  // rows the worker may hold ahead of the consumer
    constexpr int kWake = 16;  // a waiting worker goes on once this many slots are free
    for (uint32_t taken : {0u, 1u, 3u, 64u, 65u, 200u}) {
        std::atomic<int> reads{0};
        std::atomic<bool> destroyed{false};
        const uint32_t w = 7, h = 100000;
        auto s = qpimg::Prefetched(std::make_unique<CountingSource>(w, h, ~0u, reads, destroyed));
        std::vector<uint8_t> scratch(w * 3);
        for (uint32_t r = 0; r < taken; ++r) ASSERT_NE(s->NextRowAddress(scratch.data()), nullptr);
        // The consumer still holds the last row it was handed, so the worker can fill the
        // ring up to `full` rows; having found it full, it waits until a batch of slots is
        // free, so it may rest up to kWake - 1 rows short of that. Wait for it to get there.
        const int full = (taken ? int(taken) - 1 : 0) + kRing;
        const int least = full - (kWake - 1);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (reads.load() < least && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
        s.reset();
        EXPECT_TRUE(destroyed.load()) << taken;
        // It ran ahead, and no further than the ring: a worker that ignored the bound would
        // be far past it by the time the ring was seen filled.
        EXPECT_GE(reads.load(), least) << taken;
        EXPECT_LE(reads.load(), full) << taken;
    }
}

}  // namespace
