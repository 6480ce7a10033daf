// The drive search of Linux over what the system records of its disks (a folder of the
// test in place of sysfs).
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "link/device_state.h"
#include "link/pipe.h"
#include "link/system_records.h"

namespace {

// Only a drive that the system records as the controller is opened; another disk is
// reported from its record, as if it had answered; drives past sdz are tried after Z
// when they are the controller, printed with their letters. (The nodes of this test's
// drives do not exist: opening the controller's fails like an absent drive.)
TEST(DriveSearch, OpensOnlyWhatIsRecordedAsTheController) {
    ResetDeviceState();
    namespace fs = std::filesystem;
    const fs::path root = fs::path(testing::TempDir()) / ("qp7730-sys-" + std::to_string(getpid()));
    const struct {
        const char* disk;
        const char* vendor;
        const char* model;
        const char* rev;
    } disks[] = {
        {"sda", "ATA     ", "Samsung SSD 870 ", "2B6Q"},
        {"sdq", "Generic ", "Storage RamDisc ", "1.00"},
        {"sdab", "Generic ", "Storage RamDisc ", "1.01"},
        {"sdaaa", "Generic ", "Storage RamDisc ", "1.00"},
        {"sdaa", "Generic ", "Storage RamDisc ", "1.00"},
    };
    for (const auto& d : disks) {
        const fs::path device = root / "sys/block" / d.disk / "device";
        fs::create_directories(device);
        std::ofstream(device / "vendor") << d.vendor << "\n";
        std::ofstream(device / "model") << d.model << "\n";
        std::ofstream(device / "rev") << d.rev << "\n";
    }
    SetSystemRoot(root.string());
    const PipeBackend* const none[] = {nullptr};
    SetPipeBackends(none, 0);

    std::string expected;
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        expected += std::string("\nSearching for device in ") + letter + ":// ...\n";
        expected += letter == 'A' ? "Device found.\nDevName: ATA     Samsung SSD 870 2B6Q\n" : "-1: No device connected.\n";
    }
    expected += "\nSearching for device in AA:// ...\n-1: No device connected.\n";
    expected += "\nSearching for device in AAA:// ...\n-1: No device connected.\n";
    testing::internal::CaptureStdout();
    EXPECT_FALSE(FindDevice());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);

    std::vector<std::string> listed;
    for (const ControllerEntry& e : ListControllers()) listed.push_back(e.Kind + " " + e.Route + " " + e.Identity);
    EXPECT_EQ(listed, (std::vector<std::string>{"drive /dev/sdq Generic Storage RamDisc 1.00",
                                                "drive /dev/sdaa Generic Storage RamDisc 1.00",
                                                "drive /dev/sdaaa Generic Storage RamDisc 1.00"}));
    SetSystemRoot({});
    SetPipeBackends(nullptr, 0);
    ResetDeviceState();
    fs::remove_all(root);
}
}  // namespace
