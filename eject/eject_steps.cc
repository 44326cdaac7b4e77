#include "eject.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "pyxo_mounts.h"

// sysfs `holders/` chains are short (a mapping on a mapping on a partition);
// a deeper one is named that far.
static const int max_holder_depth = 8;

static std::string base_name(const std::string &path) {
    return path.substr(path.rfind('/') + 1);
}

static std::string joined(const std::vector<std::string> &parts, const char *separator) {
    std::string out;
    for (const std::string &p : parts)
        out += (out.empty() ? "" : separator) + p;
    return out;
}

// The first line of a sysfs file; "" when it cannot be read.
static std::string first_line(const std::string &path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// The entries of a holders/ directory, sorted.
static std::vector<std::string> holders_of(const std::string &dir) {
    std::vector<std::string> names;
    DIR *d = opendir((dir + "/holders").c_str());
    if (d == NULL)
        return names;
    while (struct dirent *e = readdir(d))
        if (e->d_name[0] != '.')
            names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

// "dm-0 (luks-…), mounted on /media/x": a holder of a block device with
// its device-mapper name, where it is mounted, and what holds it in turn.
static std::string holder_text(const std::string &dir, const std::vector<pyxo_mount> &table,
                               int depth) {
    std::string text = base_name(dir), name = first_line(dir + "/dm/name");
    if (!name.empty())
        text += " (" + name + ")";
    dev_t device = pyxo_dev_number(first_line(dir + "/dev").c_str());
    if (device != 0)
        for (const std::string &point : pyxo_mounts_of(table, device))
            text += ", mounted on " + point;
    for (const std::string &h : holders_of(dir))
        text += depth < max_holder_depth
                    ? ", held by " + holder_text(dir + "/holders/" + h, table, depth + 1)
                    : ", held by more";
    return text;
}

// Whether anything uses a volume of `medium`: its lines go to `said`. With
// `unmount`, plain mounts do not count; they go to `points`, in table order.
static bool in_use(const eject_medium &medium, bool unmount, std::vector<std::string> *said,
                   std::vector<std::string> *points) {
    std::vector<pyxo_mount> table = pyxo_mounts_read();
    std::vector<dev_t> swaps = pyxo_swap_devices();
    size_t before = said->size();
    // There is always a root: an empty table is one that could not be read.
    if (table.empty())
        said->push_back("cannot tell what is mounted: /proc/self/mountinfo cannot be read");
    for (const eject_volume &v : medium.volumes) {
        if (v.device == 0)
            continue;
        if (!unmount)
            for (const std::string &point : pyxo_mounts_of(table, v.device))
                said->push_back(v.node + " is mounted on " + point);
        if (std::count(swaps.begin(), swaps.end(), v.device))
            said->push_back(v.node + " is active swap");
        for (const std::string &h : holders_of(v.syspath))
            said->push_back(v.node + " is held by " +
                            holder_text(v.syspath + "/holders/" + h, table, 1));
    }
    for (const pyxo_mount &m : table)
        if (std::any_of(medium.volumes.begin(), medium.volumes.end(), [&](const eject_volume &v) {
                return v.device != 0 && v.device == m.device;
            }))
            points->push_back(m.mount_point);
    return said->size() > before;
}

// Whether this user may do every step: write each attribute written and
// read each disk flushed. The first that is not open to it goes to `said`.
static eject_status permitted(const eject_medium &medium, std::vector<std::string> *said) {
    std::vector<std::pair<std::string, int>> needed;
    for (const std::string &scsi : medium.scsi_devices)
        needed.push_back({scsi + "/delete", W_OK});
    needed.push_back({medium.usb_syspath + "/remove", W_OK});
    for (const eject_volume &v : medium.volumes)
        if (v.disk && !v.empty)
            needed.push_back({v.node, R_OK});
    for (const auto &[path, mode] : needed) {
        if (access(path.c_str(), mode) == 0)
            continue;
        int e = errno;
        const char *how = mode == W_OK ? "write" : "read";
        if (e == EACCES || e == EPERM || e == EROFS) {
            said->push_back(std::string("removing a USB device needs root (or the right to ") +
                            how + " " + path + "): " + strerror(e));
            return EJECT_NOT_PERMITTED;
        }
        said->push_back(std::string("cannot ") + how + " " + path + ": " + strerror(e) +
                        "; nothing was done");
        return EJECT_FAILED;
    }
    return EJECT_DONE;
}

static bool write_one(const std::string &path, int *error) {
    int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    bool ok = fd >= 0 && write(fd, "1", 1) == 1;
    *error = errno;
    if (fd >= 0 && close(fd) != 0 && ok) {
        ok = false;
        *error = errno;
    }
    return ok;
}

// Flushes one disk: its dirty pages to the device and the device's own
// cache (fsync), then the kernel's buffers of it (BLKFLSBUF). The open is
// exclusive: it fails while anything the mount table does not show holds
// the disk (a mount in another mount namespace, a program using it so).
static eject_status flush(const eject_volume &disk, std::string *failure) {
    int fd = open(disk.node.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
    if (fd < 0) {
        int e = errno;
        *failure = "flush " + disk.node + ": " + strerror(e);
        if (e != EBUSY)
            return EJECT_FAILED;
        *failure +=
            " (in use where this process cannot see it: a mount in another mount "
            "namespace, or a program)";
        return EJECT_REFUSED;
    }
    const char *call = fsync(fd) != 0 ? "fsync" : ioctl(fd, BLKFLSBUF, 0) != 0 ? "BLKFLSBUF" : NULL;
    if (call != NULL)
        *failure = "flush " + disk.node + ": " + call + ": " + strerror(errno);
    close(fd);
    return call != NULL ? EJECT_FAILED : EJECT_DONE;
}

eject_status eject_remove(const eject_medium &medium, bool unmount,
                          std::vector<std::string> *said) {
    std::vector<std::string> points;
    if (in_use(medium, unmount, said, &points))
        return EJECT_REFUSED;
    eject_status status = permitted(medium, said);
    if (status != EJECT_DONE)
        return status;
    std::vector<std::string> done;
    // Ends with the failure and what had been done before it.
    auto failed = [&](eject_status s, const std::string &failure) {
        said->push_back(failure + (done.empty() ? "; nothing was done"
                                                : "; done before: " + joined(done, ", ")));
        return s;
    };
    for (auto point = points.rbegin(); point != points.rend(); ++point) {
        if (umount2(point->c_str(), 0) != 0)
            return failed(EJECT_REFUSED, "unmount " + *point + ": " + strerror(errno));
        done.push_back("unmounted " + *point);
    }
    for (const eject_volume &v : medium.volumes) {
        if (!v.disk || v.empty)
            continue;
        std::string failure;
        status = flush(v, &failure);
        if (status != EJECT_DONE)
            return failed(status, failure);
        done.push_back("flushed " + v.node);
    }
    int error;
    for (const std::string &scsi : medium.scsi_devices) {
        if (!write_one(scsi + "/delete", &error))
            return failed(EJECT_FAILED, "delete SCSI device " + base_name(scsi) + ": write " +
                                            scsi + "/delete: " + strerror(error));
        done.push_back("deleted SCSI device " + base_name(scsi));
    }
    if (!write_one(medium.usb_syspath + "/remove", &error))
        return failed(EJECT_FAILED, "remove USB device " + medium.port + ": write " +
                                        medium.usb_syspath + "/remove: " + strerror(error));
    done.push_back("removed USB device " + medium.port);
    said->push_back((medium.identity.empty() ? medium.port : medium.identity) + ": " +
                    joined(done, ", ") + "; it can be pulled out");
    return EJECT_DONE;
}
