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
#include "pyxo_usb_storage.h"
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

// What stands for the disks of a reader with every slot empty.
static const char no_card_note[] = "no medium in any slot";
// A size read must stay the same this long, with no block event below its
// host, before it counts: a card's partitions come a moment after its size,
// and a flapping contact sends change after change.
static const std::chrono::seconds quiet_wait{1};
// Followed hosts are read again this often even without events: a burst
// may overflow the monitor's buffer, and without udevd none come at all.
static const std::chrono::seconds sweep_wait{5};
// Disks followed per host: a reader has a few slots; only a forgery more.
static const size_t max_slots = 64;

// One disk below a followed host: a stick's, or a card reader's slot.
struct slot {
    std::string syspath;  // its block device's
    long long size;       // bytes, as last acted on: 0 an empty slot, -1 unknown
    long long seen;       // as last read: a change that waits to be read again
    bool shown = false;   // a medium line stands for it: printed, not ejected
    // What that line told, for its ejection: the disk, its note, and for
    // --on-remove what its attach runs got.
    watch_disk disk;
    std::string note;
    watch_hooks_medium_ptr hooked;
};

static slot slot_of(const watch_disk &disk) {
    slot s;
    s.syspath = disk.syspath;
    s.size = s.seen = disk.size;
    return s;
}

// A medium whose lines were printed: what its removal needs (its
// notification's body, its slots' remove runs), and while it is there its
// host, whose disks are followed.
struct described {
    std::string serial, description;
    int host = -1;
    std::string host_path;  // its SCSI host's sysfs directory and a '/'
    std::vector<slot> slots;
    steady::time_point due = steady::time_point::max();  // when to read its disks again
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

static void describe(described d) {
    auto same = [&](const described &k) { return k.serial == d.serial; };
    known.erase(std::remove_if(known.begin(), known.end(), same), known.end());
    if (known.size() >= max_described)
        known.pop_front();
    known.push_back(std::move(d));
}

// The sysfs directory of SCSI host `host`, with a '/': the block devices
// below it start so. "" when it is not there.
static std::string host_path(struct udev *udev, int host) {
    struct udev_device *d = pyxo_usb_storage_host(udev, host);
    struct udev_device *parent = d ? udev_device_get_parent(d) : NULL;
    std::string path = parent ? std::string(udev_device_get_syspath(parent)) + "/" : "";
    if (d != NULL)
        udev_device_unref(d);
    return path;
}

// Prints the medium line of `disk` (probed first when it has a block
// device) with `note` or the one it has, notifies and queues the attach
// runs; keeps what it told in `s`, if any. False when the end came
// meanwhile.
static bool show(described &d, slot *s, watch_disk &disk, watch_medium_event event,
                 const char *note = NULL) {
    if (!disk.device.empty() && !watch_medium_probe(disk, stop_fd))
        return false;
    if (note == NULL)
        note = disk.device.empty() ? no_disk_note : disk.note.empty() ? NULL : disk.note.c_str();
    std::string line = watch_medium_line(format, time(NULL), d.serial.c_str(), disk, note, event);
    print(line);
    std::string body = watch_medium_description(disk, note);
    if (notifying)
        watch_notify("USB stick attached", body, d.host);
    if (d.description.empty())
        d.description = bounded(body.c_str(), max_description);
    watch_hooks_medium_ptr hooked;
    if (watch_hooks_wanted(true) || watch_hooks_wanted(false)) {
        // Programs get the JSON object in either format.
        if (format != WATCH_JSON)
            line = watch_medium_line(WATCH_JSON, 0, d.serial.c_str(), disk, note, event);
        hooked = watch_hooks_describe(d.serial.c_str(), disk, line);
        watch_hooks_queue(true, hooked);
    }
    if (s != NULL) {
        s->shown = true;
        s->disk = disk;
        s->note = note != NULL ? note : "";
        s->hooked = hooked;
    }
    return true;
}

// A card taken out: its line again, with what it told when it came; the
// remove runs get what its attach runs got.
static void eject(const described &d, slot &s) {
    const char *note = s.note.empty() ? NULL : s.note.c_str();
    print(watch_medium_line(format, time(NULL), d.serial.c_str(), s.disk, note,
                            WATCH_MEDIUM_EJECTED));
    if (notifying)
        watch_notify("USB stick removed", watch_medium_description(s.disk, note));
    if (s.hooked)
        watch_hooks_queue(false, s.hooked);
    s.hooked.reset();
    s.shown = false;
}

// Prints the medium lines of `a` once all its disks have their block
// devices, its time is up or `now` says so; true when it did, or when the
// end came meanwhile. An empty slot (size 0) has no line of its own; a
// reader with every slot empty gets one line that says so.
static bool follow_up(struct udev *udev, const awaited &a, bool now) {
    bool complete;
    std::vector<watch_disk> disks = watch_medium_disks(udev, a.host, &complete);
    for (const watch_disk &disk : disks)
        complete = complete && settled(disk);
    if (!complete && !now && steady::now() < a.deadline)
        return false;
    described d;
    d.serial = a.serial;
    d.host = a.host;
    d.host_path = host_path(udev, a.host);
    bool empty = true;
    for (watch_disk &disk : disks) {
        bool kept = !disk.device.empty() && d.slots.size() < max_slots;
        if (kept)
            d.slots.push_back(slot_of(disk));
        if (!disk.device.empty() && disk.size == 0)
            continue;
        empty = false;
        if (!show(d, kept ? &d.slots.back() : NULL, disk, WATCH_MEDIUM_FIRST))
            return true;
    }
    watch_disk reader;
    if (empty && !show(d, NULL, reader = watch_medium_reader(udev, a.host), WATCH_MEDIUM_FIRST,
                       no_card_note))
        return true;
    describe(std::move(d));
    return true;
}

// Reads the disks of a followed host again: a disk there for the first
// time gets its line then (late), a card put in or taken out since gets
// its own. A size that is no number tells nothing; one that changed counts
// once it reads the same a quiet second later, so a flapping contact gives
// one line per state it settles in. A disk gone meanwhile is passed over:
// the host's Removed report tells of it.
static void recheck(struct udev *udev, described &d) {
    d.due = steady::time_point::max();
    if (!watch_medium_is_usb_host(udev, d.host))
        return;
    auto again = [&] { d.due = std::min(d.due, steady::now() + quiet_wait); };
    bool complete;
    for (watch_disk &disk : watch_medium_disks(udev, d.host, &complete)) {
        if (disk.device.empty())
            continue;
        auto s = std::find_if(d.slots.begin(), d.slots.end(),
                              [&](const slot &s) { return s.syspath == disk.syspath; });
        if (s == d.slots.end()) {
            if (d.slots.size() >= max_slots)
                continue;
            if (!settled(disk)) {
                again();
                continue;
            }
            d.slots.push_back(slot_of(disk));
            if (disk.size != 0 && !show(d, &d.slots.back(), disk, WATCH_MEDIUM_LATE))
                return;
            continue;
        }
        if (disk.size < 0 || disk.size == s->size) {
            s->seen = s->size;
            continue;
        }
        if (disk.size != s->seen) {
            s->seen = disk.size;
            again();
            continue;
        }
        long long was = s->size;
        s->size = disk.size;
        if (s->shown && (disk.size == 0 || was > 0))
            eject(d, *s);
        if (disk.size > 0 && !show(d, &*s, disk, WATCH_MEDIUM_INSERTED))
            return;
    }
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
    for (const slot &s : it->slots)
        if (s.hooked)
            watch_hooks_queue(false, s.hooked);
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
    steady::time_point sweep = steady::now() + sweep_wait;
    for (;;) {
        // All wait as long, so the first is due first. Once a second at
        // least: events lost to a full buffer, or no udev to send them,
        // must not leave a disk unseen.
        steady::time_point next =
            waiting.empty()
                ? steady::time_point::max()
                : std::min(waiting.front().deadline, steady::now() + std::chrono::seconds(1));
        for (const described &d : known)
            next = std::min(next, d.host_path.empty() ? next : std::min(d.due, sweep));
        int timeout = -1;
        if (next != steady::time_point::max()) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next - steady::now());
            timeout = (int)std::clamp<long long>(left.count() + 1, 0, 60000);
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
            const char *path = udev_device_get_syspath(event);
            if (action != NULL && strcmp(action, "add") == 0)
                announced.insert(path);
            else if (action != NULL && strcmp(action, "remove") == 0)
                announced.erase(path);
            // Below a followed host: its disks are read once it is quiet.
            for (described &d : known)
                if (!d.host_path.empty() &&
                    strncmp(path, d.host_path.c_str(), d.host_path.size()) == 0)
                    d.due = steady::now() + quiet_wait;
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
        bool sweeping = steady::now() >= sweep, pending = false;
        for (described &d : known) {
            if (d.host_path.empty())
                continue;
            if ((sweeping && d.due == steady::time_point::max()) || steady::now() >= d.due)
                recheck(udev, d);
            pending = pending || d.due != steady::time_point::max();
        }
        if (sweeping)
            sweep = steady::now() + sweep_wait;
        if (waiting.empty() && !pending)
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
