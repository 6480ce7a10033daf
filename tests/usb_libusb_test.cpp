// The libusb route against devices of a umockdev test bed whose bulk pipes are served by
// the emulator's controller model: discovery, both data directions, a whole picture
// through the library, and the recovery of timed-out and stalled transfers.
#include <gtest/gtest.h>
#include <libusb.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/dispatcher.h"
#include "commands/commands.h"
#include "image/image.h"
#include "link/device_state.h"
#include "link/pipe.h"
#include "link/system_records.h"
#include "tests/support/picture_files.h"
#include "tests/support/scripted_pipe.h"
#include "tests/support/usb_testbed.h"

namespace {

constexpr uint32_t kPanelW = 320;
constexpr uint32_t kPanelH = 240;
constexpr uint32_t kImageBuffer = 0x10000;

emu::ModelConfig SmallController(const char* identity = kControllerIdentity, uint32_t width = kPanelW) {
    emu::ModelConfig c;
    c.panelWidth = width;
    c.panelHeight = kPanelH;
    c.imageBufferAddress = kImageBuffer;
    c.memoryMiB = 1;
    c.identity = identity;
    return c;
}

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 31 + seed + i / 251);
    return v;
}

// What this process has open: a route that finds nothing, and one that has been closed,
// leave this as it was (no device node, no descriptor of a libusb context).
std::vector<std::string> OpenFiles() {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        files.push_back(entry.path().filename().string() + " " + std::filesystem::read_symlink(entry, error).string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

// The test bed's end of a closed node goes away on its own thread: allow it a moment.
std::vector<std::string> OpenFilesOnceSettled(const std::vector<std::string>& expected) {
    std::vector<std::string> files = OpenFiles();
    for (int i = 0; i < 200 && files != expected; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        files = OpenFiles();
    }
    return files;
}

// True when the open device is the libusb route's.
bool UsbRouteOpen() {
    const auto* device = static_cast<const PipeDevice*>(g_DeviceState.hDevice);
    return g_DeviceState.TransportKind == kTransportBulkOnly && device != nullptr &&
           device->Backend == &kUsbPipeBackend;
}

class UsbRouteTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(UsbTestBed::Usable()) << "run this program under umockdev-wrapper";
        ResetDeviceState();
        CollectFailures();
    }
    void TearDown() override {
        ResetDeviceState();
        SetPipeBackends(nullptr, 0);
        StopCollectingFailures();
    }

    // Start-up with the USB route alone; the controller must be found on it.
    void StartOnUsb() {
        static const PipeBackend* const routes[] = {&kUsbPipeBackend};
        SetPipeBackends(routes, 1);
        testing::internal::CaptureStdout();
        StartDevice();
        testing::internal::GetCapturedStdout();
        ASSERT_TRUE(UsbRouteOpen());
    }

    UsbTestBed bed;  // outlives TearDown: closing the device still talks to it
};

// ---- discovery ------------------------------------------------------------------

struct DiscoveryCase {
    const char* name;
    UsbDeviceLayout device;
    const char* identity;
    bool found;
    std::vector<std::string> requests;  // what the device saw up to start-up's end
};

void PrintTo(const DiscoveryCase& c, std::ostream* os) { *os << c.name; }

class UsbDiscoveryTest : public UsbRouteTest, public ::testing::WithParamInterface<DiscoveryCase> {};

// Start-up tries the USB route first (reset recovery before its first command, for a
// device a killed run left in the middle of one); when it finds nothing it says nothing,
// leaves nothing open, and the next route serves.
TEST_P(UsbDiscoveryTest, FoundOrSilentlyPassedOver) {
    const DiscoveryCase& c = GetParam();
    bed.AddDevice(c.device, SmallController(c.identity));
    ScriptedPipe next;
    next.ActAsController(kControllerIdentity, {0, 0, 0, 0, 800, 600, 0, 0x12000});
    const PipeBackend* routes[] = {&kUsbPipeBackend, &ScriptedPipe::kBackend};
    SetPipeBackends(routes, 2);

    const std::vector<std::string> before = OpenFiles();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    StartDevice();
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string out = testing::internal::GetCapturedStdout();

    EXPECT_EQ(err, "");
    EXPECT_TRUE(CollectedFailures().empty());
    EXPECT_EQ(bed.Requests(0), c.requests);
    if (c.found) {
        EXPECT_TRUE(UsbRouteOpen());
        EXPECT_EQ(out, "Panel width = 320\nPanel height = 240\nImage Buffer Address = 0x10000\n");
        EXPECT_TRUE(next.events.empty());
        ResetDeviceState();
        std::vector<std::string> closed = c.requests;
        closed.push_back("release 0");
        if (c.device.kernelDriver) closed.push_back("connect 0");  // given back
        EXPECT_EQ(bed.Requests(0), closed);
    } else {
        EXPECT_FALSE(UsbRouteOpen());
        EXPECT_EQ(out, "Panel width = 800\nPanel height = 600\nImage Buffer Address = 0x12000\n");
    }
    EXPECT_EQ(OpenFilesOnceSettled(before), before);
}

UsbDeviceLayout WithIds(uint16_t vendor, uint16_t product) {
    UsbDeviceLayout s;
    s.vendor = vendor;
    s.product = product;
    return s;
}
UsbDeviceLayout WithPipes(uint8_t out, uint8_t in) {
    UsbDeviceLayout s;
    s.outEndpoint = out;
    s.inEndpoint = in;
    return s;
}
UsbDeviceLayout HeldBy(const char* driver) {
    UsbDeviceLayout s;
    s.kernelDriver = driver;
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Devices, UsbDiscoveryTest,
    ::testing::Values(
        DiscoveryCase{"controller", {}, kControllerIdentity, true, {"getdriver 0", "claim 0", "reset 0", "clear-halt 0x81", "clear-halt 0x02"}},
        DiscoveryCase{"other_vendor", WithIds(0x3a7d, 0x7730), kControllerIdentity, false, {}},
        DiscoveryCase{"other_product", WithIds(0x3a7c, 0x7731), kControllerIdentity, false, {}},
        DiscoveryCase{"no_bulk_pipes_0x02_0x81", WithPipes(0x01, 0x82), kControllerIdentity, false, {}},
        // The mass-storage driver lets go of it for the run (no disk of it is recorded here).
        DiscoveryCase{"held_by_kernel_driver", HeldBy("usb-storage"), kControllerIdentity, true,
                      {"getdriver 0", "getdriver 0", "disconnect 0", "claim 0", "reset 0", "clear-halt 0x81", "clear-halt 0x02"}},
        DiscoveryCase{"other_identity", {}, "Generic Storage RamDisc 1.01", false,
                      {"getdriver 0", "claim 0", "reset 0", "clear-halt 0x81", "clear-halt 0x02", "release 0"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UsbRouteTest, OfTwoControllersTheFirstInLibusbsListIsUsed) {
    bed.AddDevice({}, SmallController(kControllerIdentity, 320));
    bed.AddDevice({}, SmallController(kControllerIdentity, 640));

    // Which one libusb lists first, asked of libusb itself.
    libusb_context* context = nullptr;
    ASSERT_EQ(libusb_init(&context), 0);
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    ASSERT_EQ(count, 2);
    const size_t first = libusb_get_bus_number(list[0]) == bed.BusNumber(0) ? 0 : 1;
    libusb_free_device_list(list, 1);
    libusb_exit(context);

    StartOnUsb();
    EXPECT_EQ(g_DeviceState.PanelWidth, first == 0 ? 320u : 640u);
    EXPECT_EQ(bed.Requests(first), (std::vector<std::string>{"getdriver 0", "claim 0", "reset 0", "clear-halt 0x81", "clear-halt 0x02"}));
    EXPECT_TRUE(bed.Requests(1 - first).empty());
}

// Of two controllers, one held by another run, the free one is used at once, whichever
// libusb lists first; the held one is not waited for.
TEST_F(UsbRouteTest, OfTwoControllersTheOneThatCanBeClaimedIsUsed) {
    bed.AddDevice({}, SmallController(kControllerIdentity, 320));
    bed.AddDevice({}, SmallController(kControllerIdentity, 640));
    for (size_t held = 0; held < 2; ++held) {
        SCOPED_TRACE(held);
        ResetDeviceState();
        bed.ClaimedElsewhere(held, 1 << 30);
        bed.ClaimedElsewhere(1 - held, 0);
        testing::internal::CaptureStderr();
        StartOnUsb();
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(g_DeviceState.PanelWidth, held == 0 ? 640u : 320u);
    }
    bed.ClaimedElsewhere(0, 0);
    bed.ClaimedElsewhere(1, 0);
}

// Every controller on the bus is listed by its place, nothing sent to it; each entry's
// route opens that one and no other.
TEST_F(UsbRouteTest, ListedControllersOpenByTheirRoutes) {
    bed.AddDevice({}, SmallController(kControllerIdentity, 320));
    bed.AddDevice({}, SmallController(kControllerIdentity, 640));
    bed.AddDevice(WithIds(0x3a7c, 0x7731), SmallController());
    const std::vector<ControllerEntry> listed = ListControllers();
    ASSERT_EQ(listed.size(), 2u);
    for (size_t i = 0; i < 2; ++i) EXPECT_TRUE(bed.Requests(i).empty());
    for (const ControllerEntry& e : listed) {
        SCOPED_TRACE(e.Route);
        EXPECT_EQ(e.Kind, "usb");
        EXPECT_EQ(e.Route, "usb:" + std::to_string(e.UsbBus) + (e.UsbPort.empty() ? "" : "-" + e.UsbPort));
        ResetDeviceState();
        testing::internal::CaptureStdout();
        const StartOutcome outcome = StartDevice(StartRules{e.Route.c_str(), true});
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(outcome, StartOutcome::kStarted);
        EXPECT_EQ(g_DeviceState.PanelWidth, e.UsbBus == bed.BusNumber(0) ? 320u : 640u);
    }
    ResetDeviceState();
    EXPECT_FALSE(FindDeviceAt("usb:9"));
}

// usb-storage holds the controller: the route takes the interface for the run and gives
// it back at the end, but leaves it while a filesystem of its disk is mounted (saying
// why, and the next route serves) and waits while a run on the drive route holds the
// disk's flock. What the system records (sysfs, mountinfo, locks) is a folder of the test.
TEST_F(UsbRouteTest, UsbStorageIsDetachedForTheRunUnlessItsDiskIsInUse) {
    namespace fs = std::filesystem;
    const fs::path root = fs::path(testing::TempDir()) / ("qp7730-root-" + std::to_string(getpid()));
    const fs::path disk = root / "sys/bus/usb/devices/1-1/1-1:1.0/host0/target0:0:0/0:0:0:0/block/sdb";
    fs::create_directories(disk / "sdb1");
    fs::create_directories(root / "sys/block");
    fs::create_directories(root / "proc/self");
    fs::create_directories(root / "dev");
    const auto write = [](const fs::path& p, const std::string& text) { std::ofstream(p) << text; };
    write(root / "sys/bus/usb/devices/1-1/busnum", "1\n");
    write(root / "sys/bus/usb/devices/1-1/devnum", "1\n");
    write(root / "sys/bus/usb/devices/1-1/1-1:1.0/bInterfaceNumber", "00\n");
    write(disk / "dev", "8:16\n");
    write(disk / "sdb1/dev", "8:17\n");
    write(disk / "sdb1/partition", "1\n");
    fs::create_symlink(disk, root / "sys/block/sdb");
    write(root / "dev/sdb", "");
    struct stat node {};
    ASSERT_EQ(stat((root / "dev/sdb").c_str(), &node), 0);
    char lockLine[96];
    snprintf(lockLine, sizeof lockLine, "1: FLOCK  ADVISORY  WRITE 4242 %02x:%02x:%llu 0 EOF\n", major(node.st_dev),
             minor(node.st_dev), static_cast<unsigned long long>(node.st_ino));
    SetSystemRoot(root.string());

    bed.AddDevice(HeldBy("usb-storage"), SmallController());
    ScriptedPipe next;
    next.ActAsController(kControllerIdentity, {0, 0, 0, 0, 800, 600, 0, 0x12000});
    const PipeBackend* routes[] = {&kUsbPipeBackend, &ScriptedPipe::kBackend};
    SetPipeBackends(routes, 2);
    const struct {
        const char* name;
        std::string mounts, locks;
        bool onUsb;
        int status;
        std::vector<std::string> requests;  // of the run, to its end
        std::string err;
    } cases[] = {
        {"nothing in use", "", "", true, 0,
         {"getdriver 0", "getdriver 0", "disconnect 0", "claim 0", "reset 0", "clear-halt 0x81", "clear-halt 0x02", "release 0", "connect 0"}, ""},
        {"partition mounted", "36 25 8:17 / /media/stick rw - vfat /dev/sdb1 rw\n", "", false, 0, {"getdriver 0"},
         "qp7730: the controller on USB 1 (/dev/bus/usb/001/001) is left to usb-storage: /dev/sdb1 is mounted "
         "(unmount it to use the controller)\n"},
        {"drive run holds the disk", "", lockLine, false, -1, {"getdriver 0"},
         "qp7730: the controller at usb-001-001 is still in use by another run after 0 s; giving up\n"},
    };
    setenv("QP7730_LOCK_WAIT", "0", 1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write(root / "proc/self/mountinfo", "25 1 0:23 / / rw - ext4 /dev/vda1 rw\n" + c.mounts);
        write(root / "proc/locks", c.locks);
        const size_t before = bed.Requests(0).size();
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int status = 0;
        try {
            StartDevice();
            EXPECT_EQ(UsbRouteOpen(), c.onUsb);
            ResetDeviceState();
        } catch (const RunEnded& ended) {
            status = ended.Status;
        }
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(status, c.status);
        const std::vector<std::string> all = bed.Requests(0);
        EXPECT_EQ(std::vector<std::string>(all.begin() + static_cast<long>(before), all.end()), c.requests);
        ResetDeviceState();
    }
    unsetenv("QP7730_LOCK_WAIT");
    SetSystemRoot({});
    fs::remove_all(root);
}

// ---- commands -------------------------------------------------------------------

struct MemoryCase {
    const char* name;
    bool dataIn;
    uint16_t length;
};

void PrintTo(const MemoryCase& c, std::ostream* os) { *os << c.name; }

class UsbMemoryTest : public UsbRouteTest, public ::testing::WithParamInterface<MemoryCase> {};

TEST_P(UsbMemoryTest, BytesArriveWhereTheyWereSent) {
    const MemoryCase& c = GetParam();
    bed.AddDevice({}, SmallController());
    StartOnUsb();
    const uint32_t address = 0x2345;
    const std::vector<uint8_t> bytes = Pattern(c.length, static_cast<uint8_t>(c.length));
    uint8_t* memory = bed.Model(0).Memory() + address;

    if (c.dataIn) {
        std::copy(bytes.begin(), bytes.end(), memory);
        std::vector<uint8_t> read(c.length + 1, 0xEE);
        EXPECT_EQ(ReadMemory(address, c.length, read.data()), 1);
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), read.begin()));
        EXPECT_EQ(read.back(), 0xEE);
    } else {
        EXPECT_EQ(WriteMemory(address, c.length, bytes.data()), 1);
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), memory));
        EXPECT_EQ(memory[c.length], 0);
    }
    EXPECT_TRUE(CollectedFailures().empty());
}

INSTANTIATE_TEST_SUITE_P(Directions, UsbMemoryTest,
                         ::testing::Values(MemoryCase{"read_1", true, 1}, MemoryCase{"read_65535", true, 65535},
                                           MemoryCase{"write_1", false, 1},
                                           MemoryCase{"write_65535", false, 65535}),
                         [](const auto& info) { return std::string(info.param.name); });

// A picture file loaded and shown through the library, as "-load FILE" and "-display"
// would: the controller's image buffer holds its grey values and the panel shows them.
TEST_F(UsbRouteTest, PictureLoadedAndDisplayedThroughTheLibrary) {
    bed.AddDevice({}, SmallController());
    StartOnUsb();

    // An 8-bit grey BMP of the panel's size (bottom row first, rows already 4-aligned).
    std::vector<std::vector<uint8_t>> rows(kPanelH, std::vector<uint8_t>(kPanelW));
    for (uint32_t y = 0; y < kPanelH; ++y)
        for (uint32_t x = 0; x < kPanelW; ++x) rows[y][x] = static_cast<uint8_t>(x + 3 * y);
    imgtest::BmpLayout layout;
    layout.width = kPanelW;
    layout.height = kPanelH;
    layout.bpp = 8;
    for (int i = 0; i < 256; ++i) {
        const auto v = static_cast<uint8_t>(i);
        layout.palette.push_back({v, v, v});
    }
    layout.data = imgtest::StoreRows(rows, false);
    const std::string path = testing::TempDir() + "qp7730-usb-" + std::to_string(getpid()) + ".bmp";
    {
        const std::vector<uint8_t> file = imgtest::MakeBmp(layout);
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(file.data()), file.size());
    }

    testing::internal::CaptureStdout();
    LoadImageFile(path.c_str());
    RequestDisplayArea(0, 0, kPanelW, kPanelH, 2, "-wait");
    testing::internal::GetCapturedStdout();
    std::filesystem::remove(path);

    EXPECT_TRUE(CollectedFailures().empty());
    const uint8_t* frame = bed.Model(0).Memory() + kImageBuffer;
    const std::vector<uint8_t>& panel = bed.Model(0).Panel();
    ASSERT_EQ(panel.size(), size_t{kPanelW} * kPanelH);
    size_t frameWrong = 0, panelWrong = 0;
    for (uint32_t y = 0; y < kPanelH; ++y) {
        for (uint32_t x = 0; x < kPanelW; ++x) {
            const uint8_t v = rows[y][x];
            frameWrong += frame[y * kPanelW + x] != v;
            panelWrong += panel[y * kPanelW + x] != (v >> 4) * 17;  // mode 2 shows 16 levels
        }
    }
    EXPECT_EQ(frameWrong, 0u);
    EXPECT_EQ(panelWrong, 0u);
    EXPECT_EQ(bed.Model(0).RefreshCount(), 1u);
}

// The end of a run gives the interface back and closes the device.
TEST_F(UsbRouteTest, RunReleasesTheInterfaceAtItsEnd) {
    bed.AddDevice({}, SmallController());
    const PipeBackend* routes[] = {&kUsbPipeBackend};
    SetPipeBackends(routes, 1);
    char program[] = "qp7730", keyword[] = "0xAC";
    char* argv[] = {program, keyword, nullptr};
    const std::vector<std::string> before = OpenFiles();
    testing::internal::CaptureStdout();
    EXPECT_EQ(RunMain(2, argv), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Done.\n"), std::string::npos);
    EXPECT_EQ(bed.Commands(0), 3u);  // INQUIRY, system information, the low-speed switch
    EXPECT_EQ(bed.Requests(0), (std::vector<std::string>{"getdriver 0", "claim 0", "reset 0", "clear-halt 0x81", "clear-halt 0x02", "release 0"}));
    EXPECT_EQ(g_DeviceState.hDevice, nullptr);
    EXPECT_EQ(OpenFilesOnceSettled(before), before);
}

// The claim of the interface is the run lock of the USB route: a claim refused while
// another process holds the interface through usbfs is another run, waited for with the
// run lock's messages and bound. A run that does not get it ends as a busy one, having
// sent nothing, and tries no other route.
TEST_F(UsbRouteTest, InterfaceHeldByAnotherProcessIsWaitedForLikeARunLock) {
    bed.AddDevice({}, SmallController());
    ScriptedPipe next;
    next.ActAsController(kControllerIdentity, {0, 0, 0, 0, 800, 600, 0, 0x12000});
    const PipeBackend* routes[] = {&kUsbPipeBackend, &ScriptedPipe::kBackend};
    SetPipeBackends(routes, 2);
    struct Case {
        const char* wait;
        int claimsRefused;
        bool taken;
        const char* says;
    };
    const Case cases[] = {
        {"5", 3, true, "another run is using the controller at usb-001-001; waiting up to 5 s for it"},
        {"0", 1 << 30, false, "the controller at usb-001-001 is still in use by another run after 0 s; giving up"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.wait);
        ResetDeviceState();
        const size_t requests = bed.Requests(0).size();
        const uint64_t commands = bed.Commands(0);
        bed.ClaimedElsewhere(0, c.claimsRefused);
        setenv("QP7730_LOCK_WAIT", c.wait, 1);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int status = 0;
        try {
            StartDevice();
        } catch (const RunEnded& ended) {
            status = ended.Status;
        }
        unsetenv("QP7730_LOCK_WAIT");
        const std::string err = testing::internal::GetCapturedStderr();
        testing::internal::GetCapturedStdout();
        bed.ClaimedElsewhere(0, 0);

        EXPECT_EQ(UsbRouteOpen(), c.taken);
        EXPECT_EQ(status, c.taken ? 0 : -1);
        EXPECT_EQ(err, std::string("qp7730: ") + c.says + "\n");
        const std::vector<std::string> all = bed.Requests(0);
        const std::vector<std::string> seen(all.begin() + static_cast<long>(requests), all.end());
        EXPECT_EQ(std::count(seen.begin(), seen.end(), "claim (busy) 0"), c.taken ? c.claimsRefused : 1);
        EXPECT_EQ(std::count(seen.begin(), seen.end(), "claim 0"), c.taken ? 1 : 0);
        EXPECT_EQ(bed.Commands(0) - commands, c.taken ? 2u : 0u);  // INQUIRY and system information once taken
        EXPECT_TRUE(next.events.empty());
    }
}

// ---- failed transfers -----------------------------------------------------------

// A device that stops answering: the status transfer ends after the transfer bound, reset
// recovery puts device and pipes back in step, and the next command goes through.
TEST_F(UsbRouteTest, TimedOutTransferIsBoundedAndRecovered) {
    bed.AddDevice({}, SmallController());
    StartOnUsb();
    bed.Silence(0, bed.Commands(0) + 1);
    const std::vector<uint8_t> bytes = Pattern(512, 9);

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WriteMemory(0x100, 512, bytes.data()), 0);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(kPipeTimeoutMs));
    EXPECT_LT(waited, std::chrono::milliseconds(kPipeTimeoutMs + 4000));
    EXPECT_EQ(CollectedFailures(), (std::vector<std::string>{"[FAIL] CSW (" + std::to_string(LIBUSB_ERROR_TIMEOUT) + ")"}));
    const std::vector<std::string> requests = bed.Requests(0);
    EXPECT_EQ(std::vector<std::string>(requests.end() - 3, requests.end()),
              (std::vector<std::string>{"reset 0", "clear-halt 0x81", "clear-halt 0x02"}));

    CollectedFailures().clear();
    std::vector<uint8_t> read(512);
    EXPECT_EQ(ReadMemory(0x100, 512, read.data()), 1);
    EXPECT_EQ(read, bytes);
    EXPECT_TRUE(CollectedFailures().empty());
}

struct StallCase {
    const char* name;
    bool dataIn;
    const char* clearedPipe;
};

void PrintTo(const StallCase& c, std::ostream* os) { *os << c.name; }

class UsbStallTest : public UsbRouteTest, public ::testing::WithParamInterface<StallCase> {};

// The device halts the pipe in the data phase: the adapter reports the data piece and the
// failing status, the halt is cleared on that pipe, and the next command goes through.
TEST_P(UsbStallTest, StalledDataPhaseIsClearedOnItsPipe) {
    const StallCase& c = GetParam();
    bed.AddDevice({}, SmallController());
    StartOnUsb();
    bed.StallDataPhase(0, bed.Commands(0) + 1);
    const std::vector<uint8_t> bytes = Pattern(1000, 5);
    std::vector<uint8_t> buffer(1000, 0xEE);

    if (c.dataIn) {
        ReadMemory(0x400, 1000, buffer.data());  // answers 1 whatever the transport did
    } else {
        EXPECT_EQ(WriteMemory(0x400, 1000, bytes.data()), 0);
    }
    EXPECT_EQ(CollectedFailures(), (std::vector<std::string>{"[FAIL] DATA (" + std::to_string(LIBUSB_ERROR_PIPE) + ")",
                                                             "[FAIL] CSW Status (1)"}));
    EXPECT_EQ(bed.Requests(0).back(), c.clearedPipe);
    // A write whose data never arrived is not carried out.
    EXPECT_EQ(bed.Model(0).Memory()[0x400], 0);

    CollectedFailures().clear();
    EXPECT_EQ(WriteMemory(0x400, 1000, bytes.data()), 1);
    EXPECT_EQ(ReadMemory(0x400, 1000, buffer.data()), 1);
    EXPECT_EQ(buffer, bytes);
    EXPECT_TRUE(CollectedFailures().empty());
}

// A halted status read is cleared and read once more; a phase error is followed by reset
// recovery. Either way the next command goes through on the same handle.
TEST_F(UsbRouteTest, StalledStatusAndPhaseErrorAreRecovered) {
    const struct {
        const char* name;
        void (UsbTestBed::*fault)(size_t, uint64_t);
        uint8_t result;
        std::vector<std::string> messages;
        std::vector<std::string> requests;  // the device's requests during the command
    } cases[] = {
        {"status stalled", &UsbTestBed::StallStatus, 1, {}, {"clear-halt 0x81"}},
        {"phase error", &UsbTestBed::PhaseError, 0, {"[FAIL] CSW Status (2)"},
         {"reset 0", "clear-halt 0x81", "clear-halt 0x02"}},
    };
    bed.AddDevice({}, SmallController());
    StartOnUsb();
    const std::vector<uint8_t> bytes = Pattern(700, 3);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CollectedFailures().clear();
        const size_t before = bed.Requests(0).size();
        (bed.*c.fault)(0, bed.Commands(0) + 1);
        EXPECT_EQ(WriteMemory(0x800, 700, bytes.data()), c.result);
        EXPECT_EQ(CollectedFailures(), c.messages);
        const std::vector<std::string> all = bed.Requests(0);
        EXPECT_EQ(std::vector<std::string>(all.begin() + static_cast<long>(before), all.end()), c.requests);
        std::vector<uint8_t> read(700);
        EXPECT_TRUE(ReadMemoryInFull(0x800, 700, read.data()));
        EXPECT_EQ(read, bytes);
    }
}

INSTANTIATE_TEST_SUITE_P(Pipes, UsbStallTest,
                         ::testing::Values(StallCase{"data_in", true, "clear-halt 0x81"},
                                           StallCase{"data_out", false, "clear-halt 0x02"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
