// The sysfs source: the SCSI hosts of the USB storage drivers as today's
// kernels show them, read through libudev, with a pass woken by each
// scsi_host event and at least every 3 seconds. A medium is a host whose
// proc_name is usb-storage or uas below a USB device; it is known by the
// device's ids and serial, and it is attached while its host exists.
#include <errno.h>
#include <libudev.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "pyxo_usb_storage.h"
#include "pyxod.h"

static struct udev *udev = NULL;
static struct udev_monitor *monitor = NULL;
// Hosts whose last event since the previous pass was a remove. The kernel
// sends that event before it takes the directory away, so the pass it wakes
// may still find the host: it counts as gone all the same. Owns its keys.
static GHashTable *removed = NULL;

// At most this many events are taken per wake-up, so that a flood of them
// cannot starve the passes and the signals.
static const int events_per_wake = 256;

int sysfs_open(void) {
    udev = udev_new();
    if (udev == NULL)
        return 0;
    removed = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, NULL);
    monitor = udev_monitor_new_from_netlink(udev, "udev");
    if (monitor != NULL &&
        (udev_monitor_filter_add_match_subsystem_devtype(monitor, "scsi_host", NULL) < 0 ||
         udev_monitor_enable_receiving(monitor) < 0))
        monitor = udev_monitor_unref(monitor);
    if (monitor == NULL)
        logprintf(LOG_WARNING, "Can't listen to udev events, polling every 3 seconds");
    return 1;
}

int sysfs_monitor_fd(void) {
    return monitor != NULL ? udev_monitor_get_fd(monitor) : -1;
}

int sysfs_take_events(void) {
    int taken = 0;
    while (monitor != NULL && taken < events_per_wake) {
        errno = 0;
        struct udev_device *device = udev_monitor_receive_device(monitor);
        if (device == NULL) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == 0)
                break;
            taken++;  // events lost to a full buffer (ENOBUFS): the pass finds them
            continue;
        }
        taken++;
        const char *action = udev_device_get_action(device);
        const char *path = udev_device_get_syspath(device);
        if (action != NULL && path != NULL) {
            if (strcmp(action, "remove") == 0)
                g_hash_table_add(removed, g_strdup(path));
            else if (strcmp(action, "add") == 0)
                g_hash_table_remove(removed, path);  // the same host back
        }
        udev_device_unref(device);
    }
    return taken;
}

// Four hexadecimal digits, as the kernel writes a USB id, in lower case into
// `out` (5 bytes). 0 for anything else.
static int usb_id(struct udev_device *usb, const char *name, char *out) {
    const char *value = udev_device_get_sysattr_value(usb, name);
    if (value == NULL || strlen(value) != 4)
        return 0;
    for (int i = 0; i < 4; i++) {
        if (!g_ascii_isxdigit(value[i]))
            return 0;
        out[i] = g_ascii_tolower(value[i]);
    }
    out[4] = '\0';
    return 1;
}

// The medium's identity: the two ids and the serial attribute as the kernel
// gives it. Without a usable serial (none, empty, or holding control bytes,
// which would break the log line), the ids, a colon and the USB device's
// sysfs name, its port: the same stick in the same port keeps its name.
// Newly allocated; NULL when the ids are not there.
static char *media_serial(struct udev_device *usb) {
    char vendor[5], product[5];
    if (!usb_id(usb, "idVendor", vendor) || !usb_id(usb, "idProduct", product))
        return NULL;
    const char *serial = udev_device_get_sysattr_value(usb, "serial");
    bool usable = serial != NULL && serial[0] != '\0';
    for (const char *p = serial; usable && *p; p++)
        usable = !g_ascii_iscntrl(*p);
    if (usable)
        return g_strconcat(vendor, product, serial, NULL);
    return g_strconcat(vendor, product, ":", udev_device_get_sysname(usb), NULL);
}

// N of "hostN", or -1 for any other name.
static long host_number(const char *name) {
    if (name == NULL || strncmp(name, "host", 4) != 0 || name[4] == '\0' ||
        strspn(name + 4, "0123456789") != strlen(name + 4) || strlen(name + 4) > 9)
        return -1;
    return strtol(name + 4, NULL, 10);
}

// Channel, target and lun of the host's first SCSI device (H:C:T:L, lowest
// first); left as they are while it has none.
static void first_device(struct udev_device *host, PYXO::media_ST *media) {
    // The class device's parent is the host of the scsi bus, above its targets.
    struct udev_device *bus_host = udev_device_get_parent(host);
    if (bus_host == NULL)
        return;
    struct udev_enumerate *children = udev_enumerate_new(udev);
    if (children == NULL)
        return;
    udev_enumerate_add_match_parent(children, bus_host);
    udev_enumerate_add_match_sysname(children, "*:*:*:*");
    udev_enumerate_scan_devices(children);
    long best[3] = {0, 0, 0};
    bool found = false;
    struct udev_list_entry *entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(children)) {
        const char *path = udev_list_entry_get_name(entry);
        const char *name = strrchr(path, '/');
        long h, c, t, l;
        int end = 0;
        if (name == NULL || sscanf(name + 1, "%ld:%ld:%ld:%ld%n", &h, &c, &t, &l, &end) != 4 ||
            name[1 + end] != '\0')
            continue;
        long now[3] = {c, t, l};
        if (!found || std::lexicographical_compare(now, now + 3, best, best + 3)) {
            best[0] = c, best[1] = t, best[2] = l;
            found = true;
        }
    }
    udev_enumerate_unref(children);
    media->scsi.s_channel = (CORBA::Short)best[0];
    media->scsi.s_id = (CORBA::Short)best[1];
    media->scsi.s_lun = (CORBA::Short)best[2];
}

// What one scsi_host device says: a fresh record when it is a USB storage
// host, else NULL.
static PYXO::media_ST *examine(struct udev_device *host) {
    const char *driver = udev_device_get_sysattr_value(host, "proc_name");
    if (!pyxo_usb_storage_driver(driver))
        return NULL;
    long number = host_number(udev_device_get_sysname(host));
    if (number < 0)
        return NULL;
    struct udev_device *usb =
        udev_device_get_parent_with_subsystem_devtype(host, "usb", "usb_device");
    if (usb == NULL)
        return NULL;
    char *serial = media_serial(usb);
    if (serial == NULL)
        return NULL;
    PYXO::media_ST *fresh = NULL;
    PYXO_media_ST_new(&fresh);
    fresh->serial = (const char *)serial;
    g_free(serial);
    fresh->attached = TRUE;
    fresh->scsi.s_bus = (CORBA::Short)number;  // the low 16 bits, as the /proc scan keeps them
    return fresh;
}

void sysfs_pass(int *reports) {
    int sent = 0;
    // The serials found in this pass: the first host of a serial wins, and
    // every other known medium is gone. Owns copies of its keys.
    GHashTable *seen = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, NULL);
    struct udev_enumerate *hosts = udev_enumerate_new(udev);
    if (hosts != NULL) {
        udev_enumerate_add_match_subsystem(hosts, "scsi_host");
        udev_enumerate_scan_devices(hosts);
        struct udev_list_entry *entry;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(hosts)) {
            const char *path = udev_list_entry_get_name(entry);
            if (g_hash_table_contains(removed, path))
                continue;
            struct udev_device *host = udev_device_new_from_syspath(udev, path);
            if (host == NULL)
                continue;  // gone since the enumeration
            PYXO::media_ST *fresh = examine(host);
            if (fresh != NULL && !g_hash_table_contains(seen, (const char *)fresh->serial)) {
                g_hash_table_add(seen, g_strdup((const char *)fresh->serial));
                // The address is looked up only for a report.
                if (media_changes(fresh)) {
                    first_device(host, fresh);
                    sent += media_update(fresh);
                    fresh = NULL;
                }
            }
            if (fresh != NULL)
                PYXO_media_ST_destroy(&fresh);
            udev_device_unref(host);
        }
        udev_enumerate_unref(hosts);
    }
    g_hash_table_remove_all(removed);

    GHashTableIter known;
    gpointer key, value;
    g_hash_table_iter_init(&known, hash_tab);
    while (g_hash_table_iter_next(&known, &key, &value)) {
        PYXO::media_ST *stored = (PYXO::media_ST *)value;
        if (!stored->attached || g_hash_table_contains(seen, key))
            continue;
        // Removed, with the last host address it had.
        PYXO::media_ST *fresh = NULL;
        PYXO_media_ST_copy(&stored, &fresh);
        fresh->attached = FALSE;
        sent += media_update(fresh);
    }
    g_hash_table_destroy(seen);
    if (reports != NULL)
        *reports = sent;
}

void sysfs_close(void) {
    if (monitor != NULL)
        monitor = udev_monitor_unref(monitor);
    if (udev != NULL)
        udev = udev_unref(udev);
    if (removed != NULL) {
        g_hash_table_destroy(removed);
        removed = NULL;
    }
}
