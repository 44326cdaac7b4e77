#include "usb_stick.h"

#include <errno.h>
#include <net/if.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <vector>

// The xHCI controller and its root hub, shared by every stick.
static const char controller_record[] = R"(P: /devices/pci0000:00/0000:00:14.0
E: DRIVER=xhci_hcd
E: PCI_CLASS=C0330
E: PCI_ID=8086:A36D
E: SUBSYSTEM=pci
A: class=0x0c0330
A: vendor=0x8086
A: device=0xa36d

P: /devices/pci0000:00/0000:00:14.0/usb1
E: BUSNUM=001
E: DEVNUM=001
E: DEVTYPE=usb_device
E: DRIVER=usb
E: PRODUCT=1d6b/2/601
E: SUBSYSTEM=usb
A: idVendor=1d6b
A: idProduct=0002
A: manufacturer=Linux 6.1.0-13-amd64 xhci-hcd
A: product=xHCI Host Controller
A: serial=0000:00:14.0
A: speed=480
)";

// A SanDisk Cruzer Blade 0781:5567, recorded on that controller. {name} is
// filled from the usb_stick; a line whose value is missing is left out.
static const char stick_record[] = R"(P: {usb}
E: BUSNUM=001
E: DEVNUM=005
E: DEVTYPE=usb_device
E: DRIVER=usb
E: PRODUCT=781/5567/100
E: SUBSYSTEM=usb
A: idVendor={vendor}
A: idProduct={product}
A: serial={serial}
A: manufacturer= SanDisk
A: product= Cruzer Blade
A: bDeviceClass=00
A: bNumInterfaces= 1
A: speed=480
A: remove=

P: {usb}/{port}:1.0
E: DEVTYPE=usb_interface
E: DRIVER={driver}
E: INTERFACE=8/6/80
E: MODALIAS=usb:v0781p5567d0100dc00dsc00dp00ic08isc06ip50in00
E: SUBSYSTEM=usb
A: bInterfaceClass=08
A: bInterfaceSubClass=06
A: bInterfaceProtocol=50
A: bInterfaceNumber=00

P: {scsi}
E: DEVTYPE=scsi_host
E: SUBSYSTEM=scsi

P: {scsi}/scsi_host/host{host}
E: SUBSYSTEM=scsi_host
A: proc_name={driver}
A: unique_id=0
A: state=running
A: can_queue=1
A: sg_tablesize=2048
)";

// What the kernel adds below the host once it has scanned it.
static const char disk_record[] = R"(P: {scsi}/target{host}:0:0
E: DEVTYPE=scsi_target
E: SUBSYSTEM=scsi

P: {scsi}/target{host}:0:0/{host}:0:0:{lun}
E: DEVTYPE=scsi_device
E: DRIVER=sd
E: MODALIAS=scsi:t-0x00
E: SUBSYSTEM=scsi
A: vendor={scsi_vendor}
A: model={scsi_model}
A: rev=1.00
A: type=0
A: scsi_level=7
A: state=running
A: delete=

P: {scsi}/target{host}:0:0/{host}:0:0:{lun}/block/{disk}
N: {node}
E: DEVNAME=/dev/{disk}
E: DEVTYPE=disk
E: SUBSYSTEM=block
A: dev={dev}
A: removable=1
A: ro=0
A: size={sectors}
)";

// One partition of the disk above.
static const char partition_record[] =
    R"(P: {scsi}/target{host}:0:0/{host}:0:0:{lun}/block/{disk}/{disk}{n}
N: {node}
E: DEVNAME=/dev/{disk}{n}
E: DEVTYPE=partition
E: SUBSYSTEM=block
A: dev={dev}
A: partition={n}
A: size={sectors}
)";

static std::string usb_path(const usb_stick &s) {
    return "/devices/pci0000:00/0000:00:14.0/usb1/" + s.port;
}

static std::string scsi_path(const usb_stick &s) {
    return usb_path(s) + "/" + s.port + ":1.0/host" + std::to_string(s.host);
}

// umockdev's record format escapes backslashes and line breaks in values.
static std::string escaped(const std::string &value) {
    std::string out;
    for (char c : value)
        out += c == '\\' ? "\\\\" : c == '\n' ? "\\n" : std::string(1, c);
    return out;
}

static std::string filled(const char *record,
                          const std::map<std::string, std::optional<std::string>> &values) {
    std::istringstream in(record);
    std::string line, out;
    while (std::getline(in, line)) {
        bool keep = true;
        for (auto &[name, value] : values) {
            std::string key = "{" + name + "}";
            for (size_t at; keep && (at = line.find(key)) != std::string::npos;) {
                if (!value)
                    keep = false;
                else
                    line.replace(at, key.size(), escaped(*value));
            }
        }
        if (keep)
            out += line + "\n";
    }
    return out;
}

// sda, sdb, ... sdz, sdaa, ...: the disk of host N is the (N+1)th name, so
// that sticks on different hosts never share one.
static std::string disk_name(const usb_stick &s) {
    if (!s.disk.empty())
        return s.disk;
    std::string letters;
    for (int n = s.host + 1; n > 0; n = (n - 1) / 26)
        letters.insert(letters.begin(), (char)('a' + (n - 1) % 26));
    return "sd" + letters;
}

static bool utf8(const std::optional<std::string> &text) {
    return text && g_utf8_validate(text->c_str(), -1, NULL);
}

// Block device n of the stick (0 the disk): its real device, "" for none.
static std::string backing(const usb_stick &s, size_t n) {
    return n < s.backing.size() ? s.backing[n] : "";
}

std::string usb_stick_record(const usb_stick &s) {
    std::map<std::string, std::optional<std::string>> values = {
        {"usb", usb_path(s)},
        {"scsi", scsi_path(s)},
        {"port", s.port},
        {"vendor", s.vendor},
        {"product", s.product},
        // umockdev's records take UTF-8 only: other bytes are set apart.
        {"serial", utf8(s.serial) ? s.serial : std::nullopt},
        {"driver", s.driver},
        {"host", std::to_string(s.host)},
        {"lun", std::to_string(s.lun)},
        {"disk", disk_name(s)},
        {"scsi_vendor", s.scsi_vendor},
        {"scsi_model", utf8(s.scsi_model) ? std::optional(s.scsi_model) : std::nullopt}};
    // A node of its own: an empty file that umockdev makes (N:), whose
    // numbers only need to differ, or a real one that usb_stick_plug makes,
    // with the real device's numbers (as the mount table shows them).
    auto block = [&](size_t n, long long sectors) {
        struct stat st;
        bool real = !backing(s, n).empty() && stat(backing(s, n).c_str(), &st) == 0;
        values["node"] =
            real ? std::nullopt : std::optional(disk_name(s) + (n ? std::to_string(n) : ""));
        values["dev"] =
            real ? std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev))
                 : "8:" + std::to_string(s.host * 16 + (int)n);
        values["sectors"] = std::to_string(sectors);
    };
    auto properties = [&](size_t n) {
        std::string lines;
        for (const std::string &p :
             n < s.properties.size() ? s.properties[n] : std::vector<std::string>())
            lines += "E: " + p + "\n";  // taken as they are
        return lines;
    };
    std::string record = filled(stick_record, values);
    if (!s.scanned)
        return record;
    block(0, s.sectors);
    record += "\n" + filled(disk_record, values) + properties(0);
    for (size_t n = 1; n <= s.partitions.size(); n++) {
        block(n, s.partitions[n - 1]);
        values["n"] = std::to_string(n);
        record += "\n" + filled(partition_record, values) + properties(n);
    }
    for (size_t i = 0; i < s.slots.size(); i++) {  // their target is there already
        values["lun"] = std::to_string(s.lun + 1 + i);
        values["disk"] = values["node"] = s.slots[i].first;
        values["dev"] = "65:" + std::to_string(s.host * 16 + i);
        values["sectors"] = std::to_string(s.slots[i].second);
        std::string slot = filled(disk_record, values);
        record += slot.substr(slot.find("\n\n"));
    }
    return record;
}

std::string usb_stick_host_path(const usb_stick &s) {
    return "/sys" + scsi_path(s) + "/scsi_host/host" + std::to_string(s.host);
}

static bool add(UMockdevTestbed *testbed, const std::string &record) {
    GError *error = NULL;
    if (umockdev_testbed_add_from_string(testbed, record.c_str(), &error))
        return true;
    fprintf(stderr, "usb_stick: testbed refused the record: %s\n%s", error->message,
            record.c_str());
    g_error_free(error);
    return false;
}

// The record's devices, each paragraph with its sysfs path, in its order.
static std::vector<std::pair<std::string, std::string>> devices(const std::string &record) {
    std::vector<std::pair<std::string, std::string>> out;
    std::istringstream in(record);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("P: ", 0) == 0)
            out.push_back({"/sys" + line.substr(3), ""});
        if (!out.empty())
            out.back().second += line + "\n";
    }
    return out;
}

// umockdev shows a file in its /dev that has the sticky bit as a block
// device (stat gives it the number of the device's dev attribute), while
// open() opens the file itself: a real block device node there opens the
// real device. Without an N: line umockdev makes no file, and removes ours
// with the device. umockdev answers the ioctls of every node in its /dev
// itself (ENOTTY) unless a handler of the node passes them on.
static bool real_node(UMockdevTestbed *testbed, const std::string &name,
                      const std::string &device) {
    gchar *root = umockdev_testbed_get_root_dir(testbed);
    std::string dir = std::string(root) + "/dev", node = dir + "/" + name;
    g_free(root);
    mkdir(dir.c_str(), 0755);
    struct stat st;
    if (stat(device.c_str(), &st) == 0 && S_ISBLK(st.st_mode) &&
        mknod(node.c_str(), S_IFBLK | 0640, st.st_rdev) == 0 && chmod(node.c_str(), 01640) == 0)
        return true;
    fprintf(stderr, "usb_stick: no node %s for %s: %s\n", node.c_str(), device.c_str(),
            strerror(errno));
    return false;
}

// The program's own ioctl call, made on its own descriptor: the real device
// answers it.
static gboolean pass_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer) {
    int error = 0;
    int result = umockdev_ioctl_client_execute(client, &error, NULL);
    umockdev_ioctl_client_complete(client, result, error);
    return TRUE;
}

static bool pass_ioctls(UMockdevTestbed *testbed, const std::string &name) {
    UMockdevIoctlBase *handler = umockdev_ioctl_base_new();
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(pass_ioctl), NULL);
    GError *error = NULL;
    bool attached =
        umockdev_testbed_attach_ioctl(testbed, ("/dev/" + name).c_str(), handler, &error);
    g_object_unref(handler);
    if (!attached) {
        fprintf(stderr, "usb_stick: ioctls of /dev/%s: %s\n", name.c_str(), error->message);
        g_error_free(error);
    }
    return attached;
}

bool usb_stick_plug(UMockdevTestbed *testbed, const usb_stick &s, const stick_step &before) {
    gchar *sys = umockdev_testbed_get_sys_dir(testbed);
    bool have_controller =
        access((std::string(sys) + "/devices/pci0000:00/0000:00:14.0/usb1").c_str(), F_OK) == 0;
    g_free(sys);
    if (!have_controller && !add(testbed, controller_record))
        return false;
    auto chain = devices(usb_stick_record(s));
    std::string disk = "/block/" + disk_name(s);
    auto is_disk = [&](const auto &d) {
        return d.first.size() > disk.size() &&
               d.first.compare(d.first.size() - disk.size(), disk.size(), disk) == 0;
    };
    auto at = std::find_if(chain.begin(), chain.end(), is_disk);
    if (at != chain.end())
        std::rotate(at, at + 1, chain.end());  // the partitions follow it, last in the record
    for (auto &[path, record] : chain) {
        if (before)
            before(path);
        std::string name = path.substr(path.rfind('/') + 1);
        size_t n = name == disk_name(s) ? 0 : atoi(name.c_str() + disk_name(s).size());
        if (path.find(disk) != std::string::npos && !backing(s, n).empty() &&
            (!real_node(testbed, name, backing(s, n)) ||
             (s.real_devices && !pass_ioctls(testbed, name))))
            return false;
        if (!add(testbed, record))
            return false;
        if (path == "/sys" + usb_path(s) && s.serial && !utf8(s.serial))
            umockdev_testbed_set_attribute_binary(
                testbed, path.c_str(), "serial", (guint8 *)s.serial->data(), (int)s.serial->size());
        if (record.find("DEVTYPE=scsi_device") != std::string::npos && !utf8(s.scsi_model))
            umockdev_testbed_set_attribute_binary(testbed, path.c_str(), "model",
                                                  (guint8 *)s.scsi_model.data(),
                                                  (int)s.scsi_model.size());
    }
    return true;
}

void usb_stick_pull(UMockdevTestbed *testbed, const usb_stick &s, bool events,
                    const stick_step &before) {
    auto chain = devices(usb_stick_record(s));
    for (auto device = chain.rbegin(); device != chain.rend(); ++device) {
        const char *path = device->first.c_str();
        if (before)
            before(device->first);
        if (events)
            umockdev_testbed_uevent(testbed, path, "remove");
        umockdev_testbed_remove_device(testbed, path);
    }
}

void usb_stick_change(UMockdevTestbed *testbed, usb_stick &s, const std::string &size,
                      const std::vector<long long> &partitions) {
    std::string disk = "/sys" + scsi_path(s) + "/target" + std::to_string(s.host) + ":0:0/" +
                       std::to_string(s.host) + ":0:0:" + std::to_string(s.lun) + "/block/" +
                       disk_name(s) + "/";
    auto chain = devices(usb_stick_record(s));
    for (auto d = chain.rbegin(); d != chain.rend(); ++d)
        if (d->first.rfind(disk, 0) == 0) {
            umockdev_testbed_uevent(testbed, d->first.c_str(), "remove");
            umockdev_testbed_remove_device(testbed, d->first.c_str());
        }
    umockdev_testbed_set_attribute(testbed, disk.c_str(), "size", size.c_str());
    umockdev_testbed_uevent(testbed, disk.c_str(), "change");
    s.partitions = partitions;
    for (auto &[path, record] : devices(usb_stick_record(s)))
        if (path.rfind(disk, 0) == 0)
            add(testbed, record);
}

static void room_for_events() {
    if (geteuid() != 0 || unshare(CLONE_NEWNET) != 0)
        return;
    // The ORB listens on the loopback, down in a new namespace.
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    struct ifreq lo = {};
    strcpy(lo.ifr_name, "lo");
    lo.ifr_flags = IFF_UP | IFF_LOOPBACK | IFF_RUNNING;
    if (s < 0 || ioctl(s, SIOCSIFFLAGS, &lo) != 0)
        perror("usb_stick: loopback");
    close(s);
    FILE *qlen = fopen("/proc/sys/net/unix/max_dgram_qlen", "w");
    if (qlen == NULL || fputs("100000\n", qlen) < 0 || fclose(qlen) != 0)
        perror("usb_stick: max_dgram_qlen");
}

void usb_stick_run_under_umockdev(int argc, char **argv) {
    const char *preload = getenv("LD_PRELOAD");
    if (preload != NULL && strstr(preload, "umockdev") != NULL)
        return;
    room_for_events();
    // The sanitizer runtime must accept a library loaded ahead of it.
    const char *asan = getenv("ASAN_OPTIONS");
    setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + ":verify_asan_link_order=0").c_str(),
           1);
    std::vector<char *> args = {(char *)"umockdev-wrapper"};
    args.insert(args.end(), argv, argv + argc + 1);
    execvp(args[0], args.data());
    perror("usb_stick: umockdev-wrapper");
    exit(1);
}

usb_stick usb_stick_on_host(int host, const std::string &serial) {
    usb_stick s;
    s.port = "1-" + std::to_string(host);
    s.host = host;
    s.serial = serial;
    return s;
}
