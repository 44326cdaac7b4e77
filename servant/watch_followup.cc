#include "watch_followup.h"

#include <errno.h>
#include <libudev.h>
#include <poll.h>
#include <string.h>
#include <stdint.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <map>
#include <set>
#include <mutex>
#include <thread>
#include <vector>

#include "pyxo_paths.h"
#include "watch_medium.h"
#include "watch_notify.h"

using steady = std::chrono::steady_clock;

// The kernel adds a stick's disk a moment after its host; a disk still
// missing after this long is not coming.
static const std::chrono::seconds disk_wait{10};
static const char no_disk_note[] = "no block device appeared in 10 s";
// Media awaited at once; past this (a peer's flood of reports) the oldest
// gets its line at once, with what there is.
static const size_t max_awaited = 64;

struct report {
    std::string serial;
    int host;
    bool attached;
};

struct awaited {
    std::string serial;
    int host;
    steady::time_point deadline;
};

static watch_format format = WATCH_TEXT;
static void (*print)(const std::string &) = NULL;
static std::thread worker;
// wake_fd: a report was handed over, or the end came; stop_fd: the end
// came (a probe waits on it); done_fd: the worker has ended.
static int wake_fd = -1, stop_fd = -1, done_fd = -1;
static std::mutex handed_mutex;  // guards the three below, and writes to wake_fd
static std::deque<report> handed;
static bool running = false, ending = false;

void watch_followup_report(const PYXO::media_ST &media) {
    std::lock_guard<std::mutex> lock(handed_mutex);
    if (!running || ending)
        return;
    handed.push_back({(const char *)media.serial, media.scsi.s_bus, (bool)media.attached});
    uint64_t one = 1;
    (void)!write(wake_fd, &one, sizeof one);
}

// The rest runs in the worker thread only.
static bool notifying = false;
// What each attached medium was, for the notification of its removal.
static std::map<std::string, std::string> described;
// Block devices whose add event came, and when each disk not yet announced
// was first seen.
static std::set<std::string> announced;
static std::map<std::string, steady::time_point> first_seen;

// Whether `disk` is all there. Its directory appears before the kernel has
// filled it in, and a disk's partitions are added before the disk is
// announced (umockdev, too, writes a device's files one by one before its
// event). So a disk counts once announced: by its event, or by udev's record
// of it. With no udevd to announce anything, a disk seen a second ago
// counts too.
static bool settled(const watch_disk &disk) {
    if (disk.recorded || announced.count(disk.syspath))
        return true;
    auto seen = first_seen.emplace(disk.syspath, steady::now()).first->second;
    return access(PYXO_UDEV_CONTROL, F_OK) != 0 && steady::now() - seen >= std::chrono::seconds(1);
}

static std::string plain_body(const report &r) {
    return "serial " + r.serial + ", host " + std::to_string(r.host);
}

// Prints the medium lines of `a` once all its disks have their block
// devices, its time is up or `now` says so; true when it did, or when the
// end came meanwhile.
static bool follow_up(struct udev *udev, const awaited &a, bool now) {
    bool complete;
    std::vector<watch_disk> disks = watch_medium_disks(udev, a.host, &complete);
    for (const watch_disk &disk : disks)
        complete = complete && settled(disk);
    if (!complete && !now && steady::now() < a.deadline)
        return false;
    for (watch_disk &disk : disks) {
        if (!watch_medium_probe(disk, stop_fd))
            return true;
        const char *note = disk.device.empty() ? no_disk_note
                           : disk.note.empty() ? NULL
                                               : disk.note.c_str();
        print(watch_medium_line(format, time(NULL), a.serial.c_str(), disk, note));
        if (notifying) {
            std::string body = watch_medium_description(disk, note);
            watch_notify("USB stick attached", body);
            if (&disk == &disks.front())
                described[a.serial] = body;
        }
    }
    return true;
}

static void take(struct udev *udev, const report &r, std::vector<awaited> &waiting) {
    if (r.attached) {
        if (watch_medium_is_usb_host(udev, r.host))
            waiting.push_back({r.serial, r.host, steady::now() + disk_wait});
        else if (notifying)
            watch_notify("USB stick attached", plain_body(r));
        return;
    }
    // Pulled before its disks appeared: what there was comes first.
    for (auto it = waiting.begin(); it != waiting.end();)
        it = it->serial == r.serial && follow_up(udev, *it, true) ? waiting.erase(it) : it + 1;
    if (notifying) {
        auto known = described.find(r.serial);
        watch_notify("USB stick removed", known != described.end() ? known->second : plain_body(r));
        if (known != described.end())
            described.erase(known);
    }
}

static void run(struct udev *udev, struct udev_monitor *monitor) {
    std::vector<awaited> waiting;
    for (;;) {
        int timeout = -1;
        if (!waiting.empty()) {
            // All wait as long, so the first is due first.
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                waiting.front().deadline - steady::now());
            // Once a second at least: events lost to a full buffer, or no
            // udev to send them, must not leave a disk unseen.
            timeout = (int)std::clamp<long long>(left.count() + 1, 0, 1000);
        }
        struct pollfd fds[2] = {{wake_fd, POLLIN, 0},
                                {monitor ? udev_monitor_get_fd(monitor) : -1, POLLIN, 0}};
        if (poll(fds, 2, timeout) < 0 && errno != EINTR)
            break;
        uint64_t count;
        (void)!read(wake_fd, &count, sizeof count);
        struct udev_device *event;
        for (int i = 0; monitor && i < 1024 && (event = udev_monitor_receive_device(monitor));
             i++) {
            const char *action = udev_device_get_action(event);
            if (action != NULL && strcmp(action, "add") == 0)
                announced.insert(udev_device_get_syspath(event));
            else if (action != NULL && strcmp(action, "remove") == 0)
                announced.erase(udev_device_get_syspath(event));
            udev_device_unref(event);
        }
        std::deque<report> taken;
        {
            std::lock_guard<std::mutex> lock(handed_mutex);
            if (ending)
                break;
            taken.swap(handed);
        }
        for (const report &r : taken)
            take(udev, r, waiting);
        for (auto it = waiting.begin(); it != waiting.end();)
            it = follow_up(udev, *it, waiting.size() > max_awaited) ? waiting.erase(it) : it + 1;
        if (waiting.empty())
            first_seen.clear();
    }
}

void watch_followup_start(watch_format chosen, bool notify, void (*printer)(const std::string &)) {
    format = chosen;
    print = printer;
    wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    stop_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    done_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_fd < 0 || stop_fd < 0 || done_fd < 0)
        return;
    running = true;
    notifying = notify;
    if (notifying)
        watch_notify_start();
    worker = std::thread([] {
        // Listening before the first look at sysfs: no disk slips between.
        struct udev *udev = udev_new();
        struct udev_monitor *monitor = udev ? udev_monitor_new_from_netlink(udev, "udev") : NULL;
        if (monitor != NULL &&
            (udev_monitor_filter_add_match_subsystem_devtype(monitor, "block", NULL) < 0 ||
             udev_monitor_enable_receiving(monitor) < 0))
            monitor = udev_monitor_unref(monitor);
        run(udev, monitor);
        if (monitor != NULL)
            udev_monitor_unref(monitor);
        if (udev != NULL)
            udev_unref(udev);
        uint64_t one = 1;
        (void)!write(done_fd, &one, sizeof one);
    });
}

void watch_followup_stop() {
    {
        std::lock_guard<std::mutex> lock(handed_mutex);
        if (!running || ending)
            return;
        ending = true;
        uint64_t one = 1;
        (void)!write(wake_fd, &one, sizeof one);
        (void)!write(stop_fd, &one, sizeof one);
    }
    if (notifying)
        watch_notify_stop();
    // The worker waits on nothing but its descriptors, so it ends at once.
    // Should it not (a line it prints that cannot be written), the process
    // ends without it.
    struct pollfd done = {done_fd, POLLIN, 0};
    if (poll(&done, 1, 1000) == 1)
        worker.join();
    else
        worker.detach();
}
