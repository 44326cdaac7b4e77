#include "eject.h"

#include <errno.h>
#include <libudev.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>

#include "pyxo_mounts.h"
#include "pyxo_usb_storage.h"

static std::string numbers(dev_t device) {
    return std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

// The block devices below SCSI device `scsi`: its disk, then the disk's
// partitions (their syspaths start with the disk's).
static void add_volumes(struct udev *udev, const std::string &scsi,
                        std::vector<eject_volume> &volumes) {
    struct udev_device *parent = udev_device_new_from_syspath(udev, scsi.c_str());
    struct udev_enumerate *e = parent != NULL ? udev_enumerate_new(udev) : NULL;
    if (e != NULL) {
        udev_enumerate_add_match_parent(e, parent);
        udev_enumerate_add_match_subsystem(e, "block");
        udev_enumerate_scan_devices(e);
        std::vector<eject_volume> found;
        struct udev_list_entry *entry;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e)) {
            struct udev_device *d =
                udev_device_new_from_syspath(udev, udev_list_entry_get_name(entry));
            if (d == NULL)
                continue;  // gone since the enumeration
            eject_volume v;
            const char *node = udev_device_get_devnode(d);
            v.node = node != NULL ? node : std::string("/dev/") + udev_device_get_sysname(d);
            v.syspath = udev_device_get_syspath(d);
            v.device = pyxo_dev_number(udev_device_get_sysattr_value(d, "dev"));
            const char *type = udev_device_get_devtype(d);
            v.disk = type != NULL && strcmp(type, "disk") == 0;
            const char *size = udev_device_get_sysattr_value(d, "size");
            v.empty = v.disk && size != NULL && strcmp(size, "0") == 0;
            found.push_back(v);
            udev_device_unref(d);
        }
        std::sort(found.begin(), found.end(),
                  [](const auto &a, const auto &b) { return a.syspath < b.syspath; });
        volumes.insert(volumes.end(), found.begin(), found.end());
        udev_enumerate_unref(e);
    }
    if (parent != NULL)
        udev_device_unref(parent);
}

// The medium of scsi_host class device `host`.
static eject_status from_host(struct udev *udev, struct udev_device *host, eject_medium *medium,
                              std::string *why) {
    const char *name = udev_device_get_sysname(host);
    struct udev_device *usb = pyxo_usb_storage_usb_device(host);
    if (usb == NULL) {
        *why = std::string(name) + " is no USB storage host: only USB storage is removed";
        return EJECT_REFUSED;
    }
    medium->identity = pyxo_usb_storage_identity(usb);
    medium->port = udev_device_get_sysname(usb);
    medium->usb_syspath = udev_device_get_syspath(usb);
    for (const pyxo_scsi_device &d : pyxo_usb_storage_scsi_devices(udev, host)) {
        medium->scsi_devices.push_back(d.syspath);
        add_volumes(udev, d.syspath, medium->volumes);
    }
    return EJECT_DONE;
}

eject_status eject_find_host(struct udev *udev, int host, eject_medium *medium, std::string *why) {
    struct udev_device *d = pyxo_usb_storage_host(udev, host);
    if (d == NULL) {
        *why = "SCSI host host" + std::to_string(host) + " is gone";
        return EJECT_NOT_FOUND;
    }
    eject_status status = from_host(udev, d, medium, why);
    udev_device_unref(d);
    return status;
}

// The block device of number `device`: the kernel links
// /sys/dev/block/MAJOR:MINOR to it. Read here with readlink, which a
// testbed's preloaded sysfs follows, where libudev's own lookup does not.
static struct udev_device *block_device(struct udev *udev, dev_t device) {
    std::string link = "/sys/dev/block/" + numbers(device);
    char target[PATH_MAX];
    ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    if (length <= 0)
        return NULL;
    target[length] = '\0';
    if (target[0] == '/')
        return udev_device_new_from_syspath(udev, target);
    // "../../devices/…": a directory taken off "/sys/dev/block" for each "..".
    std::string path = "/sys/dev/block", rest = target;
    for (; rest.compare(0, 3, "../") == 0 && !path.empty(); rest.erase(0, 3))
        path.erase(path.rfind('/'));
    return udev_device_new_from_syspath(udev, (path + "/" + rest).c_str());
}

static eject_status find_path(struct udev *udev, const char *path, eject_medium *medium,
                              std::string *why) {
    struct stat st;
    if (stat(path, &st) != 0) {
        *why = std::string(path) + ": " + strerror(errno);
        return EJECT_NOT_FOUND;
    }
    if (!S_ISBLK(st.st_mode)) {
        *why = std::string(path) + " is not a block device";
        return EJECT_NOT_FOUND;
    }
    struct udev_device *block = block_device(udev, st.st_rdev);
    if (block == NULL) {
        *why =
            std::string(path) + ": sysfs has no block device " + numbers(st.st_rdev) + " (gone?)";
        return EJECT_NOT_FOUND;
    }
    struct udev_device *bus_host =
        udev_device_get_parent_with_subsystem_devtype(block, "scsi", "scsi_host");
    struct udev_device *host = bus_host != NULL
                                   ? udev_device_new_from_subsystem_sysname(
                                         udev, "scsi_host", udev_device_get_sysname(bus_host))
                                   : NULL;
    eject_status status = EJECT_REFUSED;
    if (host != NULL) {
        status = from_host(udev, host, medium, why);
        udev_device_unref(host);
    }
    if (status == EJECT_REFUSED)
        *why = std::string(path) + " is not on a USB storage device";
    udev_device_unref(block);
    return status;
}

// The sticks present that answer to `name`: the one on the port it names
// (IDENTITY:PORT), else each that gives it as its identity. The daemon
// gives a clone (a stick that gives an identity another one present holds)
// the longer name, and which of them holds the shorter one depends on the
// order they came in, which only the daemon knows: several answers are
// refused, naming the longer names.
static eject_status find_name(struct udev *udev, const char *name, eject_medium *medium,
                              std::string *why) {
    struct candidate {
        std::string host, identity, port;
    };
    std::vector<candidate> same, on_port;
    struct udev_enumerate *hosts = udev_enumerate_new(udev);
    if (hosts == NULL) {
        *why = "cannot read sysfs";
        return EJECT_NOT_FOUND;
    }
    udev_enumerate_add_match_subsystem(hosts, "scsi_host");
    udev_enumerate_scan_devices(hosts);
    struct udev_list_entry *entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(hosts)) {
        struct udev_device *h = udev_device_new_from_syspath(udev, udev_list_entry_get_name(entry));
        if (h == NULL)
            continue;
        if (struct udev_device *usb = pyxo_usb_storage_usb_device(h)) {
            candidate c = {udev_device_get_sysname(h), pyxo_usb_storage_identity(usb),
                           udev_device_get_sysname(usb)};
            if (pyxo_usb_storage_on_port(c.identity, c.port) == name)
                on_port.push_back(c);
            else if (!c.identity.empty() && c.identity == name)
                same.push_back(c);
        }
        udev_device_unref(h);
    }
    udev_enumerate_unref(hosts);
    std::vector<candidate> &found = on_port.empty() ? same : on_port;
    if (found.empty()) {
        *why = std::string("no USB stick here gives ") + name;
        return EJECT_NOT_FOUND;
    }
    if (found.size() > 1) {
        *why = std::string("several USB sticks give ") + name + ": name one as";
        for (size_t i = 0; i < found.size(); i++)
            *why += (i == 0                  ? " "
                     : i + 1 == found.size() ? " or "
                                             : ", ") +
                    pyxo_usb_storage_on_port(found[i].identity, found[i].port);
        return EJECT_REFUSED;
    }
    return eject_find_host(udev, (int)pyxo_usb_storage_host_number(found[0].host.c_str()), medium,
                           why);
}

eject_status eject_find(struct udev *udev, const char *device, eject_medium *medium,
                        std::string *why) {
    if (udev == NULL) {
        *why = "cannot read sysfs";
        return EJECT_NOT_FOUND;
    }
    return device[0] == '/' ? find_path(udev, device, medium, why)
                            : find_name(udev, device, medium, why);
}
