// Finding the controller: the routes in the order they are tried, one named route, and
// the list of the controllers attached. The one place that says where a controller is
// looked for (link/discovery.cpp); the routes themselves live in their own files.
#pragma once
#include <string>
#include <vector>

// Identity text of the controller, compared over all 28 characters.
constexpr const char* kControllerIdentity = "Generic Storage RamDisc 1.00";
// True when TransferBuffer holds an INQUIRY reply naming the controller. Terminates the
// identity text at offset 36 first.
bool InquiryTextMatches();

// Searches every route in turn (USB, the emulator, the drives) and leaves the first
// controller found open in DeviceState.
bool FindDevice();
// Opens the controller at one named route instead of searching them all: "usb" (the
// first controller on USB that can be claimed), "usb:BUS-PORTS" (the one at that place,
// as ListControllers names it), a drive ("/dev/sdX", "X:" or the letter alone), or an
// emulator address ("tcp:HOST:PORT" or a socket path). Leaves nothing open when no
// controller answers there.
bool FindDeviceAt(const char* route);
// The drive step of discovery for one letter: opens the drive, reports it like the
// search does, and keeps it open when its INQUIRY names the controller.
bool TryDrive(char letter);
// Where the open device is (a drive path, USB bus and address, emulator address).
std::string DeviceLocation();
// Forgets what discovery kept about the open device; CloseDevice calls it.
void ForgetDiscovery();

// One controller attached to this machine, found without sending it anything.
struct ControllerEntry {
    std::string Route;     // what FindDeviceAt (and qp7730_open) takes to open this one
    std::string Kind;      // "usb", "drive" or "emulator"
    int UsbBus = 0;        // USB: the bus number; 0 otherwise
    std::string UsbPort;   // USB: the ports from the root hub ("4.2"); empty otherwise
    std::string Drive;     // the SCSI disk the system made of it ("/dev/sdb"), or empty
    std::string Identity;  // the INQUIRY identity as the system recorded it, or empty
};
// The controllers attached, in the order discovery tries them. Opens no drive and claims
// nothing; prints nothing.
std::vector<ControllerEntry> ListControllers();

// The emulator route's address: QP7730_EMULATOR when set and not empty ("tcp:HOST:PORT"
// or a socket path), else the platform's default socket path (none on Windows).
std::string EmulatorSocketPath();

// False when this build has no USB route.
bool UsbRouteBuilt();
