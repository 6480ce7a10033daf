// The Windows drive route against a stand-in for the system: no system dialog while a
// drive is opened, one hint when drives are refused for want of rights, and data buffers
// the adapter cannot take passed through an aligned copy.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "link/device_state.h"
#include "link/drive.h"
#include "link/pipe.h"
#include "link/report.h"

namespace {

const HANDLE kDrive = reinterpret_cast<HANDLE>(0x4000);

struct FakeDrives {
    DWORD openError = 0;  // 0: the open succeeds
    DWORD alignmentMask = 0;
    UINT mode = 0;
    std::vector<std::string> calls;
    uintptr_t dataBuffer = 0;  // the pass-through's buffer as the driver saw it
    std::vector<uint8_t> dataSeen;
};
FakeDrives* g_fake = nullptr;

HANDLE WINAPI FakeCreateFileA(LPCSTR path, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
    g_fake->calls.push_back(std::string("CreateFileA ") + path + " mode " + std::to_string(g_fake->mode));
    if (g_fake->openError == 0) return kDrive;
    SetLastError(g_fake->openError);
    return INVALID_HANDLE_VALUE;
}
BOOL WINAPI FakeDeviceIoControl(HANDLE, DWORD code, LPVOID in, DWORD, LPVOID out, DWORD outSize, LPDWORD bytes,
                                LPOVERLAPPED) {
    if (code == IOCTL_STORAGE_QUERY_PROPERTY) {
        auto* adapter = static_cast<STORAGE_ADAPTER_DESCRIPTOR*>(out);
        *adapter = {};
        adapter->AlignmentMask = g_fake->alignmentMask;
        *bytes = outSize;
        return TRUE;
    }
    auto* sptd = static_cast<SCSI_PASS_THROUGH_DIRECT*>(in);
    g_fake->dataBuffer = reinterpret_cast<uintptr_t>(sptd->DataBuffer);
    auto* data = static_cast<uint8_t*>(sptd->DataBuffer);
    if (sptd->DataIn == 1) {
        for (DWORD i = 0; i < sptd->DataTransferLength; ++i) data[i] = static_cast<uint8_t>(i + 1);
    } else {
        g_fake->dataSeen.assign(data, data + sptd->DataTransferLength);
    }
    *bytes = sizeof *sptd;
    return TRUE;
}
BOOL WINAPI FakeCloseHandle(HANDLE) { return TRUE; }
UINT WINAPI FakeSetErrorMode(UINT mode) {
    const UINT previous = g_fake->mode;
    g_fake->mode = mode;
    return previous;
}
const DriveApi kFakeApi = {FakeCreateFileA, FakeDeviceIoControl, FakeCloseHandle, FakeSetErrorMode};

std::string g_err;
void Drop(const char*) {}
void Keep(const char* text) { g_err += text; }
const Reporter kKeeping = {Drop, Keep, nullptr};

class DriveWindowsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetDeviceState();
        g_fake = &fake;
        SetDriveApi(&kFakeApi);
        g_err.clear();
        SetReporter(&kKeeping);
        static const PipeBackend* const none[] = {nullptr};
        SetPipeBackends(none, 0);
    }
    void TearDown() override {
        SetPipeBackends(nullptr, 0);
        SetReporter(nullptr);
        SetDriveApi(nullptr);
        ResetDeviceState();
        g_fake = nullptr;
    }
    FakeDrives fake;
};

// Every drive refused: each open runs with critical-error dialogs off (and puts the mode
// back), and the search that found nothing says once why.
TEST_F(DriveWindowsTest, RefusedDrivesAreOpenedWithoutDialogsAndToldOnce) {
    const struct {
        DWORD error;
        std::string err;
    } cases[] = {
        {ERROR_ACCESS_DENIED,
         "qp7730: drives could not be opened for want of administrator rights (access denied): run qp7730 as "
         "administrator to reach the controller behind a drive letter\n"},
        {ERROR_FILE_NOT_FOUND, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        fake.openError = c.error;
        fake.calls.clear();
        g_err.clear();
        EXPECT_FALSE(FindDevice());
        EXPECT_EQ(g_err, c.err);
        ASSERT_EQ(fake.calls.size(), 26u);
        EXPECT_EQ(fake.calls[2], "CreateFileA \\\\.\\C: mode " + std::to_string(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX));
        EXPECT_EQ(fake.mode, 0u);
    }
}

// A buffer off the adapter's alignment reaches the driver aligned, with the data moved
// both ways; an aligned one goes as it is.
TEST_F(DriveWindowsTest, DataBuffersFollowTheAdaptersAlignment) {
    fake.alignmentMask = 7;
    const HANDLE drive = OpenDrive("\\\\.\\E:");
    ASSERT_EQ(drive, kDrive);
    alignas(8) uint8_t storage[80] = {};
    for (const bool dataIn : {true, false}) {
        for (const size_t offset : {size_t{1}, size_t{8}}) {
            SCOPED_TRACE(std::to_string(dataIn) + " at " + std::to_string(offset));
            uint8_t* buffer = storage + offset;
            for (int i = 0; i < 40; ++i) buffer[i] = static_cast<uint8_t>(0xA0 + i);
            SCSI_PASS_THROUGH_DIRECT sptd;
            FillPassThrough(sptd, kVendorOpcode, 0x81, dataIn ? 1 : 0, 40, buffer);
            DWORD returned = 0;
            EXPECT_TRUE(DriveIoControl(drive, IOCTL_SCSI_PASS_THROUGH_DIRECT, &sptd, sizeof sptd, &sptd, sizeof sptd,
                                       &returned, nullptr));
            EXPECT_EQ(fake.dataBuffer & 7, 0u);
            EXPECT_EQ(fake.dataBuffer == reinterpret_cast<uintptr_t>(buffer), offset == 8);
            EXPECT_EQ(sptd.DataBuffer, buffer);
            for (int i = 0; i < 40; ++i) {
                const uint8_t want = static_cast<uint8_t>(dataIn ? i + 1 : 0xA0 + i);
                EXPECT_EQ(dataIn ? buffer[i] : fake.dataSeen[static_cast<size_t>(i)], want) << i;
            }
        }
    }
    CloseDrive(drive);
}

}  // namespace
