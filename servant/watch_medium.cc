#include "watch_medium.h"

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

#include <glib.h>

#include "mount_guess_fstype.h"
#include "pyxo_usb_storage.h"
#include "watch_output.h"

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
        disk.size = watch_medium_size_bytes(udev_device_get_sysattr_value(block, "size"));
        std::vector<std::pair<long, std::string>> parts;
        children(udev, block, "block", "partition", [&](struct udev_device *part) {
            const char *number = udev_device_get_sysattr_value(part, "partition");
            parts.push_back({number != NULL ? strtol(number, NULL, 10) : 0, node_of(part)});
        });
        std::sort(parts.begin(), parts.end());
        if (parts.empty())
            parts.push_back({0, disk.device});
        for (auto &p : parts) {
            disk.partitions.emplace_back();
            disk.partitions.back().device = p.second;
        }
    });
}

std::vector<watch_disk> watch_medium_disks(struct udev *udev, int host, bool *complete) {
    std::vector<watch_disk> disks;
    std::string name = "host" + std::to_string(host);
    struct udev_device *host_class =
        udev_device_new_from_subsystem_sysname(udev, "scsi_host", name.c_str());
    struct udev_device *usb =
        host_class ? udev_device_get_parent_with_subsystem_devtype(host_class, "usb", "usb_device")
                   : NULL;
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
            add_block_device(udev, scsi, disk);
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
// a device's path. A reply is a list of fields "NAME=value", each ended by
// a NUL, named as blkid names them (TYPE), plus ERRNO when the device could
// not be opened; a reader takes the fields it knows, so more can come.
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

int watch_medium_helper_main() {
    std::string buffer, device;
    char chunk[4096];
    for (;;) {
        bool broken = false;
        while (!take_record(buffer, device, &broken)) {
            ssize_t n = broken ? 0 : read(STDIN_FILENO, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return 0;  // pyxo-watch is done with us, or gone
            buffer.append(chunk, n);
        }
        std::string reply;
        if (const char *type = do_guess_fstype(device.c_str())) {
            reply = std::string("TYPE=") + type + '\0';
        } else {
            // The probe does not say why it found nothing: a device it could
            // not open is told apart from one without a known signature here.
            int fd = open(device.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0)
                close(fd);
            else
                reply = "ERRNO=" + std::to_string(errno) + '\0';
        }
        if (!write_all(STDOUT_FILENO, record(reply)))
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

// Asks the helper to probe `device`; its fields in `reply`, or why there
// are none in `why`.
static answer ask(const std::string &device, int stop_fd, std::string &reply, std::string &why) {
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
        sent = write_all(helper.to, record(device));
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

bool watch_medium_probe(watch_disk &disk, int stop_fd) {
    static bool said = false;
    for (watch_partition &p : disk.partitions) {
        p.fstype.clear();
        if (!disk.note.empty())
            continue;  // its disk stopped answering: the rest would wait as long
        std::string reply;
        answer a = ask(p.device, stop_fd, reply, disk.note);
        if (a == STOPPED)
            return false;
        for (size_t at = 0, end; a == ANSWERED && at < reply.size(); at = end + 1) {
            end = std::min(reply.find('\0', at), reply.size());
            std::string field = reply.substr(at, end - at);
            if (field.rfind("TYPE=", 0) == 0)
                p.fstype = field.substr(5);
            if (field.rfind("ERRNO=", 0) != 0 || said)
                continue;
            watch_output_note("pyxo-watch: cannot open " + p.device + ": " +
                              strerror(atoi(field.c_str() + 6)) +
                              "; the filesystem types of devices that cannot be opened are "
                              "shown as unknown");
            said = true;
        }
    }
    return true;
}
