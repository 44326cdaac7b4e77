// The sysfs source: the SCSI hosts of the USB storage drivers as today's
// kernels show them, read through libudev, with a pass woken by each
// scsi_host event and at least every 3 seconds. A medium is a host whose
// proc_name is usb-storage or uas below a USB device; it is known by the
// device's ids and serial (and its port, where that is not enough to tell
// it apart), and it is attached while its host exists.
#include <errno.h>
#include <libudev.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

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

// Channel, target and lun of the host's first SCSI device (H:C:T:L, lowest
// first); left as they are while it has none.
static void first_device(struct udev_device *host, PYXO::media_ST *media) {
    std::vector<pyxo_scsi_device> devices = pyxo_usb_storage_scsi_devices(udev, host);
    if (devices.empty())
        return;
    media->scsi.s_channel = (CORBA::Short)devices[0].channel;
    media->scsi.s_id = (CORBA::Short)devices[0].id;
    media->scsi.s_lun = (CORBA::Short)devices[0].lun;
}

// One USB storage host found by a pass.
struct found_host {
    struct udev_device *device;  // the scsi_host device; the pass unrefs it
    long number;                 // N of hostN
    std::string base;            // its identity as the stick alone gives it
    std::string port;            // the USB device's sysfs name
};

// The identity each host present holds, by the host's syspath, with the
// base it was formed from. Clones (sticks that share ids and serial) each
// need an identity of their own, and a host keeps the one it holds for as
// long as it exists: a clone plugged in later, even on a lower host number
// or a port that sorts first, never takes it over.
struct held_identity {
    std::string base, identity;
};
static std::map<std::string, held_identity> held;

// What one scsi_host device says: true, with *found filled in but for its
// device, when it is a USB storage host.
static bool examine(struct udev_device *host, found_host *found) {
    struct udev_device *usb = pyxo_usb_storage_usb_device(host);
    found->number = pyxo_usb_storage_host_number(udev_device_get_sysname(host));
    if (usb == NULL || found->number < 0)
        return false;
    const char *port = udev_device_get_sysname(usb);
    if (port == NULL)
        return false;
    found->port = port;
    found->base = pyxo_usb_storage_identity(usb);
    return !found->base.empty();
}

// Every USB storage host present: those that no remove event since the
// last pass counts as gone.
static std::vector<found_host> find_hosts(void) {
    std::vector<found_host> all;
    struct udev_enumerate *hosts = udev_enumerate_new(udev);
    if (hosts == NULL)
        return all;
    udev_enumerate_add_match_subsystem(hosts, "scsi_host");
    udev_enumerate_scan_devices(hosts);
    struct udev_list_entry *entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(hosts)) {
        const char *path = udev_list_entry_get_name(entry);
        if (g_hash_table_contains(removed, path))
            continue;
        found_host found;
        found.device = udev_device_new_from_syspath(udev, path);
        if (found.device == NULL)
            continue;  // gone since the enumeration
        if (examine(found.device, &found))
            all.push_back(found);
        else
            udev_device_unref(found.device);
    }
    udev_enumerate_unref(hosts);
    return all;
}

// Gives each host its identity: a host keeps the one it holds; a newcomer,
// lowest host number first, takes its base unless a host present holds it,
// else its base, a colon and its port. The identities given go to `seen`.
static std::map<std::string, held_identity> give_identities(std::vector<found_host> &found,
                                                            GHashTable *seen) {
    std::map<std::string, held_identity> now;
    std::vector<found_host *> newcomers;
    for (auto &h : found) {
        const char *path = udev_device_get_syspath(h.device);
        auto it = held.find(path);
        if (it != held.end() && it->second.base == h.base) {
            now[path] = it->second;
            g_hash_table_add(seen, g_strdup(it->second.identity.c_str()));
        } else {
            newcomers.push_back(&h);
        }
    }
    std::stable_sort(
        newcomers.begin(), newcomers.end(),
        [](const found_host *a, const found_host *b) { return a->number < b->number; });
    for (found_host *h : newcomers) {
        std::string identity = h->base;
        if (g_hash_table_contains(seen, identity.c_str()))
            identity = pyxo_usb_storage_on_port(identity, h->port);
        // Nothing else tells it apart (a serial that ends like a port
        // name): it waits until the other is gone.
        if (g_hash_table_contains(seen, identity.c_str()))
            continue;
        g_hash_table_add(seen, g_strdup(identity.c_str()));
        now[udev_device_get_syspath(h->device)] = {h->base, identity};
    }
    return now;
}

// Hands one host to media_update under `identity`: 1 when it reported.
static int report_host(const found_host &h, const std::string &identity) {
    PYXO::media_ST *fresh = NULL;
    PYXO_media_ST_new(&fresh);
    fresh->serial = identity.c_str();
    fresh->attached = TRUE;
    fresh->scsi.s_bus = (CORBA::Short)h.number;  // the low 16 bits, as the /proc scan keeps them
    // The address is looked up only for a report.
    if (!media_changes(fresh)) {
        PYXO_media_ST_destroy(&fresh);
        return 0;
    }
    first_device(h.device, fresh);
    return media_update(fresh);
}

void sysfs_pass(int *reports) {
    std::vector<found_host> found = find_hosts();
    g_hash_table_remove_all(removed);
    // The identities present: every other known medium is gone. Owns copies
    // of its keys.
    GHashTable *seen = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, NULL);
    held = give_identities(found, seen);
    int sent = 0;
    for (auto &h : found) {
        auto it = held.find(udev_device_get_syspath(h.device));
        if (it != held.end())
            sent += report_host(h, it->second.identity);
        udev_device_unref(h.device);
    }
    sent += media_sweep(seen);
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
    held.clear();
}
