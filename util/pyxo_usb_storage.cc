#include "pyxo_usb_storage.h"

#include <libudev.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <tuple>

#include <glib.h>

long pyxo_usb_storage_host_number(const char *name) {
    if (name == NULL || strncmp(name, "host", 4) != 0 || name[4] == '\0' ||
        strspn(name + 4, "0123456789") != strlen(name + 4) || strlen(name + 4) > 9)
        return -1;
    return strtol(name + 4, NULL, 10);
}

struct udev_device *pyxo_usb_storage_host(struct udev *udev, long number) {
    if (udev == NULL || number < 0)
        return NULL;
    std::string name = "host" + std::to_string(number);
    return udev_device_new_from_subsystem_sysname(udev, "scsi_host", name.c_str());
}

struct udev_device *pyxo_usb_storage_usb_device(struct udev_device *host) {
    if (host == NULL || !pyxo_usb_storage_driver(udev_device_get_sysattr_value(host, "proc_name")))
        return NULL;
    return udev_device_get_parent_with_subsystem_devtype(host, "usb", "usb_device");
}

std::vector<pyxo_scsi_device> pyxo_usb_storage_scsi_devices(struct udev *udev,
                                                            struct udev_device *host) {
    std::vector<pyxo_scsi_device> found;
    struct udev_device *bus_host = host != NULL ? udev_device_get_parent(host) : NULL;
    struct udev_enumerate *children = bus_host != NULL ? udev_enumerate_new(udev) : NULL;
    if (children == NULL)
        return found;
    udev_enumerate_add_match_parent(children, bus_host);
    udev_enumerate_add_match_sysname(children, "*:*:*:*");
    udev_enumerate_scan_devices(children);
    struct udev_list_entry *entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(children)) {
        const char *path = udev_list_entry_get_name(entry);
        const char *name = strrchr(path, '/');
        pyxo_scsi_device d;
        int end = 0;
        if (name == NULL ||
            sscanf(name + 1, "%ld:%ld:%ld:%ld%n", &d.host, &d.channel, &d.id, &d.lun, &end) != 4 ||
            name[1 + end] != '\0')
            continue;
        d.syspath = path;
        found.push_back(d);
    }
    udev_enumerate_unref(children);
    auto address = [](const pyxo_scsi_device &d) {
        return std::tie(d.host, d.channel, d.id, d.lun, d.syspath);
    };
    std::sort(found.begin(), found.end(),
              [&](const auto &a, const auto &b) { return address(a) < address(b); });
    // Class devices below a SCSI device (scsi_disk, bsg) carry its name: one
    // entry per address, the device itself, whose path is a prefix of theirs.
    found.erase(std::unique(found.begin(), found.end(),
                            [](const auto &a, const auto &b) {
                                return a.host == b.host && a.channel == b.channel && a.id == b.id &&
                                       a.lun == b.lun;
                            }),
                found.end());
    return found;
}

bool pyxo_usb_storage_serial_usable(const char *serial) {
    if (serial == NULL || serial[0] == '\0' || !g_utf8_validate(serial, -1, NULL))
        return false;
    for (const char *p = serial; *p; p = g_utf8_next_char(p)) {
        gunichar c = g_utf8_get_char(p);
        if (c < 0x20 || (c >= 0x7f && c <= 0x9f) || (c >= 0x202a && c <= 0x202e) ||
            (c >= 0x2066 && c <= 0x2069))
            return false;
    }
    return true;
}

// Four hexadecimal digits, as the kernel writes a USB id, in lower case; ""
// for anything else.
static std::string usb_id(struct udev_device *usb, const char *name) {
    const char *value = udev_device_get_sysattr_value(usb, name);
    if (value == NULL || strlen(value) != 4)
        return "";
    std::string id;
    for (int i = 0; i < 4; i++) {
        if (!g_ascii_isxdigit(value[i]))
            return "";
        id += g_ascii_tolower(value[i]);
    }
    return id;
}

std::string pyxo_usb_storage_identity(struct udev_device *usb) {
    std::string vendor = usb_id(usb, "idVendor"), product = usb_id(usb, "idProduct");
    if (vendor.empty() || product.empty())
        return "";
    const char *serial = udev_device_get_sysattr_value(usb, "serial");
    if (pyxo_usb_storage_serial_usable(serial))
        return vendor + product + serial;
    return pyxo_usb_storage_on_port(vendor + product, udev_device_get_sysname(usb));
}
