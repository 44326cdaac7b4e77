// What sysfs tells about the medium behind a SCSI host of a USB stick: its
// disks with maker, size and block devices, and the filesystem type on each
// partition as the probe's detection routine finds it.
#pragma once

#include <string>
#include <vector>

struct udev;

struct watch_partition {
    std::string device;  // "/dev/sdb1"; the disk's own node when it has no partitions
    const char *type;    // the probe's constant name, or null: none found or not readable
};

// One SCSI device below the host, as far as it is there.
struct watch_disk {
    std::string device;     // "/dev/sdb"; empty while it has no block device
    std::string syspath;    // the block device's
    bool recorded = false;  // udev has its record (has handled its add event)
    std::string vendor, model;
    long long size = -1;                      // bytes; -1 without a block device
    std::vector<watch_partition> partitions;  // types unset until watch_medium_probe
};

// Whether hostN is in sysfs as the host of a USB storage driver (usb-storage
// or uas): only such a host's disks are a USB medium's.
bool watch_medium_is_usb_host(struct udev *udev, int host);

// The SCSI devices below hostN that carry media (disks, optical drives),
// in H:C:T:L order. `complete` tells whether there is at least one and each
// has its block device. With none at all, one entry without a device that
// names the USB device's manufacturer and product.
std::vector<watch_disk> watch_medium_disks(struct udev *udev, int host, bool *complete);

// Probes each partition of `disk` (its whole device when it has none).
// The first device that cannot be opened is named on standard error with
// the reason, once per process: a user without access to disks sees the
// reason once rather than once per stick.
void watch_medium_probe(watch_disk &disk);
