// What sysfs tells about the medium behind a SCSI host of a USB stick: its
// disks with maker, size, flags and block devices, and on each partition the
// filesystem and its names as the probe finds them, with the partition
// table's names and where each volume is mounted.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct udev;

// A volume: a partition, or a disk without partitions. Each text is ""
// where it is unknown or absent.
struct watch_partition {
    std::string device;  // "/dev/sdb1"; the disk's own node when it has no partitions
    std::string fstype;  // the probe's name; "" when none was found or it could not be read
    // What its superblock says, as blkid names them: LABEL (bytes as the
    // format stores them), UUID, VERSION, USAGE.
    std::string label, uuid, fsver, usage;
    // What the partition table says of it (partlabel: GPT only).
    std::string partuuid, partlabel;
    std::vector<std::string> mountpoints;  // where it is mounted, from the mount table
    int number = 0;                        // in the partition table; 0 for a whole disk
};

// One SCSI device below the host, as far as it is there.
struct watch_disk {
    std::string device;     // "/dev/sdb"; empty while it has no block device
    std::string syspath;    // the block device's
    bool recorded = false;  // udev has its record (has handled its add event)
    std::string vendor, model;
    long long size = -1;  // bytes; -1 without a block device or a size that makes sense
    // What udev's record says of each until watch_medium_probe reads them.
    std::vector<watch_partition> partitions;
    std::string note;            // why watch_medium_probe left types unknown: "" when it did not
    std::string pttype, ptuuid;  // the partition table's kind ("dos", "gpt") and id
    int ro = -1, rm = -1;        // the block device's ro and removable flags; -1 unknown
};

// Whether hostN is in sysfs as the host of a USB storage driver (usb-storage
// or uas): only such a host's disks are a USB medium's.
bool watch_medium_is_usb_host(struct udev *udev, int host);

// The SCSI devices below hostN that carry media (disks, optical drives),
// in H:C:T:L order, with what sysfs, udev's record and the mount table
// (matched by each block device's number, its `dev` attribute) say of them. `complete` tells
// whether there is at least one and each has its block device. With none at all, one entry without
// a device that names the USB device's manufacturer and product.
std::vector<watch_disk> watch_medium_disks(struct udev *udev, int host, bool *complete);

// A disk without a block device that names the USB device of hostN (its
// manufacturer and product): what stands for a card reader with no card.
watch_disk watch_medium_reader(struct udev *udev, int host);

// Bytes of a block device's `size` attribute (a count of 512-byte sectors,
// or null when missing); -1 unless it is a plain decimal number whose bytes
// fit a long long.
long long watch_medium_size_bytes(const char *sectors);

// Reads the partition table of `disk` when the kernel lists partitions, and
// probes each partition (its whole device when it has none), in the probe
// helper, a process of its own: a read from a device that stopped
// answering sleeps where not even SIGKILL reaches, and would hold a thread,
// and with it the whole process, for good. A device with no answer within
// 5 s is left unknown, with the reason in disk.note, and so are the rest of
// its disk; that helper is killed and left, and the next probe starts a new
// one. The first device that cannot be opened is named on standard error
// with the reason, once per process: a user without access to disks sees
// the reason once rather than once per stick. For a device it may not open
// (EACCES, EPERM) what udev's record says stays, and standard error says so
// once. Returns false, at once, when `stop_fd` becomes readable.
bool watch_medium_probe(watch_disk &disk, int stop_fd);

// The hidden option that makes pyxo-watch the probe helper, and the helper's
// life: it answers requests on standard input until that ends. Only the
// probe's own routine runs there: no thread, no ORB.
#define WATCH_MEDIUM_HELPER_OPTION "--probe-helper"
int watch_medium_helper_main();
