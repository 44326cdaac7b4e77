// The mount table of this process's namespace (/proc/self/mountinfo) and
// the active swap areas (/proc/swaps), looked up by block device number:
// what pyxo-watch tells of a volume and what pyxo-eject refuses to pull.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct pyxo_mount {
    dev_t device;             // st_dev of what is mounted (0:N for filesystems with no device)
    std::string mount_point;  // unescaped
};

// The number a block device's sysfs dev attribute gives ("8:17"); 0 when
// `text` is NULL or not of that form.
dev_t pyxo_dev_number(const char *text);

// Every mount, in table order; empty when the table cannot be read.
// `path` replaces /proc/self/mountinfo (for tests).
std::vector<pyxo_mount> pyxo_mounts_read(const char *path = "/proc/self/mountinfo");

// The mount points of block device `device` in `table`, in table order.
std::vector<std::string> pyxo_mounts_of(const std::vector<pyxo_mount> &table, dev_t device);

// The block devices that are active swap areas: those named by the lines
// of /proc/swaps (or `path`).
std::vector<dev_t> pyxo_swap_devices(const char *path = "/proc/swaps");
