#include "watch_medium.h"

#include <errno.h>
#include <fcntl.h>
#include <libudev.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <functional>

#include <glib.h>

#include "mount_guess_fstype.h"
#include "pyxo_usb_storage.h"

bool watch_medium_is_usb_host(struct udev *udev, int host) {
    if (udev == NULL || host < 0)
        return false;
    std::string name = "host" + std::to_string(host);
    struct udev_device *d = udev_device_new_from_subsystem_sysname(udev, "scsi_host", name.c_str());
    if (d == NULL)
        return false;
    const char *driver = udev_device_get_sysattr_value(d, "proc_name");
    bool usb = pyxo_usb_storage_driver(driver);
    udev_device_unref(d);
    return usb;
}

// The attribute without the blanks SCSI pads it with; "" when missing.
static std::string trimmed(struct udev_device *d, const char *name) {
    const char *value = d != NULL ? udev_device_get_sysattr_value(d, name) : NULL;
    if (value == NULL)
        return "";
    gchar *copy = g_strstrip(g_strdup(value));
    std::string out = copy;
    g_free(copy);
    return out;
}

// Calls `each` for every device below `parent` (itself left out) of
// `subsystem` whose DEVTYPE is `devtype`.
static void children(struct udev *udev, struct udev_device *parent, const char *subsystem,
                     const char *devtype, const std::function<void(struct udev_device *)> &each) {
    struct udev_enumerate *e = udev_enumerate_new(udev);
    if (e == NULL)
        return;
    udev_enumerate_add_match_parent(e, parent);
    udev_enumerate_add_match_subsystem(e, subsystem);
    udev_enumerate_add_match_property(e, "DEVTYPE", devtype);
    udev_enumerate_scan_devices(e);
    struct udev_list_entry *entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e)) {
        const char *path = udev_list_entry_get_name(entry);
        if (strcmp(path, udev_device_get_syspath(parent)) == 0)
            continue;
        struct udev_device *d = udev_device_new_from_syspath(udev, path);
        if (d == NULL)
            continue;  // gone since the enumeration
        each(d);
        udev_device_unref(d);
    }
    udev_enumerate_unref(e);
}

static std::string node_of(struct udev_device *block) {
    const char *node = udev_device_get_devnode(block);
    return node != NULL ? node : std::string("/dev/") + udev_device_get_sysname(block);
}

// The block device of SCSI device `scsi`, with its partitions in their
// order (or the disk itself when it has none).
static void add_block_device(struct udev *udev, struct udev_device *scsi, watch_disk &disk) {
    children(udev, scsi, "block", "disk", [&](struct udev_device *block) {
        if (!disk.device.empty())
            return;
        disk.device = node_of(block);
        disk.syspath = udev_device_get_syspath(block);
        disk.recorded = udev_device_get_is_initialized(block);
        const char *size = udev_device_get_sysattr_value(block, "size");
        disk.size = size != NULL ? strtoll(size, NULL, 10) * 512 : 0;
        std::vector<std::pair<long, std::string>> parts;
        children(udev, block, "block", "partition", [&](struct udev_device *part) {
            const char *number = udev_device_get_sysattr_value(part, "partition");
            parts.push_back({number != NULL ? strtol(number, NULL, 10) : 0, node_of(part)});
        });
        std::sort(parts.begin(), parts.end());
        for (auto &p : parts)
            disk.partitions.push_back({p.second, nullptr});
        if (parts.empty())
            disk.partitions.push_back({disk.device, nullptr});
    });
}

std::vector<watch_disk> watch_medium_disks(struct udev *udev, int host, bool *complete) {
    std::vector<watch_disk> disks;
    *complete = false;
    std::string name = "host" + std::to_string(host);
    struct udev_device *host_class =
        udev_device_new_from_subsystem_sysname(udev, "scsi_host", name.c_str());
    // The class device's parent is the host of the scsi bus, above its targets.
    struct udev_device *bus_host = host_class ? udev_device_get_parent(host_class) : NULL;
    struct udev_device *usb =
        host_class ? udev_device_get_parent_with_subsystem_devtype(host_class, "usb", "usb_device")
                   : NULL;
    std::vector<std::pair<std::array<int, 3>, watch_disk>> found;  // by channel, id, lun
    bool all_there = true;
    if (bus_host != NULL) {
        children(udev, bus_host, "scsi", "scsi_device", [&](struct udev_device *scsi) {
            // Disk, CD-ROM, optical memory, simplified disk: what has a medium.
            const char *type = udev_device_get_sysattr_value(scsi, "type");
            int t = type != NULL ? atoi(type) : -1;
            if (t != 0 && t != 5 && t != 7 && t != 14)
                return;
            int h, c, i, l;
            if (sscanf(udev_device_get_sysname(scsi), "%d:%d:%d:%d", &h, &c, &i, &l) != 4)
                return;
            watch_disk disk;
            disk.vendor = trimmed(scsi, "vendor");
            disk.model = trimmed(scsi, "model");
            add_block_device(udev, scsi, disk);
            all_there = all_there && !disk.device.empty();
            found.push_back({{c, i, l}, disk});
        });
    }
    std::sort(found.begin(), found.end(),
              [](const auto &a, const auto &b) { return a.first < b.first; });
    for (auto &f : found)
        disks.push_back(f.second);
    *complete = !disks.empty() && all_there;
    if (disks.empty())
        disks.emplace_back();
    // SCSI inquiry strings may be blank: the USB device's own names then.
    for (watch_disk &disk : disks) {
        if (disk.vendor.empty())
            disk.vendor = trimmed(usb, "manufacturer");
        if (disk.model.empty())
            disk.model = trimmed(usb, "product");
    }
    if (host_class != NULL)
        udev_device_unref(host_class);
    return disks;
}

void watch_medium_probe(watch_disk &disk) {
    static bool said = false;
    for (watch_partition &p : disk.partitions) {
        p.type = do_guess_fstype(p.device.c_str());
        if (p.type != NULL || said)
            continue;
        // The probe does not say why it found nothing: a device it could not
        // open is told apart from one without a known signature here.
        int fd = open(p.device.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            close(fd);
            continue;
        }
        fprintf(stderr,
                "pyxo-watch: cannot open %s: %s; the filesystem types of devices that cannot be "
                "opened are shown as unknown\n",
                p.device.c_str(), strerror(errno));
        said = true;
    }
}
