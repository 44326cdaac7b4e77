// Usage: sysfs_bench [CYCLES]
// pyxod's sysfs source on umockdev testbeds (the program runs itself under
// umockdev-wrapper):
// (a) latency of a report: the real pyxod --sysfs and pyxo-watch --no-daemon
//     --json, CYCLES (default 50) plug/pull cycles of a stick, each timed
//     from the start of the plug or pull (umockdev making the devices and
//     sending their uevents) to the report line read from pyxo-watch;
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
#include <string>
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
    std::vector<double> plug, pull, umockdev;
    for (int i = 0; i < cycles; i++) {
        usb_stick s = stick(0);
        s.host = 10 + i;  // a new host number each time, as the kernel gives
        std::string serial = "07815567" + *s.serial;
        report r;
        double t0 = now();
        usb_stick_plug(testbed, s);
        double t1 = now();
        bool ok = wait_report(w, serial, 20s, &r) && r.attached;
        double t2 = now();
        usb_stick_pull(testbed, s);
        double t3 = now();
        ok = ok && wait_report(w, serial, 20s, &r) && !r.attached;
        double t4 = now();
        if (!ok) {
            fprintf(stderr, "sysfs_bench: cycle %d lost its report\n", i);
            exit(1);
        }
        plug.push_back(t2 - t0);
        pull.push_back(t4 - t2);
        umockdev.push_back(t1 - t0);
        umockdev.push_back(t3 - t2);
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
    printf("(of which umockdev making or removing the devices: median %.1f ms)\n",
           percentile(umockdev, 0.5) * 1e3);
    kill(d.pid, SIGTERM);
    wait_exit(d, 20s);
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
        hash_tab = g_hash_table_new(g_str_hash, g_str_equal);
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
        g_hash_table_foreach_remove(hash_tab, free_hash_val, NULL);
        g_hash_table_destroy(hash_tab);
        hash_tab = NULL;
    }
    udev_unref(udev);
}

int main(int argc, char **argv) {
    usb_stick_run_under_umockdev(argc, argv);
    int cycles = argc > 1 ? atoi(argv[1]) : 50;
    use_daemonized = 1;  // no console copy of the in-process log: the figures only
    latency(cycles);
    colocated_servant_start(argv[0]);
    passes();
    colocated_servant_stop();
    return 0;
}
