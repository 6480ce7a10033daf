// The USB route on Linux: the controller's bulk interface through libusb-1.0.
//
// The controller is the device 3a7c:7730; of its active configuration the interface whose
// default setting has the bulk endpoints 0x02 (OUT) and 0x81 (IN) is used. Of several
// such devices the first in libusb's list that this run can claim is used. The route takes the interface only when no
// kernel driver holds it: a controller bound to the mass-storage driver is served by the
// drive route, so this one never detaches a driver and finds nothing, silently.
//
// The claim of the interface is the run lock of this route. Claiming needs the usbfs node
// opened for writing (the kernel refuses usbfs requests on a read-only descriptor), so
// only a user who may use the controller can hold it, and the kernel drops it with the
// descriptor. A claim refused while the interface's driver is usbfs is another process
// holding it: another run, whose end is waited for like any run lock's. The kernel gives
// the interface to one driver at a time, so a run here and a run through the drive route
// (which exists only while the mass-storage driver holds the interface) cannot overlap.
#include <libusb.h>

#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "link/device_state.h"
#include "link/pipe.h"
#include "link/report.h"
#include "link/run_lock.h"
#include "link/system_records.h"

namespace {

constexpr uint16_t kVendorId = 0x3a7c;
constexpr uint16_t kProductId = 0x7730;

struct UsbPipe {
    libusb_device_handle* handle;
    int interfaceNumber;
    int lastError;
    bool detached;  // this run took the interface from usb-storage: given back at the end
};

// One libusb context for the process, made by the first open and ended when the last
// device opened through it is closed (or an open fails with nothing else open), so that
// every run and every test starts from a fresh enumeration.
libusb_context* g_context = nullptr;
int g_openDevices = 0;

void ReleaseContextIfUnused() {
    if (g_context != nullptr && g_openDevices == 0) {
        libusb_exit(g_context);
        g_context = nullptr;
    }
}

bool IsBulkEndpoint(const libusb_endpoint_descriptor& ep, uint8_t address) {
    return ep.bEndpointAddress == address && (ep.bmAttributes & 0x03) == LIBUSB_TRANSFER_TYPE_BULK;
}

// The number of the interface whose default setting has both bulk pipes, or -1.
int FindBulkInterface(libusb_device* device) {
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) != 0) return -1;
    int found = -1;
    for (int i = 0; i < config->bNumInterfaces && found < 0; ++i) {
        const libusb_interface& iface = config->interface[i];
        if (iface.num_altsetting < 1) continue;
        const libusb_interface_descriptor& setting = iface.altsetting[0];
        bool out = false, in = false;
        for (int e = 0; e < setting.bNumEndpoints; ++e) {
            out = out || IsBulkEndpoint(setting.endpoint[e], kPipeOut);
            in = in || IsBulkEndpoint(setting.endpoint[e], kPipeIn);
        }
        if (out && in) found = setting.bInterfaceNumber;
    }
    libusb_free_config_descriptor(config);
    return found;
}

// The ports from the root hub, "4.2"; empty for a device libusb places on no port.
std::string PortsOf(libusb_device* device) {
    uint8_t ports[8];
    const int n = libusb_get_port_numbers(device, ports, sizeof ports);
    std::string text;
    for (int i = 0; i < n; ++i) text += (i ? "." : "") + std::to_string(ports[i]);
    return text;
}

// The place of a device as a named route gives it: "BUS" or "BUS-PORTS".
std::string PlaceOf(libusb_device* device) {
    const std::string ports = PortsOf(device);
    return std::to_string(libusb_get_bus_number(device)) + (ports.empty() ? "" : "-" + ports);
}

struct Candidate {
    libusb_device* device;  // referenced
    int interfaceNumber;
};

// The controllers in libusb's list (at `where` when given), in its order, referenced.
std::vector<Candidate> FindControllers(const std::string& where) {
    std::vector<Candidate> found;
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(g_context, &list);
    if (count < 0) return found;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(list[i], &desc) != 0) continue;
        if (desc.idVendor != kVendorId || desc.idProduct != kProductId) continue;
        if (!where.empty() && PlaceOf(list[i]) != where) continue;
        const int number = FindBulkInterface(list[i]);
        if (number < 0) continue;
        found.push_back({libusb_ref_device(list[i]), number});
    }
    libusb_free_device_list(list, 1);
    return found;
}

// Bus and address name the device for as long as it stays plugged in.
std::string LocationOf(libusb_device_handle* handle) {
    libusb_device* dev = libusb_get_device(handle);
    char name[32];
    snprintf(name, sizeof name, "usb-%03u-%03u", libusb_get_bus_number(dev), libusb_get_device_address(dev));
    return name;
}

// True when another process holds the interface through usbfs (libusb reports no kernel
// driver for usbfs itself).
bool ClaimedByAnotherRun(libusb_device_handle* handle, int interfaceNumber, int claimResult) {
    return claimResult == LIBUSB_ERROR_BUSY && libusb_kernel_driver_active(handle, interfaceNumber) == 0;
}

// "1-4 (/dev/bus/usb/001/005)": the place and the node, for the user.
std::string NodeOf(libusb_device* device) {
    char node[40];
    snprintf(node, sizeof node, " (/dev/bus/usb/%03u/%03u)", libusb_get_bus_number(device),
             libusb_get_device_address(device));
    return PlaceOf(device) + node;
}

// One attempt to have the interface: claimed when it is free; taken from usb-storage for
// the run when that driver holds it, no filesystem of its disk is mounted and no run on
// the drive route has the disk (its flock); else held by another run, or left alone.
LockTry TryTake(libusb_device_handle* handle, int interfaceNumber, bool* detached, std::string* why) {
    libusb_device* device = libusb_get_device(handle);
    const int driver = libusb_kernel_driver_active(handle, interfaceNumber);
    if (driver == 1) {
        const std::vector<std::string> disks =
            DisksOfUsbInterface(libusb_get_bus_number(device), libusb_get_device_address(device), interfaceNumber);
        for (const std::string& disk : disks) {
            const std::string mounted = MountedFrom(disk);
            if (!mounted.empty()) {
                *why = mounted + " is mounted";
                Hint("qp7730: the controller on USB %s is left to usb-storage: %s is mounted (unmount it to use "
                     "the controller)\n",
                     NodeOf(device).c_str(), mounted.c_str());
                return LockTry::kFailed;
            }
            if (DiskNodeLocked(disk)) return LockTry::kHeld;  // a run on the drive route has it
        }
        const int rc = libusb_detach_kernel_driver(handle, interfaceNumber);
        if (rc != 0) {
            *why = std::string("taking interface ") + std::to_string(interfaceNumber) + " from usb-storage: " +
                   libusb_error_name(rc);
            if (rc == LIBUSB_ERROR_ACCESS)
                Hint("qp7730: the controller on USB %s cannot be taken from usb-storage (permission denied): install "
                     "the udev rule 70-qp7730.rules and replug it, or run as root\n",
                     NodeOf(device).c_str());
            return LockTry::kFailed;
        }
        *detached = true;
    } else if (driver != 0) {
        *why = std::string("no way to tell the driver of interface ") + std::to_string(interfaceNumber);
        return LockTry::kFailed;
    }
    const int rc = libusb_claim_interface(handle, interfaceNumber);
    if (rc == 0) return LockTry::kTaken;
    if (*detached) {
        libusb_attach_kernel_driver(handle, interfaceNumber);
        *detached = false;
    }
    if (ClaimedByAnotherRun(handle, interfaceNumber, rc)) return LockTry::kHeld;
    *why = "claiming interface " + std::to_string(interfaceNumber) + ": " + libusb_error_name(rc);
    return LockTry::kFailed;
}

// Waits for the run that holds the interface (held just now). A run that does not get it
// ends as a busy one, with nothing left open.
void WaitForClaim(libusb_device_handle* handle, int interfaceNumber, bool* detached) {
    bool heldJustNow = true;
    const bool taken = WaitForTurn(LocationOf(handle), [&](std::string* why) {
        if (heldJustNow) {
            heldJustNow = false;
            return LockTry::kHeld;
        }
        return TryTake(handle, interfaceNumber, detached, why);
    });
    if (taken) return;
    libusb_close(handle);
    ReleaseContextIfUnused();
    EndRun(-1, RunError::kBusy);
}

// Of the controllers at `where`, the first whose interface this run can have now. When
// every one that answers is held by another run, the first of those is waited for.
void* UsbOpen(const std::string& where) {
    if (g_context == nullptr && libusb_init(&g_context) != 0) {
        // No USB in this machine (no usbfs, as in many containers): nothing to find.
        g_context = nullptr;
        return nullptr;
    }
    libusb_device_handle* claimed = nullptr;
    libusb_device_handle* held = nullptr;  // the first one another run holds
    int claimedInterface = -1, heldInterface = -1;
    bool detached = false;
    for (const Candidate& c : FindControllers(where)) {
        libusb_device_handle* handle = nullptr;
        if (claimed == nullptr) {
            const int rc = libusb_open(c.device, &handle);
            if (rc == LIBUSB_ERROR_ACCESS)
                Hint("qp7730: the controller on USB %s may not be opened by this user (permission denied): install "
                     "the udev rule 70-qp7730.rules (it gives the user at the seat the device) and replug it, or run "
                     "as root\n",
                     NodeOf(c.device).c_str());
            if (rc != 0) handle = nullptr;
        }
        if (handle != nullptr) {
            std::string why;
            const LockTry got = TryTake(handle, c.interfaceNumber, &detached, &why);
            if (got == LockTry::kTaken) {
                claimed = handle;
                claimedInterface = c.interfaceNumber;
            } else if (got == LockTry::kHeld && held == nullptr) {
                held = handle;
                heldInterface = c.interfaceNumber;
            } else {
                libusb_close(handle);
            }
        }
        libusb_unref_device(c.device);
    }
    if (claimed != nullptr && held != nullptr) libusb_close(held);
    if (claimed == nullptr && held != nullptr) {
        WaitForClaim(held, heldInterface, &detached);
        claimed = held;
        claimedInterface = heldInterface;
    }
    if (claimed == nullptr) {
        ReleaseContextIfUnused();
        return nullptr;
    }
    ++g_openDevices;
    return new UsbPipe{claimed, claimedInterface, 0, detached};
}

// Every controller on the bus, by place; nothing is opened.
std::vector<ControllerEntry> UsbList() {
    std::vector<ControllerEntry> entries;
    if (g_context == nullptr && libusb_init(&g_context) != 0) {
        g_context = nullptr;
        return entries;
    }
    for (const Candidate& c : FindControllers({})) {
        ControllerEntry e;
        e.Route = "usb:" + PlaceOf(c.device);
        e.Kind = "usb";
        e.UsbBus = libusb_get_bus_number(c.device);
        e.UsbPort = PortsOf(c.device);
        // While usb-storage holds it, the kernel has made a disk of it and recorded its identity.
        const std::vector<std::string> disks =
            DisksOfUsbInterface(e.UsbBus, libusb_get_device_address(c.device), c.interfaceNumber);
        if (!disks.empty()) {
            e.Drive = "/dev/" + disks.front();
            e.Identity = DiskIdentity(disks.front());
        }
        entries.push_back(std::move(e));
        libusb_unref_device(c.device);
    }
    ReleaseContextIfUnused();
    return entries;
}

// libusb's codes in the adapter's terms. Unplugged, or reset away by the kernel, is gone:
// the handle will not work again.
TransferResult ResultOf(UsbPipe* usb, int rc) {
    usb->lastError = rc;
    switch (rc) {
    case 0: return TransferResult::kGood;
    case LIBUSB_ERROR_PIPE: return TransferResult::kStalled;
    case LIBUSB_ERROR_NO_DEVICE: return TransferResult::kGone;
    default: return TransferResult::kError;
    }
}

TransferResult UsbTransfer(void* device, uint8_t pipe, uint8_t* buf, uint32_t len, uint32_t* moved) {
    auto* usb = static_cast<UsbPipe*>(device);
    if (len > INT_MAX) return ResultOf(usb, LIBUSB_ERROR_INVALID_PARAM);
    int transferred = 0;
    // The synchronous call cancels a transfer that runs past the bound before it returns.
    const int rc = libusb_bulk_transfer(usb->handle, pipe, buf, static_cast<int>(len), &transferred, kPipeTimeoutMs);
    *moved = static_cast<uint32_t>(transferred);
    const TransferResult r = ResultOf(usb, rc);
    return r == TransferResult::kGood && *moved < len ? TransferResult::kShort : r;
}

// CLEAR_FEATURE(ENDPOINT_HALT); libusb resets the host's side of the pipe (its data
// toggle) with it.
TransferResult UsbClearHalt(void* device, uint8_t pipe) {
    auto* usb = static_cast<UsbPipe*>(device);
    return ResultOf(usb, libusb_clear_halt(usb->handle, pipe));
}

// Bulk-Only Mass Storage Reset to the interface, bounded like every transfer.
TransferResult UsbClassReset(void* device) {
    auto* usb = static_cast<UsbPipe*>(device);
    const int rc = libusb_control_transfer(usb->handle, bot::kRequestTypeClassToInterface, bot::kRequestReset, 0,
                                           static_cast<uint16_t>(usb->interfaceNumber), nullptr, 0, kPipeTimeoutMs);
    return ResultOf(usb, rc < 0 ? rc : 0);
}

int UsbLastError(void* device) { return static_cast<UsbPipe*>(device)->lastError; }

std::string UsbLocation(void* device) { return LocationOf(static_cast<UsbPipe*>(device)->handle); }

void UsbClose(void* device) {
    auto* usb = static_cast<UsbPipe*>(device);
    if (usb == nullptr) return;
    libusb_release_interface(usb->handle, usb->interfaceNumber);
    // usb-storage gets back what this run took from it; the disk comes back with it.
    if (usb->detached) libusb_attach_kernel_driver(usb->handle, usb->interfaceNumber);
    libusb_close(usb->handle);
    delete usb;
    --g_openDevices;
    ReleaseContextIfUnused();
}

std::string UsbErrorText(int code) {
    return std::string(libusb_strerror(code)) + " (" + libusb_error_name(code) + ", " + std::to_string(code) + ")";
}

}  // namespace

extern const PipeBackend kUsbPipeBackend = {"libusb",    UsbOpen,     UsbTransfer,  UsbLastError,  UsbClose,    UsbLocation,
                                           UsbClearHalt, UsbClassReset, nullptr, UsbList,  UsbErrorText};
