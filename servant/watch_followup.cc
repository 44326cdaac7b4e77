#include "watch_followup.h"

#include <errno.h>
#include <libudev.h>
#include <poll.h>
#include <string.h>
#include <stdint.h>
#include <stdio.h>
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
#include "watch_hooks.h"
#include "watch_medium.h"
#include "watch_notify.h"
#include "watch_output.h"

using steady = std::chrono::steady_clock;

// The kernel adds a stick's disk a moment after its host; a disk still
// missing after this long is not coming.
static const std::chrono::seconds disk_wait{10};
static const char no_disk_note[] = "no block device appeared in 10 s";
// Media awaited at once; past this (a peer's flood of reports) the oldest
// gets its line at once, with what there is.
static const size_t max_awaited = 64;
// Reports handed over and not yet taken: the worker may be waiting up to a
// probe's deadline. Past this, the oldest is dropped.
static const size_t max_handed = 1024;
// Media whose description is kept for their removal; past this, the
// oldest is forgotten, and its removal names it by serial.
static const size_t max_described = 256;
// Bytes kept of a serial and of a description. No USB serial comes near
// (a string descriptor holds at most 126 UTF-16 code units); only a peer's
// forgery does, and memory must not grow with it.
static const size_t max_serial = 512, max_description = 1024;
// Block devices whose add event was seen, before those gone from sysfs are
// forgotten.
static const size_t max_announced = 4096;

struct report {
    std::string serial;  // cut to max_serial
    int host;
    bool attached;
};

struct awaited {
    std::string serial;
    int host;
    steady::time_point deadline;
};

// What the removal of a described medium needs: its notification's body,
// and for --on-remove what the attach runs of its last medium lines got.
struct described {
    std::string serial, description;
    std::vector<watch_hooks_medium_ptr> hooked;
};

static watch_format format = WATCH_TEXT;
static void (*print)(const std::string &) = NULL;
static std::thread worker;
// wake_fd: a report was handed over, or the end came; stop_fd: the end
// came (a probe waits on it); done_fd: the worker has ended.
static int wake_fd = -1, stop_fd = -1, done_fd = -1;
static std::mutex handed_mutex;  // guards the four below, and writes to wake_fd
static std::deque<report> handed;
static bool running = false, ending = false, told_dropped = false;

// `text`, cut to at most `max` bytes at the start of a UTF-8 sequence, with
// an ellipsis when it was longer.
static std::string bounded(const char *text, size_t max) {
    size_t length = strnlen(text, max + 1);
    if (length <= max)
        return std::string(text, length);
    size_t cut = max - 3;
    while (cut > 0 && ((unsigned char)text[cut] & 0xc0) == 0x80)
        cut--;
    return std::string(text, cut) + "\u2026";
}

void watch_followup_report(const PYXO::media_ST &media) {
    report r = {bounded(media.serial, max_serial), media.scsi.s_bus, (bool)media.attached};
    std::lock_guard<std::mutex> lock(handed_mutex);
    if (!running || ending)
        return;
    if (handed.size() >= max_handed) {
        handed.pop_front();
        if (!told_dropped)
            watch_output_note(
                "pyxo-watch: reports come faster than media can be looked at: what would "
                "follow the oldest waiting is dropped");
        told_dropped = true;
    }
    handed.push_back(std::move(r));
    uint64_t one = 1;
    (void)!write(wake_fd, &one, sizeof one);
}

// The rest runs in the worker thread only.
static bool notifying = false;
static std::deque<described> known;  // oldest first
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

static void describe(const std::string &serial, const std::string &description,
                     std::vector<watch_hooks_medium_ptr> hooked) {
    auto same = [&](const described &d) { return d.serial == serial; };
    known.erase(std::remove_if(known.begin(), known.end(), same), known.end());
    if (known.size() >= max_described)
        known.pop_front();
    known.push_back({serial, bounded(description.c_str(), max_description), std::move(hooked)});
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
    std::string front_body;
    std::vector<watch_hooks_medium_ptr> hooked;
    for (watch_disk &disk : disks) {
        if (!watch_medium_probe(disk, stop_fd))
            return true;
        const char *note = disk.device.empty() ? no_disk_note
                           : disk.note.empty() ? NULL
                                               : disk.note.c_str();
        std::string line = watch_medium_line(format, time(NULL), a.serial.c_str(), disk, note);
        print(line);
        std::string body = watch_medium_description(disk, note);
        if (notifying)
            watch_notify("USB stick attached", body, a.host);
        if (&disk == &disks.front())
            front_body = body;
        if (watch_hooks_wanted(true) || watch_hooks_wanted(false)) {
            // Programs get the JSON object in either format.
            if (format != WATCH_JSON)
                line = watch_medium_line(WATCH_JSON, 0, a.serial.c_str(), disk, note);
            hooked.push_back(watch_hooks_describe(a.serial.c_str(), disk, line));
            watch_hooks_queue(true, hooked.back());
        }
    }
    describe(a.serial, front_body, std::move(hooked));
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
    auto it = std::find_if(known.begin(), known.end(),
                           [&](const described &d) { return d.serial == r.serial; });
    if (notifying)
        watch_notify("USB stick removed", it != known.end() ? it->description : plain_body(r));
    if (it == known.end())
        return;
    for (const watch_hooks_medium_ptr &medium : it->hooked)
        watch_hooks_queue(false, medium);
    known.erase(it);
}

// Forgets announced block devices that are gone from sysfs: their remove
// events may have been lost, as events are when a burst overflows the
// monitor's buffer.
static void forget_gone() {
    if (announced.size() < max_announced)
        return;
    for (auto it = announced.begin(); it != announced.end();)
        it = access(it->c_str(), F_OK) != 0 ? announced.erase(it) : std::next(it);
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
        forget_gone();
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
    notifying = notify;
    if (notifying)
        watch_notify_start();
    running = true;
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
