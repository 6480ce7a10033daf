// What Linux records about its disks and USB devices (sysfs, /proc), read without
// opening any of them: which SCSI disk is the controller, which disk a USB interface
// became, whether a filesystem of it is mounted or another run holds it.
//
// Every path is read under a root, "/" but for tests: SetSystemRoot, or the variable
// QP7730_TEST_SYSTEM_ROOT in a process that runs without extra privileges (never in a
// program given a capability or set-id). Device nodes themselves are opened where they are.
#pragma once
#include <string>
#include <vector>

void SetSystemRoot(const std::string& root);  // empty: the variable's rule again
std::string SystemPath(const std::string& path);

// The INQUIRY identity (vendor, model, revision: 28 characters) the kernel recorded for
// the SCSI disk ("sdb"); empty when there is no such disk.
std::string DiskIdentity(const std::string& disk);
// The SCSI disks past sdz ("sdaa", ...), in the kernel's order of names.
std::vector<std::string> DisksPastZ();
// The SCSI disks the USB interface became (bus, device address, interface number).
std::vector<std::string> DisksOfUsbInterface(int bus, int address, int interfaceNumber);
// A filesystem mounted from the disk or one of its partitions: its node ("/dev/sdb1"), or
// empty.
std::string MountedFrom(const std::string& disk);
// True when /proc/locks lists a flock on the disk's node (/dev/sdb), as a run on the
// drive route holds one.
bool DiskNodeLocked(const std::string& disk);
