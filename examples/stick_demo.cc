// The demo of scripts/run.sh on a machine without SCSI hosts: pyxo-watch and
// pyxod --sysfs watch a simulated USB stick that is plugged in and pulled out
// every few seconds. The kernel's side (sysfs and its uevents) is simulated
// by umockdev, as in the tests; the stick's partition is a real loop device
// holding a labelled FAT filesystem made on the spot, so pyxo-watch reads a
// real volume. Needs root for the loop device.
//
// Usage: pyxo-stick-demo [SECONDS [PYXO-WATCH ARGUMENTS...]]
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "probe_testkit.h"
#include "process.h"
#include "usb_stick.h"

// Waits `seconds` for SIGINT or SIGTERM, which stay blocked: true when one came.
static bool stop_requested(int seconds) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    struct timespec wait = {seconds, 0};
    return sigtimedwait(&set, NULL, &wait) > 0;
}

int main(int argc, char **argv) {
    usb_stick_run_under_umockdev(argc, argv);
    int period = argc > 1 ? atoi(argv[1]) : 4;
    if (period <= 0) {
        fprintf(stderr, "usage: pyxo-stick-demo [SECONDS [PYXO-WATCH ARGUMENTS...]]\n");
        return 2;
    }
    std::string why = loop_devices_unavailable();
    if (!why.empty()) {
        fprintf(stderr, "pyxo-stick-demo: %s\n", why.c_str());
        return 77;
    }
    // Before anything starts: the children unblock what they handle.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigprocmask(SIG_BLOCK, &set, NULL);

    temp_dir work(0700);
    std::string image = work / "stick.img";
    const long long sectors = 64 * 1024 * 1024 / 512;
    program_result made = run_program({"sh", "-c",
                                       "truncate -s 64M \"$0\" && mkfs.vfat -F 32 -n 'MY STICK' "
                                       "-i 2a5b7c3d \"$0\" >/dev/null",
                                       image});
    if (made.status != 0) {
        fprintf(stderr, "pyxo-stick-demo: cannot make the stick's filesystem: %s",
                made.err.c_str());
        return 1;
    }
    loop_device volume(image);
    if (!volume.attached()) {
        fprintf(stderr, "pyxo-stick-demo: %s\n", volume.error().c_str());
        return 1;
    }

    UMockdevTestbed *testbed = umockdev_testbed_new();
    usb_stick stick;
    stick.host = 6;
    stick.sectors = sectors + 2048;
    stick.partitions = {sectors};
    stick.backing = {"", volume.path()};

    std::vector<std::string> watch = {bin_dir() + "/pyxo-watch", "--source", "sysfs"};
    watch.insert(watch.end(), argv + (argc > 1 ? 2 : 1), argv + argc);
    spawn_options o;
    o.capture = false;
    o.env = {"PYXOD_PROC_SCSI", "PYXOD_LOCK_FILE=" + work / "pyxod.lock",
             "PYXOD_LOG_FILE=" + work / "pyxod.log"};
    child w = spawn(watch, o);

    bool plugged = false;
    while (!stop_requested(period)) {
        siginfo_t ended = {};
        if (waitid(P_PID, w.pid, &ended, WEXITED | WNOHANG | WNOWAIT) == 0 && ended.si_pid != 0)
            break;  // pyxo-watch ended by itself
        fprintf(stderr, "pyxo-stick-demo: %s the stick\n", plugged ? "pulling out" : "plugging in");
        if (plugged) {
            usb_stick_pull(testbed, stick);
            // Plugged in again, a stick gets the next host number.
            stick.host++;
        } else if (!usb_stick_plug(testbed, stick)) {
            break;
        }
        plugged = !plugged;
    }
    if (plugged)
        usb_stick_pull(testbed, stick);
    kill(w.pid, SIGTERM);
    int status = wait_exit(w, std::chrono::seconds(10));
    g_object_unref(testbed);
    return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
