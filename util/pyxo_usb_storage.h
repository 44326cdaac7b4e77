// What sysfs says of a USB storage medium, as the daemon's sysfs source,
// pyxo-watch and pyxo-eject all read it: which SCSI hosts belong to the
// kernel's USB storage drivers, the SCSI devices below such a host, and the
// identity a stick gives itself. Read through libudev; not part of the
// installed utility library.
#pragma once

#include <string.h>

#include <string>
#include <vector>

struct udev;
struct udev_device;

// The kernel's two USB storage drivers, Bulk-Only Transport ("usb-storage")
// and USB Attached SCSI ("uas"), as a host's proc_name attribute names them.
inline bool pyxo_usb_storage_driver(const char *proc_name) {
    return proc_name != NULL &&
           (strcmp(proc_name, "usb-storage") == 0 || strcmp(proc_name, "uas") == 0);
}

// N of "hostN", or -1 for any other name.
long pyxo_usb_storage_host_number(const char *name);

// The scsi_host class device "hostN" (a reference the caller drops), or
// NULL when there is none.
struct udev_device *pyxo_usb_storage_host(struct udev *udev, long number);

// The USB device of scsi_host class device `host` (owned by `host`), or
// NULL when the host is no USB storage host.
struct udev_device *pyxo_usb_storage_usb_device(struct udev_device *host);

// One SCSI device (H:C:T:L) below a host.
struct pyxo_scsi_device {
    std::string syspath;
    long host, channel, id, lun;
};

// The SCSI devices below the scsi_host class device `host` (its parent is
// the host of the SCSI bus, above the targets), in H:C:T:L order.
std::vector<pyxo_scsi_device> pyxo_usb_storage_scsi_devices(struct udev *udev,
                                                            struct udev_device *host);

// Whether a serial attribute can name a medium: it is printed in the log
// line and by servants on terminals, where control characters (C0, DEL, C1)
// and the bidirectional overrides and isolates could break the line or make
// it say something else. Bytes that are no UTF-8 are not text at all.
bool pyxo_usb_storage_serial_usable(const char *serial);

// The identity the USB device `usb` of a stick gives itself: its two ids
// (four lower-case hexadecimal digits each) and its serial; without a
// usable serial, the ids, a colon and the device's sysfs name, its port.
// Empty when the ids are not there.
std::string pyxo_usb_storage_identity(struct udev_device *usb);

// The longer name of a stick whose identity another one present holds (a
// clone): the identity, a colon and its port.
inline std::string pyxo_usb_storage_on_port(const std::string &identity, const std::string &port) {
    return identity + ":" + port;
}
