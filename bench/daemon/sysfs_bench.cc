// Usage: sysfs_bench [CYCLES]
// pyxod's sysfs source on umockdev testbeds (the program runs itself under
// umockdev-wrapper):
// (a) latency of a report: the real pyxod --sysfs and pyxo-watch --no-daemon
//     --json, CYCLES (default 50) plug/pull cycles of a stick, each timed
//     from the moment umockdev starts on the scsi_host device (adding it and
//     sending its add event, or sending its remove event) to the moment a
//     thread reading pyxo-watch's output gets the report line;
// (b) one pass (in process, with a colocated servant) over 1, 10 and 100
//     USB storage hosts, beside a floor that only lists the hosts and reads
//     the four attribute files a pass needs of each, and beside libudev's
//     bare enumeration of the hosts, in the same run.
#include <dirent.h>
#include <fcntl.h>
#include <libudev.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "colocated_servant.h"
#include "daemon_harness.h"
#include "pyxod.h"
#include "usb_stick.h"

static double now() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

static double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[(size_t)(p * (v.size() - 1) + 0.5)];
}

static usb_stick stick(int n) {
    usb_stick s;
    s.port = std::to_string(1 + n / 100) + "-" + std::to_string(1 + n % 100);
    s.serial = "BENCH" + std::to_string(n);
    s.host = 10 + n;
    return s;
}

// pyxo-watch's report lines, each with the moment it was read: a thread of
// its own reads them as they come, whatever the main thread is doing.
struct report_clock {
    std::mutex lock;
    std::condition_variable came;
    std::vector<std::pair<double, report>> reports;
    bool ended = false;
};

static void read_reports(child *proc, report_clock *clock) {
    size_t seen = 0;
    while (proc->out >= 0) {
        pump(*proc, 200ms);
        std::lock_guard<std::mutex> hold(clock->lock);
        for (; seen < proc->lines.size(); seen++) {
            report r;
            if (parse_report(proc->lines[seen], &r))
                clock->reports.push_back({now(), r});
        }
        clock->came.notify_all();
    }
    std::lock_guard<std::mutex> hold(clock->lock);
    clock->ended = true;
    clock->came.notify_all();
}

// When the next report (after `*taken` of them) came; -1 if none in 20 s.
static double report_time(report_clock *clock, size_t *taken, bool attached) {
    std::unique_lock<std::mutex> hold(clock->lock);
    if (!clock->came.wait_for(hold, 20s,
                              [&] { return clock->ended || clock->reports.size() > *taken; }) ||
        clock->reports.size() <= *taken)
        return -1;
    auto &[when, r] = clock->reports[(*taken)++];
    return r.attached == attached ? when : -1;
}

static void latency(int cycles) {
    UMockdevTestbed *testbed = umockdev_testbed_new();
    fixture_tree tree;
    watch w = start_watch(tree);
    spawn_options quiet;
    quiet.out_file = quiet.err_file = tree.dir + "/pyxod.out";
    child d = start_daemon(tree, {"--sysfs"}, w.ior, quiet);
    if (wait_line(
            w.proc, [](const std::string &l) { return contains(l, "daemon_attached"); }, 20s)
            .empty()) {
        fprintf(stderr, "sysfs_bench: the daemon did not attach\n");
        exit(1);
    }
    report_clock clock;
    std::thread reader(read_reports, &w.proc, &clock);
    std::vector<double> plug, pull;
    size_t taken = 0;
    for (int i = 0; i < cycles; i++) {
        usb_stick s = stick(0);
        s.host = 10 + i;  // a new host number each time, as the kernel gives
        std::string host = usb_stick_host_path(s);
        double event = 0;
        auto at_host = [&](const std::string &path) {
            if (path == host)
                event = now();
        };
        usb_stick_plug(testbed, s, at_host);
        double attached = report_time(&clock, &taken, true);
        plug.push_back(attached - event);
        usb_stick_pull(testbed, s, true, at_host);
        double removed = report_time(&clock, &taken, false);
        pull.push_back(removed - event);
        if (attached < 0 || removed < 0) {
            fprintf(stderr, "sysfs_bench: cycle %d lost its report\n", i);
            exit(1);
        }
    }
    printf("(a) uevent to report line at pyxo-watch, %d plug/pull cycles (ms)\n", cycles);
    printf("%10s %10s %10s\n", "", "median", "p95");
    printf("%10s %10.1f %10.1f\n", "plug", percentile(plug, 0.5) * 1e3,
           percentile(plug, 0.95) * 1e3);
    printf("%10s %10.1f %10.1f\n", "pull", percentile(pull, 0.5) * 1e3,
           percentile(pull, 0.95) * 1e3);
    std::vector<double> all = plug;
    all.insert(all.end(), pull.begin(), pull.end());
    printf("%10s %10.1f %10.1f\n", "both", percentile(all, 0.5) * 1e3, percentile(all, 0.95) * 1e3);
    kill(d.pid, SIGTERM);
    wait_exit(d, 20s);
    kill(w.proc.pid, SIGTERM);
    reader.join();
    g_object_unref(testbed);
}

static void read_attribute(const std::string &path) {
    char buf[4096];
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return;
    while (read(fd, buf, sizeof buf) > 0) {
    }
    close(fd);
}

// What a pass cannot do without: list the hosts, read each one's proc_name,
// and the ids and serial of the USB device three levels above it.
static void floor_pass() {
    DIR *dir = opendir("/sys/class/scsi_host");
    if (dir == NULL)
        return;
    while (struct dirent *e = readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        std::string link = std::string("/sys/class/scsi_host/") + e->d_name;
        char target[4096];
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0)
            continue;
        target[n] = '\0';
        read_attribute(link + "/proc_name");
        std::string host =
            "/sys/class/scsi_host/" + std::string(target);  // .../hostN/scsi_host/hostN
        for (int up = 0; up < 4; up++)
            host = host.substr(0, host.rfind('/'));
        for (const char *name : {"idVendor", "idProduct", "serial"})
            read_attribute(host + "/" + name);
    }
    closedir(dir);
}

// libudev's part of a pass that no pass can do without: the enumeration.
static void enumerate_only(struct udev *udev) {
    struct udev_enumerate *hosts = udev_enumerate_new(udev);
    udev_enumerate_add_match_subsystem(hosts, "scsi_host");
    udev_enumerate_scan_devices(hosts);
    udev_enumerate_unref(hosts);
}

static void passes() {
    printf("\n(b) one sysfs pass over N USB storage hosts, nothing changed (us; medians)\n");
    printf("%8s %10s %10s %8s %12s %8s %12s\n", "hosts", "pass", "floor", "ratio", "enumerate",
           "ratio", "first pass");
    struct udev *udev = udev_new();
    for (int hosts : {1, 10, 100}) {
        media_open();
        // A testbed of its own for each size, filled before the daemon's
        // monitor listens: nobody takes those events.
        UMockdevTestbed *testbed = umockdev_testbed_new();
        for (int i = 0; i < hosts; i++)
            usb_stick_plug(testbed, stick(1000 * hosts + i));
        sysfs_open();
        colocated_reports = 0;
        double t0 = now();
        sysfs_pass(NULL);  // first sighting of every medium
        double first = now() - t0;
        if (colocated_reports != hosts)
            fprintf(stderr, "sysfs_bench: %ld reports for %d hosts\n", colocated_reports, hosts);
        int runs = hosts >= 100 ? 101 : 501;
        std::vector<double> pass, flo, enu;
        for (int r = 0; r < runs; r++) {
            double a = now();
            sysfs_pass(NULL);
            double b = now();
            floor_pass();
            double c = now();
            enumerate_only(udev);
            double d = now();
            pass.push_back(b - a);
            flo.push_back(c - b);
            enu.push_back(d - c);
        }
        double p = percentile(pass, 0.5) * 1e6, f = percentile(flo, 0.5) * 1e6,
               e = percentile(enu, 0.5) * 1e6;
        printf("%8d %10.1f %10.1f %7.2fx %12.1f %7.2fx %12.1f\n", hosts, p, f, p / f, e, e / f,
               first * 1e6);
        sysfs_close();
        g_object_unref(testbed);
        media_close();
    }
    udev_unref(udev);
}

int main(int argc, char **argv) {
    usb_stick_run_under_umockdev(argc, argv);
    int cycles = argc > 1 ? atoi(argv[1]) : 50;
    log_open(LOG_NO_CONSOLE);  // no console copy of the in-process log: the figures only
    latency(cycles);
    colocated_servant_start(argv[0]);
    passes();
    colocated_servant_stop();
    return 0;
}
