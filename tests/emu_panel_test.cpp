// The emulator's panel as people see it: the levels each display mode leaves, the pictures
// made beside the command path, and the file's last state at the end.
#include <gtest/gtest.h>
#include <png.h>
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <future>
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

}  // namespace
