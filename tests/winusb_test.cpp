// The WinUSB route against a stand-in for the system (no device exists on a test
// machine): the interface search, the open and its clean-up, and pipe transfers.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

#include "link/pipe.h"
#include "link/winusb.h"

namespace {

const HDEVINFO kList = reinterpret_cast<HDEVINFO>(0x1000);
const HANDLE kFile = reinterpret_cast<HANDLE>(0x2000);
const WINUSB_INTERFACE_HANDLE kUsb = reinterpret_cast<WINUSB_INTERFACE_HANDLE>(0x3000);

struct FakeSystem {
    // Interface search.
    bool listFails = false;
    std::vector<std::wstring> paths;  // the class's interfaces in enumeration order
    int detailFailsAt = -1;
    GUID askedClass{};
    DWORD askedFlags = 0;
    DWORD interfaceDataSize = 0;
    DWORD detailSize = 0;
    int destroyed = 0;
    // Open.
    bool createFails = false;
    bool initializeFails = false;
    std::wstring openedPath;
    DWORD access = 0, share = 0, disposition = 0, attributes = 0;
    // Transfers.
    bool startFails = false;   // the start fails outright (nothing queued)
    DWORD resultError = 0;     // the queued transfer completes with this error (0: success)
    DWORD transferred = 0;
    int resultsAsked = 0;
    std::vector<std::string> calls;  // in order
};
FakeSystem* g_fake = nullptr;

std::string PipeCall(const char* name, UCHAR pipe) {
    char text[48];
    snprintf(text, sizeof text, "%s 0x%02X", name, pipe);
    return text;
}

HDEVINFO WINAPI FakeGetClassDevs(const GUID* interfaceClass, PCWSTR, HWND, DWORD flags) {
    g_fake->askedClass = *interfaceClass;
    g_fake->askedFlags = flags;
    return g_fake->listFails ? static_cast<HDEVINFO>(INVALID_HANDLE_VALUE) : kList;
}
BOOL WINAPI FakeEnumDeviceInterfaces(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD index,
                                     PSP_DEVICE_INTERFACE_DATA data) {
    g_fake->interfaceDataSize = data->cbSize;
    if (index >= g_fake->paths.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    data->Reserved = index;
    return TRUE;
}
BOOL WINAPI FakeGetDeviceInterfaceDetail(HDEVINFO, PSP_DEVICE_INTERFACE_DATA data,
                                         PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size, PDWORD required,
                                         PSP_DEVINFO_DATA) {
    const auto index = static_cast<int>(data->Reserved);
    if (index == g_fake->detailFailsAt) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::wstring& path = g_fake->paths[static_cast<size_t>(index)];
    const DWORD need = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + (path.size() + 1) * sizeof(wchar_t);
    if (required) *required = need;
    if (detail == nullptr || size < need) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    g_fake->detailSize = detail->cbSize;
    wmemcpy(detail->DevicePath, path.c_str(), path.size() + 1);
    return TRUE;
}
BOOL WINAPI FakeDestroyDeviceInfoList(HDEVINFO) {
    ++g_fake->destroyed;
    return TRUE;
}
HANDLE WINAPI FakeCreateFile(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
                             DWORD attributes, HANDLE) {
    g_fake->openedPath = path;
    g_fake->access = access, g_fake->share = share, g_fake->disposition = disposition;
    g_fake->attributes = attributes;
    return g_fake->createFails ? INVALID_HANDLE_VALUE : kFile;
}
BOOL WINAPI FakeCloseHandle(HANDLE h) {
    g_fake->calls.push_back(h == kFile ? "CloseHandle file" : "CloseHandle other");
    return TRUE;
}
BOOL WINAPI FakeInitialize(HANDLE, PWINUSB_INTERFACE_HANDLE usb) {
    if (g_fake->initializeFails) return FALSE;
    *usb = kUsb;
    return TRUE;
}
BOOL WINAPI FakeFree(WINUSB_INTERFACE_HANDLE) {
    g_fake->calls.push_back("WinUsb_Free");
    return TRUE;
}
BOOL StartTransfer(const char* name, UCHAR pipe, LPOVERLAPPED overlapped) {
    g_fake->calls.push_back(PipeCall(name, pipe));
    if (g_fake->startFails) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    SetEvent(overlapped->hEvent);  // the transfer ends at once, well within the bound
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}
BOOL WINAPI FakeReadPipe(WINUSB_INTERFACE_HANDLE, UCHAR pipe, PUCHAR, ULONG, PULONG, LPOVERLAPPED overlapped) {
    return StartTransfer("WinUsb_ReadPipe", pipe, overlapped);
}
BOOL WINAPI FakeWritePipe(WINUSB_INTERFACE_HANDLE, UCHAR pipe, PUCHAR, ULONG, PULONG, LPOVERLAPPED overlapped) {
    return StartTransfer("WinUsb_WritePipe", pipe, overlapped);
}
BOOL WINAPI FakeGetOverlappedResult(WINUSB_INTERFACE_HANDLE, LPOVERLAPPED, LPDWORD transferred, BOOL) {
    ++g_fake->resultsAsked;
    if (g_fake->resultError != 0) {
        SetLastError(g_fake->resultError);
        return FALSE;
    }
    *transferred = g_fake->transferred;
    return TRUE;
}
BOOL WINAPI FakeAbortPipe(WINUSB_INTERFACE_HANDLE, UCHAR pipe) {
    g_fake->calls.push_back(PipeCall("WinUsb_AbortPipe", pipe));
    return TRUE;
}
BOOL WINAPI FakeFlushPipe(WINUSB_INTERFACE_HANDLE, UCHAR pipe) {
    g_fake->calls.push_back(PipeCall("WinUsb_FlushPipe", pipe));
    return TRUE;
}
BOOL WINAPI FakeResetPipe(WINUSB_INTERFACE_HANDLE, UCHAR pipe) {
    g_fake->calls.push_back(PipeCall("WinUsb_ResetPipe", pipe));
    if (g_fake->resultError != 0) SetLastError(g_fake->resultError);
    return g_fake->resultError == 0;
}
BOOL WINAPI FakeControlTransfer(WINUSB_INTERFACE_HANDLE, WINUSB_SETUP_PACKET setup, PUCHAR, ULONG length, PULONG,
                                LPOVERLAPPED overlapped) {
    char text[64];
    snprintf(text, sizeof text, "WinUsb_ControlTransfer %02X %02X %u %u %lu", setup.RequestType, setup.Request,
             setup.Value, setup.Index, static_cast<unsigned long>(length));
    g_fake->calls.push_back(text);
    SetEvent(overlapped->hEvent);
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

const WinUsbApi kFakeApi = {
    FakeGetClassDevs, FakeEnumDeviceInterfaces, FakeGetDeviceInterfaceDetail, FakeDestroyDeviceInfoList,
    FakeCreateFile,   FakeCloseHandle,          FakeInitialize,               FakeFree,
    FakeReadPipe,     FakeWritePipe,            FakeGetOverlappedResult,      FakeAbortPipe,
    FakeFlushPipe,    FakeResetPipe,            FakeControlTransfer,
};

class WinUsbTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_fake = &fake;
        SetWinUsbApi(&kFakeApi);
    }
    void TearDown() override {
        SetWinUsbApi(nullptr);
        g_fake = nullptr;
    }
    FakeSystem fake;
};

const std::wstring kOther = L"\\\\?\\usb#vid_1111&pid_2222#5&1a&0&1#{6b1e93c4-2d57-4f80-a3e6-91c0b4d27f15}";
const std::wstring kOurs = L"\\\\?\\usb#vid_3a7c&pid_7730#5&2b&0&2#{6b1e93c4-2d57-4f80-a3e6-91c0b4d27f15}";

// A path holding the match string, `length` characters long.
std::wstring OursOfLength(size_t length) { return kOurs + std::wstring(length - kOurs.size(), L'x'); }

struct SearchCase {
    const char* name;
    std::vector<std::wstring> paths;
    int detailFailsAt;
    bool found;
    std::wstring path;  // the path found
};

class FindDevicePathTest : public WinUsbTest, public ::testing::WithParamInterface<SearchCase> {};

TEST_P(FindDevicePathTest, FirstMatchingPathOrNothing) {
    const SearchCase& c = GetParam();
    fake.paths = c.paths;
    fake.detailFailsAt = c.detailFailsAt;
    WinUsbDevice device{};
    EXPECT_EQ(FindDevicePath(&device, kDeviceMatch.MatchString, kDeviceMatch.InterfaceClass), c.found);
    if (c.found) {
        EXPECT_EQ(std::wstring(device.DevicePath), c.path);
    }
    EXPECT_EQ(fake.destroyed, 1);
    EXPECT_TRUE(IsEqualGUID(fake.askedClass, kDeviceMatch.InterfaceClass));
    EXPECT_EQ(fake.askedFlags, DWORD{DIGCF_PRESENT | DIGCF_DEVICEINTERFACE});
    // The records carry this build's sizes (64-bit: 32 and 8; the 32-bit layout has 28 and 6).
    EXPECT_EQ(fake.interfaceDataSize, sizeof(SP_DEVICE_INTERFACE_DATA));
    if (!c.paths.empty() && c.detailFailsAt != 0) {
        EXPECT_EQ(fake.detailSize, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W));
    }
}

INSTANTIATE_TEST_SUITE_P(
    WinUsb, FindDevicePathTest,
    ::testing::Values(SearchCase{"no_interface", {}, -1, false, L""},
                      SearchCase{"first_match_wins", {kOther, kOurs, kOurs + L"2"}, -1, true, kOurs},
                      SearchCase{"upper_case_is_no_match", {L"\\\\?\\usb#VID_3A7C&PID_7730#1"}, -1, false, L""},
                      SearchCase{"path_of_259_fits", {OursOfLength(259)}, -1, true, OursOfLength(259)},
                      SearchCase{"path_of_260_ends_the_search", {OursOfLength(260), kOurs}, -1, false, L""},
                      SearchCase{"failed_detail_ends_the_search", {kOther, kOurs}, 0, false, L""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WinUsbTest, NoInterfaceListIsNoDevice) {
    fake.listFails = true;
    WinUsbDevice device{};
    EXPECT_FALSE(FindDevicePath(&device, kDeviceMatch.MatchString, kDeviceMatch.InterfaceClass));
    EXPECT_EQ(fake.destroyed, 0);
}

struct OpenCase {
    const char* name;
    std::vector<std::wstring> paths;
    bool createFails, initializeFails;
    std::vector<std::string> cleanUp;  // calls made by the failed open
};

class WinUsbOpenTest : public WinUsbTest, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(WinUsbOpenTest, FailedOpenLeavesNothingOpen) {
    const OpenCase& c = GetParam();
    fake.paths = c.paths;
    fake.createFails = c.createFails;
    fake.initializeFails = c.initializeFails;
    EXPECT_EQ(WinUsbOpen(kDeviceMatch), nullptr);
    EXPECT_EQ(fake.calls, c.cleanUp);
}

INSTANTIATE_TEST_SUITE_P(WinUsb, WinUsbOpenTest,
                         ::testing::Values(OpenCase{"no_matching_interface", {kOther}, false, false, {}},
                                           OpenCase{"device_cannot_be_opened", {kOurs}, true, false, {}},
                                           OpenCase{"winusb_refuses_it", {kOurs}, false, true, {"CloseHandle file"}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(WinUsbTest, OpensThePathForOverlappedIoAndClosesInOrder) {
    fake.paths = {kOther, kOurs};
    WinUsbDevice* device = WinUsbOpen(kDeviceMatch);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(fake.openedPath, kOurs);
    EXPECT_EQ(fake.access, 0xC0000000u);
    EXPECT_EQ(fake.share, 3u);
    EXPECT_EQ(fake.disposition, DWORD{OPEN_EXISTING});
    EXPECT_EQ(fake.attributes, 0x40000080u);
    EXPECT_EQ(device->WinUsbHandle, kUsb);
    WinUsbClose(device);
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"WinUsb_Free", "CloseHandle file"}));
    WinUsbClose(nullptr);  // nothing
    EXPECT_EQ(fake.calls.size(), 2u);
}

struct TransferCase {
    const char* name;
    uint8_t pipe;
    uint32_t length;
    bool startFails;
    DWORD resultError;
    DWORD transferred;
    bool ok;
    uint32_t moved;
    int lastError;
    int resultsAsked;
    std::vector<std::string> calls;
};

class PipeTransferTest : public WinUsbTest, public ::testing::WithParamInterface<TransferCase> {};

TEST_P(PipeTransferTest, OutcomeMovedBytesAndRecovery) {
    const TransferCase& c = GetParam();
    fake.startFails = c.startFails;
    fake.resultError = c.resultError;
    fake.transferred = c.transferred;
    WinUsbDevice device{INVALID_HANDLE_VALUE, kUsb, {}, 0};
    uint8_t buffer[64] = {};
    uint32_t moved = 99;
    const TransferResult r = kUsbPipeBackend.Transfer(&device, c.pipe, buffer, c.length, &moved);
    EXPECT_EQ(r == TransferResult::kGood || r == TransferResult::kShort, c.ok);
    EXPECT_EQ(moved, c.moved);
    EXPECT_EQ(kUsbPipeBackend.LastError(&device), c.lastError);
    EXPECT_EQ(fake.resultsAsked, c.resultsAsked);
    EXPECT_EQ(fake.calls, c.calls);
}

INSTANTIATE_TEST_SUITE_P(
    WinUsb, PipeTransferTest,
    ::testing::Values(
        TransferCase{"short_read_is_complete", 0x81, 13, false, 0, 5, true, 5, 0, 1, {"WinUsb_ReadPipe 0x81"}},
        TransferCase{"write", 0x02, 31, false, 0, 31, true, 31, 0, 1, {"WinUsb_WritePipe 0x02"}},
        TransferCase{"failed_transfer_is_aborted_and_flushed", 0x02, 31, false, ERROR_GEN_FAILURE, 0, false, 0,
                     ERROR_GEN_FAILURE, 1,
                     {"WinUsb_WritePipe 0x02", "WinUsb_AbortPipe 0x02", "WinUsb_FlushPipe 0x02"}},
        TransferCase{"unfinished_read_is_aborted_and_flushed", 0x81, 40, false, ERROR_IO_INCOMPLETE, 0, false, 0,
                     ERROR_IO_INCOMPLETE, 1,
                     {"WinUsb_ReadPipe 0x81", "WinUsb_AbortPipe 0x81", "WinUsb_FlushPipe 0x81"}},
        TransferCase{"start_that_fails_outright_is_not_waited_on", 0x81, 13, true, 0, 13, false, 0,
                     ERROR_INVALID_HANDLE, 0,
                     {"WinUsb_ReadPipe 0x81", "WinUsb_AbortPipe 0x81", "WinUsb_FlushPipe 0x81"}}),
    [](const auto& info) { return std::string(info.param.name); });

// A stall (ERROR_GEN_FAILURE) is cleared with WinUsb_ResetPipe; reset recovery is the class
// request through WinUsb_ControlTransfer, then both pipes reset; a removed device is gone.
TEST_F(WinUsbTest, StallsAndResetRecoveryGoThroughWinUsb) {
    WinUsbDevice device{INVALID_HANDLE_VALUE, kUsb, {}, 0};
    uint8_t buffer[13] = {};
    uint32_t moved = 0;
    const struct {
        DWORD error;
        TransferResult result;
    } failures[] = {{ERROR_GEN_FAILURE, TransferResult::kStalled},
                    {ERROR_SEM_TIMEOUT, TransferResult::kError},
                    {ERROR_DEVICE_NOT_CONNECTED, TransferResult::kGone}};
    for (const auto& f : failures) {
        fake.resultError = f.error;
        EXPECT_EQ(kUsbPipeBackend.Transfer(&device, 0x81, buffer, sizeof buffer, &moved), f.result) << f.error;
    }
    fake.resultError = 0;
    fake.calls.clear();
    PipeDevice pipe{&kUsbPipeBackend, &device};
    EXPECT_TRUE(ResetRecovery(&pipe));
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"WinUsb_ControlTransfer 21 FF 0 0 0", "WinUsb_ResetPipe 0x81",
                                                    "WinUsb_ResetPipe 0x02"}));
    fake.resultError = ERROR_GEN_FAILURE;
    EXPECT_EQ(kUsbPipeBackend.ClearHalt(&device, 0x02), TransferResult::kStalled);
}

TEST_F(WinUsbTest, NoDeviceMovesNothing) {
    uint8_t buffer[4] = {};
    uint32_t moved = 99;
    EXPECT_FALSE(WinUsbPipeTransfer(nullptr, 0x81, buffer, sizeof buffer, &moved));
    EXPECT_EQ(moved, 0u);
    EXPECT_TRUE(fake.calls.empty());
}

}  // namespace
