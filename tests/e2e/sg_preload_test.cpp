// The SG_IO stand-in against qp7730-emu, called directly (loaded with dlopen, so nothing
// else in this process goes through it): the request header comes back as the SCSI layer
// fills it for a USB disk, and the drive's socket lives exactly as long as its fd.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <scsi/sg.h>
#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace {

using e2e::Emulator;

struct StandIn {
    StandIn() {
        handle = dlopen(e2e::SgPreloadPath().c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) throw std::runtime_error(dlerror());
        open = reinterpret_cast<int (*)(const char*, int, ...)>(dlsym(handle, "open"));
        ioctl = reinterpret_cast<int (*)(int, unsigned long, ...)>(dlsym(handle, "ioctl"));
        close = reinterpret_cast<int (*)(int)>(dlsym(handle, "close"));
    }
    ~StandIn() { dlclose(handle); }
    void* handle;
    int (*open)(const char*, int, ...);
    int (*ioctl)(int, unsigned long, ...);
    int (*close)(int);
};

class SgStandIn : public ::testing::Test {
protected:
    void SetUp() override { setenv("QP7730_SG_DRIVE", "/dev/sdc", 1); }
    void TearDown() override {
        for (const char* name : {"QP7730_SG_DRIVE", "QP7730_SG_EMULATOR", "QP7730_SG_TIMEOUT_MS", "QP7730_SG_VENDOR_ERRNO"})
            unsetenv(name);
    }
    int OpenDrive(const Emulator& emu) {
        setenv("QP7730_SG_EMULATOR", emu.SocketPath().c_str(), 1);
        return sg.open("/dev/sdc", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    }
    // An INQUIRY of 40 bytes, or (vendor) the system-information command of 112 bytes.
    int Request(int fd, bool vendor, uint8_t senseRoom = 0) {
        uint8_t cdb[16] = {0x12};
        if (vendor) {
            cdb[0] = 0xFE;
            std::memcpy(cdb + 2, "7730", 4);
            cdb[6] = 0x80;
            cdb[8] = 1;
            cdb[10] = 2;
        }
        data.assign(vendor ? 112 : 40, 0xEE);
        sense.assign(32, 0);
        io = sg_io_hdr_t{};
        io.interface_id = 'S';
        io.dxfer_direction = SG_DXFER_FROM_DEV;
        io.cmd_len = 16;
        io.cmdp = cdb;
        io.dxfer_len = static_cast<unsigned>(data.size());
        io.dxferp = data.data();
        io.timeout = 5000;
        io.mx_sb_len = senseRoom;
        io.sbp = sense.data();
        return sg.ioctl(fd, SG_IO, &io);
    }
    std::string Identity() const { return std::string(data.begin() + 8, data.begin() + 36); }

    StandIn sg;
    sg_io_hdr_t io{};
    std::vector<uint8_t> data, sense;
};

TEST_F(SgStandIn, ReportsEachOutcomeAsTheScsiLayerDoesAndResetsAfterABreak) {
    struct Case {
        std::vector<std::string> emulator;
        uint8_t senseRoom;
        int host, status, masked, driver, resid, senseLength;
    };
    const Case cases[] = {
        {{}, 0, 0, 0, 0, 0, 0, 0},
        {{"--fault", "short-data@1"}, 0, 0, 0, 0, 0, 20, 0},
        {{"--fault", "fail-status@1"}, 32, 0, 2, 1, 8, 0, 18},
        {{"--fault", "fail-status@1"}, 0, 0, 2, 1, 8, 0, 0},
        {{"--fault", "bad-signature@1"}, 32, 7, 0, 0, 0, 0, 0},
        {{"--fault", "no-answer@1"}, 32, 3, 0, 0, 0, 40, 0},
    };
    setenv("QP7730_SG_TIMEOUT_MS", "200", 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.emulator));
        Emulator emu(c.emulator);
        const int fd = OpenDrive(emu);
        ASSERT_GE(fd, 0) << std::strerror(errno);
        ASSERT_EQ(Request(fd, false, c.senseRoom), 0);
        EXPECT_EQ(io.host_status, c.host);
        EXPECT_EQ(io.status, c.status);
        EXPECT_EQ(io.masked_status, c.masked);
        EXPECT_EQ(io.driver_status, c.driver);
        EXPECT_EQ(io.resid, c.resid);
        EXPECT_EQ(io.sb_len_wr, c.senseLength);
        if (c.senseLength != 0) {
            EXPECT_EQ(sense[0], 0x70);
        }
        EXPECT_EQ(io.info & SG_INFO_OK_MASK, c.host | c.status ? SG_INFO_CHECK : SG_INFO_OK);
        // The next request on the same fd gets a clean answer.
        ASSERT_EQ(Request(fd, false), 0);
        EXPECT_EQ(io.host_status | io.status | io.driver_status, 0);
        EXPECT_EQ(Identity(), "Generic Storage RamDisc 1.00");
        EXPECT_EQ(sg.close(fd), 0);
        // One command per request: nothing of the stand-in's own reaches the controller.
        EXPECT_EQ(emu.TraceLines().size(), 2u);
    }
}

TEST_F(SgStandIn, AControllerThatWentAwayBreaksOneExchangeThenHasNoDevice) {
    Emulator emu({"--exit-after", "1"});
    const int fd = OpenDrive(emu);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(Request(fd, false), 0);
    EXPECT_EQ(io.host_status, 0);
    ASSERT_EQ(emu.WaitForExit(10000), 0);
    for (int host : {0x07, 0x01, 0x01}) {
        ASSERT_EQ(Request(fd, true), 0);
        EXPECT_EQ(io.host_status, host);
    }
    sg.close(fd);
}

TEST_F(SgStandIn, OnlyTheConfiguredDiskOpensAndItsSocketClosesWithIt) {
    Emulator emu;
    setenv("QP7730_SG_EMULATOR", emu.SocketPath().c_str(), 1);
    EXPECT_EQ(sg.open("/dev/sda", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    setenv("QP7730_SG_EMULATOR", (emu.TempDir() + "/nobody.sock").c_str(), 1);
    EXPECT_EQ(sg.open("/dev/sdc", O_RDWR), -1);
    EXPECT_EQ(errno, ENXIO);

    const int fd = OpenDrive(emu);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(Request(fd, false), 0);
    EXPECT_EQ(sg.ioctl(fd, SG_GET_VERSION_NUM, &io), -1);
    EXPECT_EQ(errno, ENOTTY);
    ASSERT_EQ(sg.close(fd), 0);
    // The emulator serves one connection at a time: it answers another client only once
    // the drive's connection is closed.
    e2e::EmuClient client(emu.SocketPath());
    client.SetTimeoutMs(2000);
    std::vector<uint8_t> reply;
    EXPECT_EQ(client.Raw(e2e::VendorCdb(0x12), 40, &reply), 0);
}

TEST_F(SgStandIn, WithoutRawIoAccessOnlyInquiryIsCarried) {
    Emulator emu;
    setenv("QP7730_SG_VENDOR_ERRNO", std::to_string(EPERM).c_str(), 1);
    const int fd = OpenDrive(emu);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Request(fd, true), -1);
    EXPECT_EQ(errno, EPERM);
    ASSERT_EQ(Request(fd, false), 0);
    EXPECT_EQ(Identity(), "Generic Storage RamDisc 1.00");
    sg.close(fd);
    EXPECT_EQ(emu.TraceLines().size(), 1u);
}

}  // namespace
