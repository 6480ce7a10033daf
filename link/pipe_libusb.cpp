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
#include "link/run_lock.h"

namespace {

constexpr uint16_t kVendorId = 0x3a7c;
constexpr uint16_t kProductId = 0x7730;

struct UsbPipe {
    libusb_device_handle* handle;
    int interfaceNumber;
    int lastError;
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

// Waits for the run that holds the interface (its claim was refused just now). A run
// that does not get it ends as a busy one, with nothing left open.
void WaitForClaim(libusb_device_handle* handle, int interfaceNumber) {
    bool refusedJustNow = true;
    const bool taken = WaitForTurn(LocationOf(handle), [&](std::string* why) {
        if (!refusedJustNow) {
            const int rc = libusb_claim_interface(handle, interfaceNumber);
            if (rc == 0) return LockTry::kTaken;
            if (!ClaimedByAnotherRun(handle, interfaceNumber, rc)) {
                *why = "claiming interface " + std::to_string(interfaceNumber) + ": " + libusb_error_name(rc);
                return LockTry::kFailed;
            }
        }
        refusedJustNow = false;
        return LockTry::kHeld;
    });
    if (taken) return;
    libusb_close(handle);
    ReleaseContextIfUnused();
    EndRun(-1, RunError::kBusy);
}

// Of the controllers at `where`, the first whose interface this run can claim now. When
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
    for (const Candidate& c : FindControllers(where)) {
        libusb_device_handle* handle = nullptr;
        if (claimed == nullptr && libusb_open(c.device, &handle) == 0) {
            // A kernel driver on the interface (or no way to tell) leaves the device to it.
            const int rc = libusb_kernel_driver_active(handle, c.interfaceNumber) != 0
                               ? LIBUSB_ERROR_NOT_SUPPORTED
                               : libusb_claim_interface(handle, c.interfaceNumber);
            if (rc == 0) {
                claimed = handle;
                claimedInterface = c.interfaceNumber;
            } else if (held == nullptr && ClaimedByAnotherRun(handle, c.interfaceNumber, rc)) {
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
        WaitForClaim(held, heldInterface);
        claimed = held;
        claimedInterface = heldInterface;
    }
    if (claimed == nullptr) {
        ReleaseContextIfUnused();
        return nullptr;
    }
    ++g_openDevices;
    return new UsbPipe{claimed, claimedInterface, 0};
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
    libusb_close(usb->handle);
    delete usb;
    --g_openDevices;
    ReleaseContextIfUnused();
}

}  // namespace

extern const PipeBackend kUsbPipeBackend = {"libusb",     UsbOpen,      UsbTransfer,   UsbLastError,
                                           UsbClose,     UsbLocation,  UsbClearHalt,  UsbClassReset,
                                           nullptr,      UsbList};
