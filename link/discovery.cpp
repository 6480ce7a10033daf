// Discovery: where the controller is looked for, in which order, and what is taken as
// the controller. Each route's own file knows how to reach a device; this one decides
// which routes are tried and proves every candidate with the same INQUIRY test.
//
// Order: the pipe routes (USB, then the emulator), then the drives. A pipe route prints
// nothing; the drives print the search lines of the drive letters.
#include "link/discovery.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "commands/commands.h"
#include "link/device_state.h"
#include "link/drive.h"
#include "link/pipe.h"
#include "link/pipe_emulator.h"
#include "link/report.h"

extern const PipeBackend kEmulatorPipeBackend;

// The pipe routes of this build, USB first.
const PipeBackend* const kPipeBackends[] = {&kUsbPipeBackend, &kEmulatorPipeBackend};
const int kPipeBackendCount = 2;

namespace {

const PipeBackend* const* g_pipeBackends = nullptr;  // a test's routes in place of the build's
int g_pipeBackendCount = 0;
std::string g_drivePath;  // the open drive, naming its run lock

const PipeBackend* const* Backends(int* count) {
    *count = g_pipeBackends ? g_pipeBackendCount : kPipeBackendCount;
    return g_pipeBackends ? g_pipeBackends : kPipeBackends;
}

// "/dev/sdX", "X:" or "X" (one letter, either case): the drive letter, else 0.
char DriveLetterOf(const std::string& route) {
    std::string letter;
    if (route.size() == 8 && route.compare(0, 7, "/dev/sd") == 0)
        letter = route.substr(7);
    else if (route.size() == 2 && route[1] == ':')
        letter = route.substr(0, 1);
    else if (route.size() == 1)
        letter = route;
    if (letter.size() != 1 || !std::isalpha(static_cast<unsigned char>(letter[0]))) return 0;
    return static_cast<char>(std::toupper(static_cast<unsigned char>(letter[0])));
}

// Opens one pipe route at `where` (empty: the route's own default) and keeps it when its
// INQUIRY names the controller.
bool FindPipeControllerAt(const PipeBackend& backend, const std::string& where) {
    DeviceState& ds = g_DeviceState;
    ds.TransportFn = BulkOnlyTransport;
    void* opened = backend.Open(where);
    if (opened == nullptr) {
        ds.hDevice = nullptr;
        return false;
    }
    auto* device = new PipeDevice{&backend, opened};
    ds.hDevice = device;
    // A run before this one may have been killed in the middle of a command: reset
    // recovery first, so that this run's first wrapper meets a device waiting for one.
    if (backend.ClassReset != nullptr) ResetRecovery(device);
    if (!device->Gone && Inquiry() && InquiryTextMatches()) {
        ds.TransportKind = kTransportBulkOnly;
        return true;
    }
    backend.Close(opened);
    delete static_cast<PipeDevice*>(ds.hDevice);
    ds.hDevice = nullptr;
    return false;
}

}  // namespace

void SetPipeBackends(const PipeBackend* const* backends, int count) {
    g_pipeBackends = backends;
    g_pipeBackendCount = backends ? count : 0;
}

bool UsbRouteBuilt() { return std::strcmp(kUsbPipeBackend.Name, "none") != 0; }

std::string EmulatorSocketPath() {
    const char* env = std::getenv("QP7730_EMULATOR");
    if (env != nullptr && env[0] != '\0') return env;
    return DefaultLocalEmulatorPath();
}

bool InquiryTextMatches() {
    TransferBuffer[36] = 0;
    return std::strcmp(reinterpret_cast<const char*>(TransferBuffer + 8), kControllerIdentity) == 0;
}

bool FindPipeController(const PipeBackend& backend) { return FindPipeControllerAt(backend, {}); }

namespace {


// The drive step of discovery for one drive, printed with its letters: a drive whose
// recorded identity is another's is reported as the search reports a drive that answered
// with that identity, without being opened; only the controller (or, where nothing is
// recorded, every drive) is opened and asked.
bool TryDriveAt(const std::string& letters, const std::string& path) {
    DeviceState& ds = g_DeviceState;
    ds.TransportFn = DriveIoControl;
    ds.hDevice = nullptr;
    std::string recorded;
    const DriveRecord record = LookUpDrive(path, &recorded);
    Say("\nSearching for device in %s:// ...\n", letters.c_str());
    if (record == DriveRecord::kAbsent) {
        Say("%d: No device connected.\n", FailedHandleValue(INVALID_HANDLE_VALUE));
        return false;
    }
    if (record == DriveRecord::kOther) {
        Say("Device found.\n");
        Say("DevName: %s\n", recorded.c_str());
        return false;
    }
    ds.hDevice = OpenDrive(path);
    if (ds.hDevice == INVALID_HANDLE_VALUE) {
        Say("%d: No device connected.\n", FailedHandleValue(ds.hDevice));
        HintUnopenedDrive(path, record);
    } else {
        if (Inquiry()) {
            const bool matches = InquiryTextMatches();
            Say("Device found.\n");
            Say("DevName: %s\n", reinterpret_cast<const char*>(TransferBuffer + 8));
            if (matches) {
                ds.TransportKind = kTransportDrive;
                g_drivePath = path;
                return true;
            }
        }
        CloseDrive(ds.hDevice);
    }
    ds.hDevice = nullptr;
    return false;
}

}  // namespace

bool TryDrive(char letter) { return TryDriveAt(std::string(1, letter), DrivePath(letter)); }

bool FindDevice() {
    int count = 0;
    const PipeBackend* const* backends = Backends(&count);
    for (int i = 0; i < count; ++i) {
        if (FindPipeController(*backends[i])) return true;
    }
    g_DeviceState.TransportFn = DriveIoControl;
    for (int index = 0; index < 26; ++index) {
        if (TryDrive(static_cast<char>('A' + index))) return true;
    }
    for (const auto& [letters, path] : DrivesPastZ()) {
        if (TryDriveAt(letters, path)) return true;
    }
    DriveSearchFoundNothing();
    return false;
}

bool FindDeviceAt(const char* route) {
    const std::string name = route ? route : "";
    if (name.empty()) return false;
    if (name == "usb") return FindPipeControllerAt(kUsbPipeBackend, {});
    if (name.starts_with("usb:")) return name.size() > 4 && FindPipeControllerAt(kUsbPipeBackend, name.substr(4));
    if (const char letter = DriveLetterOf(name)) return TryDrive(letter);
    for (const auto& [letters, path] : DrivesPastZ())
        if (path == name) return TryDriveAt(letters, path);
    return FindPipeControllerAt(kEmulatorPipeBackend, name);
}

std::string DeviceLocation() {
    const DeviceState& ds = g_DeviceState;
    if (ds.TransportKind == kTransportDrive) return g_drivePath;
    const auto* pipe = static_cast<const PipeDevice*>(ds.hDevice);
    return pipe->Backend->Location ? pipe->Backend->Location(pipe->Device) : pipe->Backend->Name;
}

void ForgetDiscovery() { g_drivePath.clear(); }

std::vector<ControllerEntry> ListControllers() {
    std::vector<ControllerEntry> entries;
    int count = 0;
    const PipeBackend* const* backends = Backends(&count);
    for (int i = 0; i < count; ++i) {
        if (backends[i]->List == nullptr) continue;
        for (ControllerEntry& e : backends[i]->List()) entries.push_back(std::move(e));
    }
    // The drives recorded as the controller, but for those already listed on USB.
    std::vector<std::string> paths;
    for (char letter = 'A'; letter <= 'Z'; ++letter) paths.push_back(DrivePath(letter));
    for (const auto& [letters, path] : DrivesPastZ()) paths.push_back(path);
    for (const std::string& path : paths) {
        std::string identity;
        if (LookUpDrive(path, &identity) != DriveRecord::kController) continue;
        bool listed = false;
        for (const ControllerEntry& e : entries) listed = listed || e.Drive == path;
        if (listed) continue;
        ControllerEntry e;
        e.Route = path;
        e.Kind = "drive";
        e.Drive = path;
        e.Identity = identity;
        entries.push_back(std::move(e));
    }
    return entries;
}
