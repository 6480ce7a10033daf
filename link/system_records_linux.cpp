#include "link/system_records.h"

#include <sys/auxv.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

std::string g_root;  // SetSystemRoot's

std::string Root() {
    if (!g_root.empty()) return g_root;
    // A program that runs with more rights than its user (a capability, set-id) takes no
    // such variable: it must not be told which disks it may open.
    if (getauxval(AT_SECURE) != 0) return {};
    const char* env = std::getenv("QP7730_TEST_SYSTEM_ROOT");
    return env != nullptr ? env : "";
}

// The first line of a file, without its line end; empty when it cannot be read.
std::string FirstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::string Attribute(const fs::path& dir, const char* name) { return FirstLine((dir / name).string()); }

// "8:16" of a disk or partition's directory.
std::string DevNumber(const fs::path& dir) { return Attribute(dir, "dev"); }

// The disk's own directory, and the directories of its partitions.
std::vector<fs::path> DiskAndPartitions(const std::string& disk) {
    std::vector<fs::path> dirs;
    std::error_code error;
    const fs::path dir = fs::canonical(SystemPath("/sys/block/" + disk), error);
    if (error) return dirs;
    dirs.push_back(dir);
    for (const auto& entry : fs::directory_iterator(dir, error))
        if (fs::exists(entry.path() / "partition")) dirs.push_back(entry.path());
    return dirs;
}

}  // namespace

void SetSystemRoot(const std::string& root) { g_root = root; }

std::string SystemPath(const std::string& path) { return Root() + path; }

std::string DiskIdentity(const std::string& disk) {
    const fs::path device = SystemPath("/sys/block/" + disk + "/device");
    std::error_code error;
    if (!fs::exists(device, error)) return {};
    // The kernel prints each field as it stands in the INQUIRY data (padded with spaces).
    return Attribute(device, "vendor") + Attribute(device, "model") + Attribute(device, "rev");
}

std::vector<std::string> DisksPastZ() {
    std::vector<std::string> disks;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(SystemPath("/sys/block"), error)) {
        const std::string name = entry.path().filename().string();
        if (name.size() > 3 && name.starts_with("sd") &&
            std::all_of(name.begin() + 2, name.end(), [](char c) { return c >= 'a' && c <= 'z'; }))
            disks.push_back(name);
    }
    // sdaa .. sdzz, then sdaaa ..: shorter names first.
    std::sort(disks.begin(), disks.end(), [](const std::string& a, const std::string& b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    return disks;
}

std::vector<std::string> DisksOfUsbInterface(int bus, int address, int interfaceNumber) {
    std::vector<std::string> disks;
    std::error_code error;
    for (const auto& device : fs::directory_iterator(SystemPath("/sys/bus/usb/devices"), error)) {
        const fs::path& dir = device.path();
        if (dir.filename().string().find(':') != std::string::npos) continue;
        if (std::atoi(Attribute(dir, "busnum").c_str()) != bus || std::atoi(Attribute(dir, "devnum").c_str()) != address)
            continue;
        for (const auto& child : fs::directory_iterator(dir, error)) {
            if (child.path().filename().string().find(':') == std::string::npos) continue;
            if (std::strtol(Attribute(child.path(), "bInterfaceNumber").c_str(), nullptr, 16) != interfaceNumber)
                continue;
            // host*/target*/H:C:T:L/block/sdX below the interface.
            for (auto it = fs::recursive_directory_iterator(child.path(), error); it != fs::recursive_directory_iterator();
                 it.increment(error)) {
                if (error) break;
                if (it.depth() > 5) it.disable_recursion_pending();
                if (it->path().filename() == "block" && it->is_directory()) {
                    for (const auto& disk : fs::directory_iterator(it->path(), error))
                        disks.push_back(disk.path().filename().string());
                    it.disable_recursion_pending();
                }
            }
        }
    }
    std::sort(disks.begin(), disks.end());
    return disks;
}

std::string MountedFrom(const std::string& disk) {
    std::vector<std::pair<std::string, std::string>> numbers;  // dev number, node name
    for (const fs::path& dir : DiskAndPartitions(disk)) numbers.emplace_back(DevNumber(dir), dir.filename().string());
    std::ifstream in(SystemPath("/proc/self/mountinfo"));
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, parent, number;
        fields >> id >> parent >> number;
        for (const auto& [dev, name] : numbers)
            if (!dev.empty() && dev == number) return "/dev/" + name;
    }
    return {};
}

bool DiskNodeLocked(const std::string& disk) {
    struct stat st {};
    if (stat(SystemPath("/dev/" + disk).c_str(), &st) != 0) return false;
    char key[64];
    std::snprintf(key, sizeof key, " %02x:%02x:%llu ", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    std::ifstream in(SystemPath("/proc/locks"));
    std::string line;
    while (std::getline(in, line))
        if (line.find("FLOCK") != std::string::npos && (line + " ").find(key) != std::string::npos) return true;
    return false;
}
