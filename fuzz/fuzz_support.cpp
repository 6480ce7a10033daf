#include "fuzz/fuzz_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include "emu/bulk_only_device.h"
#include "link/pipe.h"
#include "link/report.h"

namespace fuzz {
namespace {

std::unique_ptr<emu::Model> g_model;
std::unique_ptr<emu::BulkOnlyDevice> g_device;

void* Open(const std::string&) { return g_device.get(); }

emu::BulkOnlyDevice& DeviceOf(void* device) { return *static_cast<emu::BulkOnlyDevice*>(device); }

// The device's USB view in the adapter's terms; an IN transfer it has nothing for would
// wait until the transfer bound: an error.
TransferResult Transfer(void* device, uint8_t pipe, uint8_t* buf, uint32_t len, uint32_t* moved) {
    emu::BulkOnlyDevice& d = DeviceOf(device);
    if ((pipe & 0x80) == 0) {
        if (d.Out({buf, len}) == emu::UsbStatus::Stall) return TransferResult::kStalled;
        *moved = len;
        return TransferResult::kGood;
    }
    std::vector<uint8_t> data;
    const emu::UsbStatus status = d.In(len, &data);
    if (status == emu::UsbStatus::Stall) return TransferResult::kStalled;
    if (status != emu::UsbStatus::Ack) return TransferResult::kError;
    std::memcpy(buf, data.data(), data.size());
    *moved = static_cast<uint32_t>(data.size());
    return data.size() < len ? TransferResult::kShort : TransferResult::kGood;
}

TransferResult ClearHalt(void* device, uint8_t pipe) {
    DeviceOf(device).ClearHalt(pipe);
    return TransferResult::kGood;
}

TransferResult ClassReset(void* device) {
    DeviceOf(device).ClassReset();
    return TransferResult::kGood;
}

int LastError(void*) { return 121; }
void Close(void*) {}
std::string Location(void*) { return "in-process"; }

const PipeBackend kBackend = {"in-process", Open,       Transfer, LastError, Close,  Location,
                              ClearHalt,    ClassReset, nullptr,  nullptr,   nullptr};
const PipeBackend* const kRoutes[] = {&kBackend};

void DropText(const char*) {}
// Console text and diagnostics (a picture's reason for failing, say) are formatted as in
// the tool, then dropped: writing them would slow the fuzzer and bury its own report.
const Reporter kSilent{DropText, DropText, DropText};

void RemoveScratchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(ScratchDirectory(), ignored);
}

}  // namespace

const std::string& ScratchDirectory() {
    // In memory where there is a tmpfs: every input is written as a file, and a disk
    // file system makes that the slowest part of a run.
    static const std::string dir = [] {
        char shm[] = "/dev/shm/qp7730-fuzz-XXXXXX";
        char tmp[] = "/tmp/qp7730-fuzz-XXXXXX";
        const char* made = mkdtemp(shm);
        if (!made) made = mkdtemp(tmp);
        if (!made) abort();
        return std::string(made);
    }();
    return dir;
}

void QuietProcess() {
    const int null = open("/dev/null", O_WRONLY);
    if (null < 0 || dup2(null, STDOUT_FILENO) < 0) abort();
    close(null);
    SetReporter(&kSilent);
    setenv("QP7730_TEST_NO_RUN_LOCK", "1", 1);
    if (chdir(ScratchDirectory().c_str()) != 0) abort();
    atexit(RemoveScratchDirectory);  // after the name exists, so it is destroyed after this runs
}

std::string WriteInput(const uint8_t* data, size_t size, const std::string& name) {
    const std::string path = ScratchDirectory() + "/" + name;
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) abort();
    if (size && fwrite(data, 1, size, f) != size) abort();
    fclose(f);
    return path;
}

emu::ModelConfig SmallModel() {
    emu::ModelConfig c;
    c.panelWidth = 64;
    c.panelHeight = 48;
    c.imageBufferAddress = 0x1000;
    c.memoryMiB = 1;
    c.waveformAddress = 0x00200000;
    return c;
}

emu::Model& UseInProcessEmulator() {
    if (!g_model) {
        g_model = std::make_unique<emu::Model>(SmallModel());
        SetPipeBackends(kRoutes, 1);
    }
    g_device = std::make_unique<emu::BulkOnlyDevice>(*g_model, emu::DeviceView::Socket);
    return *g_model;
}

void ReadFirstRows(qpimg::RowSource& source) {
    const qpimg::PixelFormat& f = source.Format();
    std::vector<uint8_t> row(qpimg::RowBytes(f.width, f.depth));
    const uint64_t rows = std::min<uint64_t>(f.height, std::max<uint64_t>(1, (uint64_t{1} << 22) / f.width));
    for (uint64_t y = 0; y < rows && source.ReadRow(row.data()); ++y) {
    }
}

}  // namespace fuzz
