// Which SCSI hosts are USB storage media: those of the kernel's two USB
// storage drivers, Bulk-Only Transport ("usb-storage") and USB Attached SCSI
// ("uas"), as a host's proc_name attribute names them. The daemon's sysfs
// source and pyxo-watch's medium details both go by it.
#pragma once

#include <string.h>

inline bool pyxo_usb_storage_driver(const char *proc_name) {
    return proc_name != NULL &&
           (strcmp(proc_name, "usb-storage") == 0 || strcmp(proc_name, "uas") == 0);
}
