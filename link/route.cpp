// Opening the controller at one named route instead of searching every route in turn.
#include <cctype>
#include <cstring>
#include <string>

#include "link/device_state.h"
#include "link/pipe.h"

namespace {

// The emulator address a named route asks for; empty when none is asked for.
std::string g_namedEmulator;

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

const PipeBackend* BackendNamed(const char* name) {
    for (int i = 0; i < kPipeBackendCount; ++i) {
        if (std::strcmp(kPipeBackends[i]->Name, name) == 0) return kPipeBackends[i];
    }
    return nullptr;
}

}  // namespace

const char* NamedEmulatorAddress() { return g_namedEmulator.empty() ? nullptr : g_namedEmulator.c_str(); }

void ForgetNamedRoute() { g_namedEmulator.clear(); }

bool UsbRouteBuilt() { return std::strcmp(kUsbPipeBackend.Name, "none") != 0; }

bool FindDeviceAt(const char* route) {
    const std::string name = route ? route : "";
    if (name.empty()) return false;
    if (name == "usb") return FindPipeController(kUsbPipeBackend);
    if (const char letter = DriveLetterOf(name)) return TryDrive(letter);

    const PipeBackend* emulator = BackendNamed("emulator");
    if (emulator == nullptr) return false;
    g_namedEmulator = name;
    const bool found = FindPipeController(*emulator);
    // The address stays in force while the device is open (CloseDevice forgets it).
    if (!found) ForgetNamedRoute();
    return found;
}
