// Taking a USB storage medium away safely, as pyxo-eject and pyxo-watch's
// "Safely remove" action both do it: find the USB device behind a block
// device, a SCSI host or a stick's name; refuse while any volume of any of
// its disks is in use; flush the disks, delete the host's SCSI devices and
// remove the USB device, so that its port can power it off.
//
// Everything is read from sysfs through libudev and from this process's
// /proc; nothing is written before every check has passed, and a step that
// fails stops the rest and says what was done before it.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct udev;

// What came of it; pyxo-eject's exit statuses.
enum eject_status {
    EJECT_DONE = 0,
    // In use, several sticks answer to the name, a volume that would not
    // unmount, or not on USB storage: nothing was removed.
    EJECT_REFUSED = 1,
    EJECT_USAGE = 2,
    // No such thing: not a block device, gone from sysfs, no stick gives
    // that name.
    EJECT_NOT_FOUND = 3,
    // An attribute that must be written, or a disk that must be flushed,
    // is not open to this user: nothing was done.
    EJECT_NOT_PERMITTED = 4,
    // A step failed after the checks had passed; the message says which,
    // why, and what was done before it.
    EJECT_FAILED = 5,
};

// A disk or a partition of the medium.
struct eject_volume {
    std::string node;     // "/dev/sdb1"
    std::string syspath;  // its block device's
    dev_t device = 0;     // from its dev attribute: what the mount table names
    bool disk = false;    // a whole disk, flushed; else a partition
    bool empty = false;   // a disk without a medium (a card reader's empty slot)
};

struct eject_medium {
    std::string identity;     // what the stick calls itself (pyxo_usb_storage_identity)
    std::string port;         // the USB device's sysfs name
    std::string usb_syspath;  // the USB device's
    std::vector<std::string> scsi_devices;  // syspaths, in H:C:T:L order
    std::vector<eject_volume> volumes;      // each disk followed by its partitions
};

// The medium behind `device`: a path to a block device (a disk or one of
// its partitions) when it starts with '/', else a stick's name as pyxo-watch
// prints it: the identity a stick gives itself names the one stick that
// gives it, and IDENTITY:PORT the one on that port. Fills `why` with the
// reason when it is not EJECT_DONE.
eject_status eject_find(struct udev *udev, const char *device, eject_medium *medium,
                        std::string *why);
// The medium of SCSI host hostN.
eject_status eject_find_host(struct udev *udev, int host, eject_medium *medium, std::string *why);

// Checks that nothing of `medium` is in use (with `unmount`, its plain
// mounts are unmounted first: the last mounted first, stopping at the first
// that fails) and that this user may remove it, then flushes its disks,
// deletes its SCSI devices and removes its USB device. `said` gets the
// lines that tell what is in use, what failed, or that it was done.
eject_status eject_remove(const eject_medium &medium, bool unmount, std::vector<std::string> *said);
