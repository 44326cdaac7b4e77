#include "watch_medium.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <libudev.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
extern "C" {  // glibc 2.36 leaves these without C linkage for C++
#include <sys/pidfd.h>
}
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <functional>
#include <map>
#include <optional>

#include <glib.h>

#include "mount_guess_fstype.h"
#include "partition_table.h"
#include "pyxo_mounts.h"
#include "pyxo_usb_storage.h"
#include "volume_info.h"
#include "watch_output.h"

bool watch_medium_is_usb_host(struct udev *udev, int host) {
    if (udev == NULL || host < 0)
        return false;
    struct udev_device *d = pyxo_usb_storage_host(udev, host);
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

// A block device's flag attribute: 1 or 0; -1 when missing or neither.
static int flag(struct udev_device *block, const char *name) {
    const char *value = udev_device_get_sysattr_value(block, name);
    return value == NULL ? -1 : strcmp(value, "1") == 0 ? 1 : strcmp(value, "0") == 0 ? 0 : -1;
}

// A property of udev's record, "" when absent. With `encoded`, its \xNN
// escapes are undone: the forms of labels and names that udev keeps as
// their bytes escape each one that is not plain.
static std::string property(struct udev_device *d, const char *name, bool encoded = false) {
    const char *value = udev_device_get_property_value(d, name);
    std::string out;
    for (const char *p = value != NULL ? value : ""; *p; p++) {
        unsigned byte = 0;
        if (encoded && p[0] == '\\' && p[1] == 'x' && isxdigit((unsigned char)p[2]) &&
            isxdigit((unsigned char)p[3]) && sscanf(p + 2, "%2x", &byte) == 1 && byte != 0) {
            out += (char)byte;
            p += 3;
        } else {
            out += *p;
        }
    }
    return out;
}

// A volume's names as the probe helper's replies and udev's record call
// them; `encoded`: udev's form escapes bytes; `table`: the partition table
// holds it, not the volume.
struct volume_name {
    const char *blkid, *udev;
    std::string watch_partition::*member;
    bool encoded, table;
};
static const volume_name volume_names[] = {
    {"TYPE", "ID_FS_TYPE", &watch_partition::fstype, false, false},
    {"LABEL", "ID_FS_LABEL_ENC", &watch_partition::label, true, false},
    {"UUID", "ID_FS_UUID", &watch_partition::uuid, false, false},
    {"VERSION", "ID_FS_VERSION", &watch_partition::fsver, false, false},
    {"USAGE", "ID_FS_USAGE", &watch_partition::usage, false, false},
    {"PART_ENTRY_UUID", "ID_PART_ENTRY_UUID", &watch_partition::partuuid, false, true},
    {"PART_ENTRY_NAME", "ID_PART_ENTRY_NAME", &watch_partition::partlabel, true, true},
};

// A volume with what udev's record and the mount table say of it.
static watch_partition volume(struct udev_device *block, int number,
                              const std::vector<pyxo_mount> &mounts) {
    watch_partition p;
    p.device = node_of(block);
    p.number = number;
    for (const volume_name &n : volume_names)
        p.*n.member = property(block, n.udev, n.encoded);
    if (dev_t device = pyxo_dev_number(udev_device_get_sysattr_value(block, "dev")))
        p.mountpoints = pyxo_mounts_of(mounts, device);
    return p;
}

// The block device of SCSI device `scsi`, with its partitions in their
// order (or the disk itself when it has none). `mounts` is the mount
// table, read here the first time a disk needs it.
static void add_block_device(struct udev *udev, struct udev_device *scsi, watch_disk &disk,
                             std::optional<std::vector<pyxo_mount>> &mounts) {
    children(udev, scsi, "block", "disk", [&](struct udev_device *block) {
        if (!disk.device.empty())
            return;
        disk.device = node_of(block);
        disk.syspath = udev_device_get_syspath(block);
        disk.recorded = udev_device_get_is_initialized(block);
        disk.size = watch_medium_size_bytes(udev_device_get_sysattr_value(block, "size"));
        disk.ro = flag(block, "ro");
        disk.rm = flag(block, "removable");
        if (!mounts)
            mounts = pyxo_mounts_read();
        children(udev, block, "block", "partition", [&](struct udev_device *part) {
            const char *number = udev_device_get_sysattr_value(part, "partition");
            disk.partitions.push_back(volume(part, number ? atoi(number) : 0, *mounts));
        });
        std::sort(disk.partitions.begin(), disk.partitions.end(),
                  [](const watch_partition &a, const watch_partition &b) {
                      return a.number != b.number ? a.number < b.number : a.device < b.device;
                  });
        if (disk.partitions.empty()) {
            disk.partitions.push_back(volume(block, 0, *mounts));
        } else {
            disk.pttype = property(block, "ID_PART_TABLE_TYPE");
            disk.ptuuid = property(block, "ID_PART_TABLE_UUID");
        }
    });
}

// The host's scsi_host device (the caller unrefs it) and the USB device
// above it (owned by the host's), or NULL for either where it is gone.
static struct udev_device *host_and_usb_device(struct udev *udev, int host,
                                               struct udev_device **usb) {
    struct udev_device *host_class = pyxo_usb_storage_host(udev, host);
    *usb = host_class
               ? udev_device_get_parent_with_subsystem_devtype(host_class, "usb", "usb_device")
               : NULL;
    return host_class;
}

std::vector<watch_disk> watch_medium_disks(struct udev *udev, int host, bool *complete) {
    std::vector<watch_disk> disks;
    struct udev_device *usb = NULL, *host_class = host_and_usb_device(udev, host, &usb);
    std::optional<std::vector<pyxo_mount>> mounts;
    bool all_there = true;
    for (const pyxo_scsi_device &d : pyxo_usb_storage_scsi_devices(udev, host_class)) {
        struct udev_device *scsi = udev_device_new_from_syspath(udev, d.syspath.c_str());
        if (scsi == NULL)
            continue;  // gone since the enumeration
        // Disk, CD-ROM, optical memory, simplified disk: what has a medium.
        const char *type = udev_device_get_sysattr_value(scsi, "type");
        int t = type != NULL ? atoi(type) : -1;
        if (t == 0 || t == 5 || t == 7 || t == 14) {
            watch_disk disk;
            disk.vendor = trimmed(scsi, "vendor");
            disk.model = trimmed(scsi, "model");
            add_block_device(udev, scsi, disk, mounts);
            all_there = all_there && !disk.device.empty();
            disks.push_back(disk);
        }
        udev_device_unref(scsi);
    }
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

watch_disk watch_medium_reader(struct udev *udev, int host) {
    watch_disk reader;
    struct udev_device *usb = NULL, *host_class = host_and_usb_device(udev, host, &usb);
    reader.vendor = trimmed(usb, "manufacturer");
    reader.model = trimmed(usb, "product");
    if (host_class != NULL)
        udev_device_unref(host_class);
    return reader;
}

long long watch_medium_size_bytes(const char *sectors) {
    if (sectors == NULL || *sectors == '\0')
        return -1;
    long long n = 0;
    for (const char *p = sectors; *p; p++) {
        int digit = *p - '0';
        if (digit < 0 || digit > 9 || n > (LLONG_MAX / 512 - digit) / 10)
            return -1;
        n = n * 10 + digit;
    }
    return n * 512;
}

// The probe helper's pipes carry records: a 4-byte length in the host's
// order (both ends are the same binary), then that many bytes. A request is
// one field "VOLUME=path" (probe the volume) or "TABLE=path" (read the
// disk's partition table). A reply is a list of fields "NAME=value", each
// ended by a NUL, named as blkid names them (TYPE, LABEL, PTTYPE,
// PART_ENTRY_UUID...; PART_ENTRY_NUMBER starts each partition's), or ERRNO
// alone when the device could not be opened; a reader takes the fields it
// knows, so more can come.
static const uint32_t max_record = 65536;
static const std::chrono::seconds answer_wait{5};
// Helpers killed while stuck in a read may never end; past this many, no
// more are started.
static const size_t max_stuck = 16;

static std::string record(const std::string &bytes) {
    uint32_t length = (uint32_t)bytes.size();
    return std::string((const char *)&length, sizeof length) + bytes;
}

// Takes the first whole record off `buffer` into `out`; false while there is
// none or when it is longer than any record may be (`*broken`).
static bool take_record(std::string &buffer, std::string &out, bool *broken) {
    uint32_t length;
    if (buffer.size() < sizeof length)
        return false;
    memcpy(&length, buffer.data(), sizeof length);
    *broken = length > max_record;
    if (*broken || buffer.size() < sizeof length + length)
        return false;
    out = buffer.substr(sizeof length, length);
    buffer.erase(0, sizeof length + length);
    return true;
}

static bool write_all(int fd, const std::string &bytes) {
    for (size_t done = 0; done < bytes.size();) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

// "NAME=value" and its NUL, or nothing for an empty value.
static std::string field(const char *name, const std::string &value) {
    return value.empty() ? "" : std::string(name) + "=" + value + '\0';
}

static std::string helper_reply(const std::string &request) {
    size_t eq = request.find('=');
    std::string kind = request.substr(0, eq);
    std::string device = eq != std::string::npos ? request.substr(eq + 1) : "";
    errno = 0;
    int fd = guess_fstype_open(device.c_str());
    if (fd < 0)  // it says nothing of a path that is no block device
        return field("ERRNO", std::to_string(errno != 0 ? errno : ENOTBLK));
    std::string reply;
    partition_table table;
    volume_info info;
    if (kind == "TABLE" && partition_table_read_fd(fd, &table)) {
        reply = field("PTTYPE", table.type) + field("PTUUID", table.uuid);
        for (const partition_entry &e : table.entries)
            reply += field("PART_ENTRY_NUMBER", std::to_string(e.number)) +
                     field("PART_ENTRY_UUID", e.uuid) + field("PART_ENTRY_NAME", e.name);
    } else if (kind == "VOLUME" && volume_info_read_fd(fd, device.c_str(), &info)) {
        reply = field("TYPE", info.type) + field("USAGE", info.usage) + field("LABEL", info.label) +
                field("UUID", info.uuid) + field("VERSION", info.version);
    }
    close(fd);
    return reply;
}

int watch_medium_helper_main() {
    std::string buffer, request;
    char chunk[4096];
    for (;;) {
        bool broken = false;
        while (!take_record(buffer, request, &broken)) {
            ssize_t n = broken ? 0 : read(STDIN_FILENO, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return 0;  // pyxo-watch is done with us, or gone
            buffer.append(chunk, n);
        }
        if (!write_all(STDOUT_FILENO, record(helper_reply(request))))
            return 0;
    }
}

// The helper of the moment; pid -1 when there is none.
struct helper_process {
    pid_t pid = -1;
    int pidfd = -1, to = -1, from = -1;
};
static helper_process helper;
static std::vector<int> stuck;  // pidfds of helpers killed in a read, until they end

// Reaps the stuck helpers that have ended at last (or that another reaper
// of pyxo-watch's children took: their pidfds tell either way).
static void reap_stuck() {
    for (auto it = stuck.begin(); it != stuck.end();) {
        siginfo_t info = {};
        if (waitid(P_PIDFD, *it, &info, WEXITED | WNOHANG) == 0 && info.si_pid == 0) {
            ++it;
            continue;
        }
        close(*it);
        it = stuck.erase(it);
    }
}

// Lets the helper go: killed first when it is stuck, and kept among the
// stuck until it ends; never waited for.
static void drop_helper(bool kill_it) {
    close(helper.to);
    close(helper.from);
    if (helper.pidfd >= 0) {
        if (kill_it)
            pidfd_send_signal(helper.pidfd, SIGKILL, NULL, 0);
        stuck.push_back(helper.pidfd);
    } else if (kill_it && helper.pid > 0) {
        kill(helper.pid, SIGKILL);  // no pidfds: the pid is still ours, for nothing reaped it
    }
    helper = helper_process();
}

// Starts a helper: pyxo-watch again, by exec, for the ORB's threads run by
// now and a child of a process with threads may call nothing but
// async-signal-safe functions before its exec (posix_spawn keeps to that).
static bool start_helper(std::string &why) {
    int to[2], from[2];
    if (pipe2(to, O_CLOEXEC) != 0) {
        why = std::string("cannot start the probe helper: ") + strerror(errno);
        return false;
    }
    if (pipe2(from, O_CLOEXEC) != 0) {
        why = std::string("cannot start the probe helper: ") + strerror(errno);
        close(to[0]);
        close(to[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, to[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, from[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    char *argv[] = {(char *)"pyxo-watch", (char *)WATCH_MEDIUM_HELPER_OPTION, NULL};
    pid_t pid;
    int error = posix_spawn(&pid, "/proc/self/exe", &actions, NULL, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(to[0]);
    close(from[1]);
    if (error != 0) {
        why = std::string("cannot start the probe helper: ") + strerror(error);
        close(to[1]);
        close(from[0]);
        return false;
    }
    helper.pid = pid;
    // Nothing reaps it before this: pyxo-watch's main loop waits only for
    // the children of its own thread.
    helper.pidfd = pidfd_open(pid, 0);
    helper.to = to[1];
    helper.from = from[0];
    fcntl(helper.from, F_SETFL, O_NONBLOCK);
    return true;
}

enum answer { ANSWERED, NO_ANSWER, STOPPED };

// Asks the helper for `kind` ("VOLUME", "TABLE") of `device`; its fields
// in `reply`, or why there are none in `why`.
static answer ask(const char *kind, const std::string &device, int stop_fd, std::string &reply,
                  std::string &why) {
    reap_stuck();
    // A helper that ended between two probes shows only now: one new try.
    bool sent = false;
    for (int attempt = 0; attempt < 2 && !sent; attempt++) {
        if (helper.pid < 0 && stuck.size() >= max_stuck) {
            why = std::to_string(max_stuck) + " probes are stuck on devices that stopped answering";
            return NO_ANSWER;
        }
        if (helper.pid < 0 && !start_helper(why))
            return NO_ANSWER;
        sent = write_all(helper.to, record(std::string(kind) + "=" + device));
        if (!sent)
            drop_helper(false);
    }
    if (!sent) {
        why = "the probe helper ended";
        return NO_ANSWER;
    }
    auto deadline = std::chrono::steady_clock::now() + answer_wait;
    std::string buffer;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        struct pollfd fds[2] = {{helper.from, POLLIN, 0}, {stop_fd, POLLIN, 0}};
        int ready = poll(fds, 2, (int)std::max<long long>(left.count() + 1, 0));
        if (ready < 0 && errno != EINTR) {
            why = std::string("poll: ") + strerror(errno);
            drop_helper(true);
            return NO_ANSWER;
        }
        if (fds[1].revents)
            return STOPPED;
        if (ready == 0) {
            why = "no answer from " + device + " in " + std::to_string(answer_wait.count()) + " s";
            drop_helper(true);
            return NO_ANSWER;
        }
        char chunk[4096];
        ssize_t n;
        while ((n = read(helper.from, chunk, sizeof chunk)) > 0)
            buffer.append(chunk, n);
        bool broken = false;
        if (take_record(buffer, reply, &broken))
            return ANSWERED;
        if (broken || n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            why = "the probe helper ended";
            drop_helper(true);
            return NO_ANSWER;
        }
    }
}

// A reply's fields, in order.
static std::vector<std::pair<std::string, std::string>> fields_of(const std::string &reply) {
    std::vector<std::pair<std::string, std::string>> fields;
    for (size_t at = 0, end; at < reply.size(); at = end + 1) {
        end = std::min(reply.find('\0', at), reply.size());
        size_t eq = reply.find('=', at);
        if (eq < end)
            fields.push_back({reply.substr(at, eq - at), reply.substr(eq + 1, end - eq - 1)});
    }
    return fields;
}

// Says once per source what is shown of a volume that cannot be opened.
static void tell_unopened(const std::string &device, int error, bool from_udev) {
    static bool told_unknown = false, told_udev = false;
    bool &told = from_udev ? told_udev : told_unknown;
    if (told)
        return;
    told = true;
    watch_output_note("pyxo-watch: cannot open " + device + ": " + strerror(error) +
                      (from_udev ? "; what udev's record says of such devices is shown instead"
                                 : "; the filesystem types of devices that cannot be opened are "
                                   "shown as unknown"));
}

// Sets the names that the table (`table`) or the volume holds from a reply.
static void take_names(watch_partition &p, bool table,
                       const std::vector<std::pair<std::string, std::string>> &fields) {
    for (const volume_name &n : volume_names) {
        if (n.table != table)
            continue;
        p.*n.member = "";
        for (auto &[name, value] : fields)
            if (name == n.blkid)
                p.*n.member = value;
    }
}

bool watch_medium_probe(watch_disk &disk, int stop_fd) {
    // The table first (for a disk the kernel found one on): the names of
    // its partitions, then each volume.
    bool partitioned = !disk.partitions.empty() && disk.partitions.front().number > 0;
    for (size_t i = partitioned ? 0 : 1; i <= disk.partitions.size(); i++) {
        watch_partition *p = i > 0 ? &disk.partitions[i - 1] : NULL;
        std::string reply;
        // Once its disk stopped answering, the rest would wait as long.
        answer a = !disk.note.empty() ? NO_ANSWER
                                      : ask(p ? "VOLUME" : "TABLE", p ? p->device : disk.device,
                                            stop_fd, reply, disk.note);
        if (a == STOPPED)
            return false;
        auto fields = fields_of(reply);
        int error =
            !fields.empty() && fields[0].first == "ERRNO" ? atoi(fields[0].second.c_str()) : 0;
        // Without the right to read it, udev's record is all there is.
        bool kept = error == EACCES || error == EPERM;
        if (p != NULL && error != 0)
            tell_unopened(p->device, error, kept && !p->fstype.empty());
        if (kept)
            continue;
        if (p != NULL) {
            take_names(*p, false, fields);
            continue;
        }
        disk.pttype = disk.ptuuid = "";
        std::map<int, std::vector<std::pair<std::string, std::string>>> entries;
        int number = 0;  // each partition's fields follow its number
        for (auto &[name, value] : fields) {
            if (name == "PTTYPE")
                disk.pttype = value;
            else if (name == "PTUUID")
                disk.ptuuid = value;
            else if (name == "PART_ENTRY_NUMBER")
                number = atoi(value.c_str());
            else if (number > 0)
                entries[number].push_back({name, value});
        }
        for (watch_partition &part : disk.partitions)
            take_names(part, true, entries[part.number]);
    }
    return true;
}
