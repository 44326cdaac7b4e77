// A real USB stick's chain of devices as the kernel shows it in sysfs, put
// into a umockdev testbed: plugged in with the add events the kernel sends,
// pulled out with its remove events. This is the one description of a stick
// for every test and benchmark that needs one; extend it here.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <umockdev.h>

struct usb_stick {
    std::string port = "1-2";  // the USB device's sysfs name
    // Attributes of the USB device; one without a value is left out.
    std::optional<std::string> vendor = "0781", product = "5567";
    std::optional<std::string> serial = "20511911704";
    std::string driver = "usb-storage";  // of the interface and the host: or "uas"
    int host = 2;                        // hostN
    int lun = 0;                         // of its one SCSI device, N:0:0:lun
    std::string disk;                    // its block device; "" for one named after the host
    bool scanned = true;  // false: the kernel never adds the disk part (a failed SCSI scan)
    // Inquiry strings of its SCSI device, padded as devices send them (the model: any bytes).
    std::string scsi_vendor = "SanDisk ", scsi_model = "Cruzer Blade    ";
    long long sectors = 31266816;  // the disk's size in 512-byte sectors
    // Its partitions' sizes in sectors; none: a filesystem on the whole disk.
    std::vector<long long> partitions = {31264768};
    // Real block devices (loop devices) that its nodes open: [0] for the
    // disk, [n] for partition n. Missing or "": the node is an empty file.
    // A backed device's dev attribute carries the real device's numbers.
    std::vector<std::string> backing;
    // Properties that udev's record of each block device adds ("ID_FS_TYPE=vfat"),
    // indexed as `backing`.
    std::vector<std::vector<std::string>> properties;
    // A card reader's other slots (LUNs after `lun`): disk name, sectors (0: empty).
    std::vector<std::pair<std::string, long long>> slots;
    // Backed block devices answer their ioctls (BLKFLSBUF...) as the real
    // devices do, rather than as umockdev's emulated nodes (ENOTTY).
    bool real_devices = false;
};

// The stick's devices in umockdev's record format (as umockdev-record
// writes them), parents first: the USB device, its interface, the SCSI host
// with its scsi_host class device, then what the kernel adds once it has
// scanned the host (kept apart in the source): the target, the SCSI device,
// the disk and its partitions, each block device with its node in /dev.
std::string usb_stick_record(const usb_stick &stick);
// The sysfs path of the stick's scsi_host device.
std::string usb_stick_host_path(const usb_stick &stick);

// A stick with this serial on port 1-<host>, host <host>.
usb_stick usb_stick_on_host(int host, const std::string &serial);
// Called with a device's sysfs path before it is added or removed: to time
// its event, or to let time pass before it.
using stick_step = std::function<void(const std::string &path)>;
// Plugs the stick in (and the USB controller it hangs on, the first time):
// every device sends its add event, parents first, except that a disk's
// partitions come before it: the kernel reads the partition table before
// it announces the disk, so they are in sysfs when its add event comes.
// A backed node is made a real block device node (so root only). False
// (with the reason on standard error) when the testbed refused the record.
bool usb_stick_plug(UMockdevTestbed *testbed, const usb_stick &stick,
                    const stick_step &before = {});
// Pulls it out, children first; with `events` each device first sends its
// remove event, as the kernel does; without, the devices just vanish.
void usb_stick_pull(UMockdevTestbed *testbed, const usb_stick &stick, bool events = true,
                    const stick_step &before = {});

// A card put into (or taken out of) the slot of the stick's disk, as the kernel
// shows it: old partitions go, `size` (any text) and a change event, `partitions` come.
void usb_stick_change(UMockdevTestbed *testbed, usb_stick &stick, const std::string &size,
                      const std::vector<long long> &partitions = {});

// Runs this program again under umockdev-wrapper, unless it already runs
// there: its preload shows the program and every program it starts the
// testbeds' /sys, /dev and uevents. As root, the program also gets a network
// namespace of its own with room for floods of events: umockdev hands each
// event to a listener's datagram socket, which holds net.unix.max_dgram_qlen
// of them (10 by default), and aborts when it is full. Returns only under
// the wrapper.
void usb_stick_run_under_umockdev(int argc, char **argv);
