// The C interface: each entry takes the library's lock, puts a reporter in place that
// keeps the command code's texts instead of printing them, runs the same procedures as
// the tool, and turns every way a call can end into a result code. No exception leaves
// this file.
#include "include/qp7730/qp7730.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "commands/commands.h"
#include "emu/display_modes.h"
#include "flash/flash_upgrade.h"
#include "image/dither.h"
#include "image/image.h"
#include "link/device_state.h"
#include "link/discovery.h"
#include "link/pipe.h"
#include "link/report.h"
#include "link/run_lock.h"

// What a handle remembers of the image buffer for changed-area updates. It holds the run
// lock, so only this handle writes the buffer; what the controller writes there itself
// (library pictures, an upgrade's staging) makes it forget.
struct ChangeMemory {
    bool on = false;
    std::vector<uint8_t> grey;   // the panel's image buffer as this handle last wrote it
    std::vector<uint8_t> known;  // 1 where `grey` is what the buffer holds
    // Written since the last refresh that covered it (w 0: nothing), also when off.
    PanelArea dirty{0, 0, 0, 0};
};

struct qp7730 {
    qp7730_info info;
    ChangeMemory changes;
    // Dithering of decoded pictures (qp7730_set_dither).
    Dither dither = Dither::kNone;
    uint32_t ditherLevels = 16;
};

namespace {

// Every call that touches the device state holds this lock.
std::mutex g_lock;
// The open controller (at most one: the device state is process-wide).
qp7730* g_open = nullptr;
// The thread inside a call, so that a call from the progress callback is turned away
// instead of waiting for itself.
std::atomic<std::thread::id> g_caller{};

// The texts of the running call, the first failure it told in words, and the message of
// the calling thread's last call.
thread_local std::string t_texts;
thread_local std::string t_explained;
thread_local std::string t_message;

void Collect(const char* text) { t_texts += text; }
void CollectExplanation(const char* text) {
    if (t_explained.empty()) t_explained = text;
}
const Reporter kCollector = {Collect, Collect, CollectExplanation};

// One line per text, without the console's carriage returns and blank lines.
std::string Tidy(const std::string& texts) {
    std::string out;
    size_t start = 0;
    while (start <= texts.size()) {
        size_t end = texts.find('\n', start);
        if (end == std::string::npos) end = texts.size();
        std::string line = texts.substr(start, end - start);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (!line.empty()) out += (out.empty() ? "" : "\n") + line;
        start = end + 1;
    }
    return out;
}

int CodeFor(RunError error) {
    switch (error) {
    case RunError::kRefused: return QP7730_ERR_ARGUMENT;
    case RunError::kBusy: return QP7730_ERR_BUSY;
    case RunError::kNoMemory: return QP7730_ERR_NO_MEMORY;
    case RunError::kFileUnreadable: return QP7730_ERR_FILE;
    case RunError::kNoPicture: return QP7730_ERR_PICTURE;
    case RunError::kFileRefused: return QP7730_ERR_FILE_REFUSED;
    case RunError::kNotSupported: return QP7730_ERR_UNSUPPORTED;
    case RunError::kNoSystemInfo: return QP7730_ERR_IO;
    }
    return QP7730_ERR_INTERNAL;
}

// A failure of the library's own, with its text.
struct Failure {
    int code;
    std::string text;
};

[[noreturn]] void Fail(int code, std::string text) { throw Failure{code, std::move(text)}; }

// Runs one call: serialised, silent, every exception turned into a code. `handle` is the
// handle the call is made on, or null for qp7730_open.
template <typename Body>
int Call(const qp7730* handle, bool needsHandle, Body body) {
    t_message.clear();
    if (g_caller.load() == std::this_thread::get_id()) {
        t_message = "a library call from inside the progress callback";
        return QP7730_ERR_BUSY;
    }
    std::lock_guard<std::mutex> lock(g_lock);
    g_caller.store(std::this_thread::get_id());
    const Reporter* previous = SetReporter(&kCollector);
    t_texts.clear();
    t_explained.clear();
    int code = QP7730_OK;
    std::string text;
    try {
        if (needsHandle && (handle == nullptr || handle != g_open)) Fail(QP7730_ERR_ARGUMENT, "not an open controller");
        code = body();
    } catch (const Failure& f) {
        code = f.code;
        text = f.text;
    } catch (const RunEnded& ended) {
        code = CodeFor(ended.Error);
    } catch (const std::bad_alloc&) {
        code = QP7730_ERR_NO_MEMORY;
    } catch (const std::exception& e) {
        code = QP7730_ERR_INTERNAL;
        text = e.what();
    } catch (...) {
        code = QP7730_ERR_INTERNAL;
    }
    SetReporter(previous);
    g_caller.store(std::thread::id{});
    // One message: the library's own words, then the failure told in words that caused
    // it; the tool's texts only when neither says anything (a refusal the tool explains).
    if (code != QP7730_OK) {
        if (!text.empty())
            t_message = t_explained.empty() ? text : text + ": " + t_explained;
        else
            t_message = !t_explained.empty() ? t_explained : Tidy(t_texts);
    }
    t_texts.clear();
    t_explained.clear();
    return code;
}

void CheckCorner(int32_t x, int32_t y) {
    if (x < 0 || y < 0) Fail(QP7730_ERR_ARGUMENT, "negative x or y");
}

// The QP7730_PIXELS_* layouts by number.
constexpr PixelLayout kLayouts[] = {PixelLayout::kGrey8, PixelLayout::kGrey8, PixelLayout::kRgb24,
                                    PixelLayout::kRgba32, PixelLayout::kBgr24, PixelLayout::kBgra32};
PixelLayout LayoutOf(int format) { return kLayouts[format]; }

void SetArea(qp7730_area* out, const PanelArea& a) {
    if (out) *out = {static_cast<int32_t>(a.x), static_cast<int32_t>(a.y), static_cast<int32_t>(a.w),
                     static_cast<int32_t>(a.h)};
}

// The smallest rectangle holding both (either may be empty).
PanelArea Union(const PanelArea& a, const PanelArea& b) {
    if (a.w == 0 || a.h == 0) return b;
    if (b.w == 0 || b.h == 0) return a;
    const uint32_t x = std::min(a.x, b.x), y = std::min(a.y, b.y);
    return {x, y, std::max(a.x + a.w, b.x + b.w) - x, std::max(a.y + a.h, b.y + b.h) - y};
}

// The controller wrote the image buffer itself: nothing of it is known any more, and all
// of it may differ from the panel.
void Forget(ChangeMemory& m) {
    std::fill(m.known.begin(), m.known.end(), 0);
    m.dirty = {0, 0, g_DeviceState.PanelWidth, g_DeviceState.PanelHeight};
}

// Sends pixels (rows `pitch` apart) to the rectangle at (X, Y), cut to the panel, as
// PlaceImageArea does; with changed-area updates on, only the smallest rectangle holding
// every pixel that differs from what the buffer is known to hold, and nothing when none
// does. *placed receives the rectangle sent (w 0 when nothing was).
bool Place(qp7730& h, const uint8_t* pixels, size_t pitch, int32_t X, int32_t Y, int32_t W, int32_t H,
           PanelArea* placed) {
    ChangeMemory& m = h.changes;
    if (!m.on) {
        const bool sent = PlaceImageArea(pixels, pitch, X, Y, W, H, placed);
        m.dirty = Union(m.dirty, *placed);
        return sent;
    }
    PanelArea a{};
    if (!ClipAreaToPanel(X, Y, W, H, a)) {
        *placed = {a.x, a.y, 0, 0};
        return true;
    }
    const size_t Pw = g_DeviceState.PanelWidth;
    uint32_t top = a.h, bottom = 0, left = a.w, right = 0;
    for (uint32_t r = 0; r < a.h; ++r) {
        const uint8_t* row = pixels + r * pitch;
        const size_t at = (a.y + r) * Pw + a.x;
        const uint8_t *grey = m.grey.data() + at, *known = m.known.data() + at;
        uint32_t first = 0, last = a.w;
        while (first < a.w && known[first] && grey[first] == row[first]) ++first;
        if (first == a.w) continue;
        while (known[last - 1] && grey[last - 1] == row[last - 1]) --last;
        top = std::min(top, r), bottom = r;
        left = std::min(left, first), right = std::max(right, last - 1);
    }
    if (top == a.h) {
        *placed = {a.x, a.y, 0, 0};
        return true;
    }
    const PanelArea c{a.x + left, a.y + top, right - left + 1, bottom - top + 1};
    // Unknown while on its way (a transfer cut short leaves it so); changed either way.
    for (uint32_t r = 0; r < c.h; ++r) std::memset(m.known.data() + (c.y + r) * Pw + c.x, 0, c.w);
    m.dirty = Union(m.dirty, c);
    const uint8_t* first = pixels + top * pitch + left;
    const bool sent = PlaceImageArea(first, pitch, static_cast<int32_t>(c.x), static_cast<int32_t>(c.y),
                                     static_cast<int32_t>(c.w), static_cast<int32_t>(c.h), placed);
    if (sent) {
        for (uint32_t r = 0; r < c.h; ++r) {
            std::memcpy(m.grey.data() + (c.y + r) * Pw + c.x, first + r * pitch, c.w);
            std::memset(m.known.data() + (c.y + r) * Pw + c.x, 1, c.w);
        }
    }
    return sent;
}

// A qp7730_fit checked, as the decode step takes it, with the placement's own values.
struct Fit {
    FitOptions options;
    int clear = -1;           // grey for the rest of the panel, or -1
    uint32_t boxW = 0, boxH = 0;  // contain and cover: the box at (x, y), cut to the panel
};

Fit CheckFit(const qp7730_fit* given, int32_t x, int32_t y, bool files) {
    CheckCorner(x, y);
    Fit fit;
    if (given == nullptr) return fit;
    switch (given->fit) {
    case QP7730_FIT_STRETCH: fit.options.mode = FitMode::kStretch; break;
    case QP7730_FIT_CONTAIN: fit.options.mode = FitMode::kContain; break;
    case QP7730_FIT_COVER: fit.options.mode = FitMode::kCover; break;
    default: Fail(QP7730_ERR_ARGUMENT, "unknown fit " + std::to_string(given->fit));
    }
    if (given->orient & ~(QP7730_ORIENT_EXIF | QP7730_ORIENT_ROTATE_270 | QP7730_ORIENT_MIRROR))
        Fail(QP7730_ERR_ARGUMENT, "unknown orient bits in " + std::to_string(given->orient));
    fit.options.orient = files && (given->orient & QP7730_ORIENT_EXIF) != 0;
    fit.options.quarterTurns = static_cast<uint32_t>(given->orient & QP7730_ORIENT_ROTATE_270) / 2;
    fit.options.mirror = (given->orient & QP7730_ORIENT_MIRROR) != 0;
    if (given->clear > 255) Fail(QP7730_ERR_ARGUMENT, "clear grey " + std::to_string(given->clear) + " above 255");
    fit.clear = given->clear < 0 ? -1 : given->clear;
    if (given->width < 0 || given->height < 0) Fail(QP7730_ERR_ARGUMENT, "negative box width or height");
    const uint32_t Pw = g_DeviceState.PanelWidth, Ph = g_DeviceState.PanelHeight;
    const bool boxed = fit.options.mode != FitMode::kStretch;
    if ((boxed || fit.clear >= 0) && (static_cast<uint32_t>(x) >= Pw || static_cast<uint32_t>(y) >= Ph))
        Fail(QP7730_ERR_ARGUMENT, "(" + std::to_string(x) + ", " + std::to_string(y) + ") is off the panel of " +
                                      std::to_string(Pw) + " x " + std::to_string(Ph));
    if (boxed) {
        const uint32_t roomW = Pw - static_cast<uint32_t>(x), roomH = Ph - static_cast<uint32_t>(y);
        fit.boxW = given->width == 0 ? roomW : std::min(static_cast<uint32_t>(given->width), roomW);
        fit.boxH = given->height == 0 ? roomH : std::min(static_cast<uint32_t>(given->height), roomH);
        fit.options.boxWidth = fit.boxW;
        fit.options.boxHeight = fit.boxH;
    }
    return fit;
}

// The picture a decode step left in HostImageBuffer, sent to (x, y) as `fit` places it:
// contain centres it in its box and fills the rest of the box, a clear grey fills the
// rest of the panel; the rectangle written then is the box or the panel.
int PlaceDecoded(qp7730& handle, int32_t x, int32_t y, const Fit& fit, qp7730_area* loaded) {
    const uint32_t w = g_DeviceState.LoadedWidth, h = g_DeviceState.LoadedHeight;
    g_DeviceState.LoadedWidth = g_DeviceState.LoadedHeight = 0;
    DitherToLevels(g_DeviceState.HostImageBuffer, w, h, w, handle.dither, handle.ditherLevels);
    uint32_t px = static_cast<uint32_t>(x), py = static_cast<uint32_t>(y);
    if (fit.options.mode == FitMode::kContain) px += (fit.boxW - w) / 2, py += (fit.boxH - h) / 2;
    PanelArea placed{};
    const uint8_t* picture = g_DeviceState.HostImageBuffer;
    const bool around = fit.clear >= 0 || (fit.options.mode == FitMode::kContain && (w != fit.boxW || h != fit.boxH));
    if (!around) {
        const bool sent = Place(handle, picture, w, static_cast<int32_t>(px), static_cast<int32_t>(py),
                                static_cast<int32_t>(w), static_cast<int32_t>(h), &placed);
        SetArea(loaded, placed);
        return sent ? QP7730_OK : QP7730_ERR_IO;
    }
    // The region written, on the panel: the whole panel, or contain's box.
    const bool panel = fit.clear >= 0;
    const uint32_t rx = panel ? 0 : static_cast<uint32_t>(x), ry = panel ? 0 : static_cast<uint32_t>(y);
    const uint32_t rw = panel ? g_DeviceState.PanelWidth : fit.boxW, rh = panel ? g_DeviceState.PanelHeight : fit.boxH;
    std::vector<uint8_t> region(size_t{rw} * rh, static_cast<uint8_t>(fit.clear >= 0 ? fit.clear : 255));
    const uint32_t cw = px >= rx + rw ? 0 : std::min(w, rx + rw - px), ch = py >= ry + rh ? 0 : std::min(h, ry + rh - py);
    for (uint32_t r = 0; r < ch; ++r)
        std::memcpy(region.data() + size_t{py - ry + r} * rw + (px - rx), picture + size_t{r} * w, cw);
    const bool sent = Place(handle, region.data(), rw, static_cast<int32_t>(rx), static_cast<int32_t>(ry),
                            static_cast<int32_t>(rw), static_cast<int32_t>(rh), &placed);
    SetArea(loaded, placed);
    return sent ? QP7730_OK : QP7730_ERR_IO;
}

// The number of display modes the controller says it has (16 when it does not say).
unsigned DisplayModes() {
    const uint32_t reported = g_DeviceState.SystemInfo[kSysInfoDisplayModes];
    return reported >= 1 && reported <= 256 ? reported : 16;
}

void CheckMode(int mode) {
    const unsigned modes = DisplayModes();
    if (mode < 0 || static_cast<unsigned>(mode) >= modes)
        Fail(QP7730_ERR_ARGUMENT, std::string(mode < 0 ? "a negative display mode, " : "display mode ") +
                                      std::to_string(mode) + ": the controller has modes 0 to " +
                                      std::to_string(modes - 1));
}

// Refreshes the rectangle (on the panel); what was written inside it is then shown.
int Refresh(qp7730& h, const PanelArea& a, int mode, int wait) {
    CheckMode(mode);
    if (!DisplayArea(a.x, a.y, a.w, a.h, static_cast<uint32_t>(mode), ImageBufferAddress(), wait ? 1 : 0))
        return QP7730_ERR_IO;
    const PanelArea& d = h.changes.dirty;
    if (d.x >= a.x && d.y >= a.y && d.x + d.w <= a.x + a.w && d.y + d.h <= a.y + a.h) h.changes.dirty = {0, 0, 0, 0};
    return QP7730_OK;
}

// The checks common to the picture loads of caller memory.
void CheckPicture(const void* pixels, int32_t width, int32_t height, size_t stride, int format) {
    if (format < QP7730_PIXELS_GREY8 || format > QP7730_PIXELS_BGRA32) Fail(QP7730_ERR_ARGUMENT, "unknown pixel format");
    if (pixels == nullptr || width <= 0 || height <= 0) Fail(QP7730_ERR_ARGUMENT, "no pixels");
    if (stride / PixelBytes(LayoutOf(format)) < static_cast<size_t>(width))
        Fail(QP7730_ERR_ARGUMENT, "row stride shorter than a row");
}


void CopyText(char (&to)[17], const uint8_t (&from)[16]) {
    std::memcpy(to, from, 16);
    to[16] = '\0';
}

// Reads the two version texts. They pass through the first 16 bytes of the image
// buffer, whose content is put back afterwards.
void ReadVersions(qp7730_info& info) {
    uint8_t saved[16], text[16] = {};
    const bool kept = ReadMemoryInFull(ImageBufferAddress(), sizeof saved, saved);
    if (ReadFlashText(kFwVersionFlashAddress, text)) CopyText(info.firmware_version, text);
    std::memset(text, 0, sizeof text);
    if (ReadFlashText(kLutVersionFlashAddress, text)) CopyText(info.lut_version, text);
    if (kept) WriteMemory(ImageBufferAddress(), sizeof saved, saved);
}

int Opened(const char* route, int lockWaitSeconds, const volatile int* cancel, qp7730** controller);

// Open, leaving nothing open and no lock held when it fails in any way, and the caller's
// cancel flag no longer looked at once it returns.
int OpenOrNothing(const char* route, int lockWaitSeconds, const volatile int* cancel, qp7730** controller) {
    if (g_open != nullptr) Fail(QP7730_ERR_BUSY, "a controller is already open in this process");
    try {
        const int code = Opened(route, lockWaitSeconds, cancel, controller);
        SetRunLockCancel(nullptr);
        return code;
    } catch (...) {
        ResetDeviceState();
        throw;
    }
}

int Opened(const char* route, int lockWaitSeconds, const volatile int* cancel, qp7730** controller) {
    ResetDeviceState();
    SetRunLockWait(lockWaitSeconds);  // also the bound of the USB route's claim during the search
    SetRunLockCancel(cancel);
    const bool named = route != nullptr && route[0] != '\0';
    if (named && std::strncmp(route, "usb", 3) == 0 && (route[3] == '\0' || route[3] == ':') && !UsbRouteBuilt())
        Fail(QP7730_ERR_UNSUPPORTED, "this build has no USB route");
    switch (StartDevice(StartRules{route, true})) {
    case StartOutcome::kStarted: break;
    case StartOutcome::kNotFound:
        if (RunLockWaitCancelled()) Fail(QP7730_ERR_BUSY, "waiting for the controller was cancelled");
        // The search's lines for every drive letter say no more than this.
        t_texts.clear();
        t_explained.clear();
        Fail(QP7730_ERR_NOT_FOUND, named ? std::string("no controller at ") + route
                                         : "no controller on USB, at the emulator address " + EmulatorSocketPath() +
                                               " or behind the drives");
    case StartOutcome::kNoSystemInfo: Fail(QP7730_ERR_IO, "the controller's system information was not read");
    case StartOutcome::kNoImageBuffer: Fail(QP7730_ERR_NO_MEMORY, "Image buffer allocate failed!");
    }
    t_texts.clear();  // the panel lines of start-up are the information below

    auto handle = std::make_unique<qp7730>();
    qp7730_info& info = handle->info;
    info.panel_width = g_DeviceState.PanelWidth;
    info.panel_height = g_DeviceState.PanelHeight;
    info.image_buffer_address = ImageBufferAddress();
    info.waveform_address = g_DeviceState.SystemInfo[kSysInfoWaveformAddress];
    std::snprintf(info.location, sizeof info.location, "%s", DeviceLocation().c_str());
    ReadVersions(info);
    g_open = handle.release();
    *controller = g_open;
    return QP7730_OK;
}

template <size_t N>
void CopyField(char (&to)[N], const std::string& from) {
    std::snprintf(to, N, "%s", from.c_str());
}

// The caller's progress callback for the length of an upgrade. The flash operations take
// a plain function, so the callback and its data are held here (one upgrade at a time,
// under the library's lock).
qp7730_progress_fn g_progress = nullptr;
void* g_progressData = nullptr;

void ForwardProgress(const char* phase, uint32_t done, uint32_t total) {
    if (g_progress) g_progress(g_progressData, phase, done, total);
}

struct ProgressScope {
    ProgressScope(qp7730_progress_fn progress, void* data) {
        g_progress = progress;
        g_progressData = data;
        SetFlashProgress(ForwardProgress);
    }
    ~ProgressScope() {
        SetFlashProgress(nullptr);
        g_progress = nullptr;
        g_progressData = nullptr;
    }
};

}  // namespace

extern "C" {

int qp7730_version(void) { return QP7730_VERSION; }

const char* qp7730_strerror(int code) {
    switch (code) {
    case QP7730_OK: return "success";
    case QP7730_ERR_ARGUMENT: return "invalid argument";
    case QP7730_ERR_NOT_FOUND: return "controller not found";
    case QP7730_ERR_BUSY: return "controller busy";
    case QP7730_ERR_IO: return "command to the controller failed";
    case QP7730_ERR_FILE: return "file cannot be read";
    case QP7730_ERR_PICTURE: return "no picture";
    case QP7730_ERR_FILE_REFUSED: return "upgrade file refused";
    case QP7730_ERR_UNSUPPORTED: return "not supported";
    case QP7730_ERR_NO_MEMORY: return "out of memory";
    case QP7730_ERR_VERIFY: return "flash verification failed";
    case QP7730_ERR_INTERNAL: return "internal error";
    default: return "unknown error";
    }
}

const char* qp7730_last_message(void) { return t_message.c_str(); }

int qp7730_open(const char* route, int lock_wait_seconds, qp7730** controller) {
    return qp7730_open_cancellable(route, lock_wait_seconds, nullptr, controller);
}

int qp7730_open_cancellable(const char* route, int lock_wait_seconds, const volatile int* cancel,
                            qp7730** controller) {
    if (controller == nullptr) {
        t_message = "no place for the handle";
        return QP7730_ERR_ARGUMENT;
    }
    *controller = nullptr;
    return Call(nullptr, false, [&] { return OpenOrNothing(route, lock_wait_seconds, cancel, controller); });
}

int qp7730_list(qp7730_entry* entries, unsigned capacity, unsigned* count) {
    if (count == nullptr) {
        t_message = "no place for the count";
        return QP7730_ERR_ARGUMENT;
    }
    *count = 0;
    if (entries == nullptr && capacity > 0) {
        t_message = "no place for the entries";
        return QP7730_ERR_ARGUMENT;
    }
    return Call(nullptr, false, [&] {
        const std::vector<ControllerEntry> found = ListControllers();
        for (size_t i = 0; i < found.size() && i < capacity; ++i) {
            const ControllerEntry& e = found[i];
            qp7730_entry& out = entries[i];
            std::memset(&out, 0, sizeof out);
            CopyField(out.route, e.Route);
            CopyField(out.kind, e.Kind);
            out.usb_bus = e.UsbBus;
            CopyField(out.usb_port, e.UsbPort);
            CopyField(out.drive, e.Drive);
            CopyField(out.identity, e.Identity);
        }
        *count = static_cast<unsigned>(found.size());
        return QP7730_OK;
    });
}

int qp7730_close(qp7730* controller) {
    if (controller == nullptr) {
        t_message.clear();
        return QP7730_OK;
    }
    return Call(controller, true, [&] {
        ResetDeviceState();
        g_open = nullptr;
        delete controller;
        return QP7730_OK;
    });
}

int qp7730_get_info(qp7730* controller, qp7730_info* info) {
    return Call(controller, true, [&] {
        if (info == nullptr) Fail(QP7730_ERR_ARGUMENT, "no place for the information");
        *info = controller->info;
        return QP7730_OK;
    });
}

int qp7730_load_file(qp7730* controller, const char* path, int32_t x, int32_t y, qp7730_area* loaded) {
    return qp7730_load_file_fit(controller, path, x, y, nullptr, loaded);
}

int qp7730_load_file_fit(qp7730* controller, const char* path, int32_t x, int32_t y, const qp7730_fit* fit,
                         qp7730_area* loaded) {
    return Call(controller, true, [&] {
        if (path == nullptr) Fail(QP7730_ERR_ARGUMENT, "no file name");
        const Fit checked = CheckFit(fit, x, y, true);
        DecodeImageToGrey(path, checked.options);
        return PlaceDecoded(*controller, x, y, checked, loaded);
    });
}

int qp7730_load_encoded(qp7730* controller, const void* data, size_t size, int32_t x, int32_t y,
                        const qp7730_fit* fit, qp7730_area* loaded) {
    return Call(controller, true, [&] {
        if (data == nullptr && size > 0) Fail(QP7730_ERR_ARGUMENT, "no bytes");
        const Fit checked = CheckFit(fit, x, y, true);
        DecodeBytesToGrey(static_cast<const uint8_t*>(data), size, checked.options);
        return PlaceDecoded(*controller, x, y, checked, loaded);
    });
}

int qp7730_load_picture(qp7730* controller, const void* pixels, int32_t width, int32_t height, size_t stride,
                        int format, int32_t x, int32_t y, qp7730_area* loaded) {
    return qp7730_load_picture_fit(controller, pixels, width, height, stride, format, x, y, nullptr, loaded);
}

int qp7730_load_picture_fit(qp7730* controller, const void* pixels, int32_t width, int32_t height, size_t stride,
                            int format, int32_t x, int32_t y, const qp7730_fit* fit, qp7730_area* loaded) {
    return Call(controller, true, [&] {
        CheckPicture(pixels, width, height, stride, format);
        const Fit checked = CheckFit(fit, x, y, false);
        DecodePixelsToGrey(static_cast<const uint8_t*>(pixels), static_cast<uint32_t>(width),
                           static_cast<uint32_t>(height), stride, LayoutOf(format), checked.options);
        return PlaceDecoded(*controller, x, y, checked, loaded);
    });
}

int qp7730_load_pixels(qp7730* controller, const uint8_t* pixels, int32_t width, int32_t height, size_t stride,
                       int32_t x, int32_t y, qp7730_area* loaded) {
    return Call(controller, true, [&] {
        if (pixels == nullptr) Fail(QP7730_ERR_ARGUMENT, "no pixels");
        if (width > 0 && stride < static_cast<size_t>(width)) Fail(QP7730_ERR_ARGUMENT, "row stride shorter than a row");
        PanelArea placed{};
        const bool sent = Place(*controller, pixels, stride, x, y, width, height, &placed);
        SetArea(loaded, placed);
        return sent ? QP7730_OK : QP7730_ERR_IO;
    });
}

int qp7730_fill(qp7730* controller, int32_t x, int32_t y, int32_t width, int32_t height, uint8_t grey) {
    return Call(controller, true, [&] {
        ChangeMemory& m = controller->changes;
        PanelArea a{};
        if (!ClipAreaToPanel(x, y, width, height, a)) return QP7730_OK;
        if (!m.on) {
            m.dirty = Union(m.dirty, a);
            return FillImageArea(grey, x, y, width, height) ? QP7730_OK : QP7730_ERR_IO;
        }
        const std::vector<uint8_t> fill(size_t{a.w} * a.h, grey);
        PanelArea placed{};
        return Place(*controller, fill.data(), a.w, x, y, static_cast<int32_t>(a.w), static_cast<int32_t>(a.h), &placed)
                   ? QP7730_OK
                   : QP7730_ERR_IO;
    });
}

int qp7730_set_dither(qp7730* controller, int method, int mode) {
    return Call(controller, true, [&] {
        if (method < QP7730_DITHER_NONE || method > QP7730_DITHER_DIFFUSION)
            Fail(QP7730_ERR_ARGUMENT, "unknown dithering " + std::to_string(method));
        CheckMode(mode);
        // The levels the mode shows (emu/display_modes.h: 16, 2, or 0 for a mode that
        // shows white, which needs none); a mode the table lacks is taken as 16 levels.
        const DisplayMode* known = FindDisplayMode(static_cast<uint32_t>(mode));
        const uint32_t levels = known ? known->levels : 16;
        controller->dither = method == QP7730_DITHER_NONE || levels == 0 ? Dither::kNone
                             : method == QP7730_DITHER_ORDERED           ? Dither::kOrdered
                                                                         : Dither::kDiffusion;
        controller->ditherLevels = levels;
        return QP7730_OK;
    });
}

int qp7730_changes_only(qp7730* controller, int on) {
    return Call(controller, true, [&] {
        ChangeMemory& m = controller->changes;
        if (on && !m.on) {
            const size_t n = size_t{g_DeviceState.PanelWidth} * g_DeviceState.PanelHeight;
            m.grey.assign(n, 0);
            m.known.assign(n, 0);  // nothing is known of what is there before
        } else if (!on) {
            std::vector<uint8_t>().swap(m.grey);
            std::vector<uint8_t>().swap(m.known);
        }
        m.on = on != 0;
        return QP7730_OK;
    });
}

int qp7730_display_modes(qp7730* controller, unsigned* count) {
    return Call(controller, true, [&] {
        if (count == nullptr) Fail(QP7730_ERR_ARGUMENT, "no place for the count");
        *count = DisplayModes();
        return QP7730_OK;
    });
}

int qp7730_display(qp7730* controller, int32_t x, int32_t y, int32_t width, int32_t height, int mode, int wait) {
    return Call(controller, true, [&] {
        // Clipped like the loads, never moved: a refresh never lands where it was not asked.
        PanelArea a{};
        if (!ClipAreaToPanel(x, y, width, height, a))
            Fail(QP7730_ERR_ARGUMENT, "the rectangle at (" + std::to_string(x) + ", " + std::to_string(y) +
                                          ") has no pixel on the panel of " + std::to_string(g_DeviceState.PanelWidth) +
                                          " x " + std::to_string(g_DeviceState.PanelHeight));
        return Refresh(*controller, a, mode, wait);
    });
}

int qp7730_display_changes(qp7730* controller, int mode, int wait, qp7730_area* refreshed) {
    return Call(controller, true, [&] {
        if (refreshed) *refreshed = {0, 0, 0, 0};
        const PanelArea a = controller->changes.dirty;
        CheckMode(mode);
        if (a.w == 0 || a.h == 0) return QP7730_OK;
        const int code = Refresh(*controller, a, mode, wait);
        if (code == QP7730_OK) SetArea(refreshed, a);
        return code;
    });
}

int qp7730_power(qp7730* controller, int power, int vcom, unsigned* vcom_reported) {
    return Call(controller, true, [&] {
        if (power < 0 && vcom < 0) Fail(QP7730_ERR_ARGUMENT, "neither power nor VCOM given");
        if (power > 255) Fail(QP7730_ERR_ARGUMENT, "power state above 255");
        if (vcom > 65535) Fail(QP7730_ERR_ARGUMENT, "VCOM above 65535");
        PMICctrl stPMICctrl{};
        if (vcom >= 0) {
            stPMICctrl.Vcom = static_cast<uint16_t>(vcom);
            stPMICctrl.SetVcom = 2;
        }
        if (power >= 0) {
            stPMICctrl.SwitchPower = 1;
            stPMICctrl.PowerState = static_cast<uint8_t>(power);
        }
        if (!PmicControl(stPMICctrl)) return QP7730_ERR_IO;
        if (vcom_reported) *vcom_reported = stPMICctrl.Vcom;
        return QP7730_OK;
    });
}

int qp7730_library_list(qp7730* controller, qp7730_library_image* images, unsigned capacity, unsigned* count) {
    return Call(controller, true, [&] {
        if (count == nullptr) Fail(QP7730_ERR_ARGUMENT, "no place for the count");
        if (images == nullptr && capacity > 0) Fail(QP7730_ERR_ARGUMENT, "no place for the pictures");
        *count = 0;
        ImgLibHeader header{};
        bool complete = false;
        GetImageLibHeader(&header, &complete);
        if (!complete) return QP7730_ERR_IO;
        const unsigned listed = std::min({unsigned{header.NumImg}, capacity, unsigned{QP7730_LIBRARY_LIST_MAX}});
        if (listed > 0) {
            std::vector<ImgListEntry> entries(listed);
            GetImageList(static_cast<uint8_t>(listed), entries.data(), &complete);
            if (!complete) return QP7730_ERR_IO;
            for (unsigned i = 0; i < listed; ++i) {
                const ImgListEntry& e = entries[i];
                images[i] = {e.Index, e.Nbpp, e.ImageW, e.ImageH, e.ImgDataOffset};
            }
        }
        *count = header.NumImg;
        return QP7730_OK;
    });
}

int qp7730_library_load(qp7730* controller, uint16_t index, uint16_t word1, uint16_t word2, uint16_t word3,
                        uint16_t width, uint16_t height) {
    return Call(controller, true, [&] {
        Forget(controller->changes);
        return LoadLibraryImage(index, word1, word2, word3, width, height) ? QP7730_OK : QP7730_ERR_IO;
    });
}

int qp7730_library_load_many(qp7730* controller, const uint16_t* groups, unsigned n) {
    return Call(controller, true, [&] {
        if (groups == nullptr && n > 0) Fail(QP7730_ERR_ARGUMENT, "no groups");
        if (n > QP7730_LIBRARY_LOAD_MAX) Fail(QP7730_ERR_ARGUMENT, "more pictures than one request carries");
        // The command converts its array in place; the caller's stays as it is.
        std::vector<uint16_t> group(1 + 3 * size_t{n});
        group[0] = static_cast<uint16_t>(n);
        if (n > 0) std::memcpy(group.data() + 1, groups, 3 * size_t{n} * sizeof(uint16_t));
        Forget(controller->changes);
        return LoadLibraryImages(group.data(), static_cast<uint16_t>(n)) ? QP7730_OK : QP7730_ERR_IO;
    });
}

int qp7730_upgrade(qp7730* controller, int type, const char* path, qp7730_progress_fn progress, void* user_data) {
    return Call(controller, true, [&] {
        if (path == nullptr) Fail(QP7730_ERR_ARGUMENT, "no file name");
        const ProgressScope scope(progress, user_data);
        Forget(controller->changes);  // the upgrade stages its pieces in the image buffer
        switch (UpgradeFlash(type, path)) {
        case UpgradeOutcome::kDone: return QP7730_OK;
        case UpgradeOutcome::kFailed: return QP7730_ERR_VERIFY;
        }
        return QP7730_ERR_INTERNAL;
    });
}

}  // extern "C"
