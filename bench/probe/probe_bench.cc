// Prints how long pyxo_dev takes per device, whole process, against
// `blkid -p` on the same loop devices, the two run alternately in one session,
// and how many bytes each reads.
//
// Usage: probe_bench [ROUNDS]   (as root, for the loop devices)

#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "probe_testkit.h"

extern char **environ;

namespace {

struct run {
    double micros = 0;  // wall-clock time from spawn to exit
    double cpu = 0;     // user and system time of the process
    long rchar = 0;     // bytes the process read, through any descriptor
    long syscr = 0;     // read calls
    int status = -1;
};

// Starts argv with its output thrown away and times it to its exit; reads its
// I/O counters while it is a zombie, before reaping it.
run timed(const std::vector<std::string> &argv) {
    run r;
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);

    timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t pid;
    int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return r;
    siginfo_t info;
    waitid(P_PID, pid, &info, WEXITED | WNOWAIT);
    clock_gettime(CLOCK_MONOTONIC, &end);
    r.micros = (end.tv_sec - start.tv_sec) * 1e6 + (end.tv_nsec - start.tv_nsec) / 1e3;

    std::ifstream io("/proc/" + std::to_string(pid) + "/io");
    std::string key;
    long value;
    while (io >> key >> value) {
        if (key == "rchar:")
            r.rchar = value;
        else if (key == "syscr:")
            r.syscr = value;
    }
    int status;
    struct rusage usage;
    wait4(pid, &status, 0, &usage);
    r.cpu = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6 + usage.ru_utime.tv_usec +
            usage.ru_stime.tv_usec;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

double median(std::vector<double> v) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct side {
    std::vector<double> wall, cpu;
    long bytes = 0, reads = 0;
    void add(const run &r, const run &floor) {
        wall.push_back(r.micros);
        cpu.push_back(r.cpu);
        bytes = r.rchar - floor.rchar;
        reads = r.syscr - floor.syscr;
    }
};

struct device {
    std::string name;
    std::unique_ptr<loop_device> loop;
    side ours, blkid;
};

void append(std::vector<double> *all, const std::vector<double> &some) {
    all->insert(all->end(), some.begin(), some.end());
}

}  // namespace

int main(int argc, char **argv) {
    int rounds = argc > 1 ? atoi(argv[1]) : 41;
    if (rounds < 1)
        rounds = 1;
    std::string why = loop_devices_unavailable();
    if (!why.empty()) {
        printf("probe_bench: skipped: needs loop devices: %s\n", why.c_str());
        return 0;
    }
    const std::string pyxo_dev = PYXO_DEV;

    temp_dir dir;
    std::vector<device> devices;
    for (const real_filesystem &fs : real_filesystems) {
        std::string image = make_real_image(fs, dir.path, &why);
        if (image.empty()) {
            fprintf(stderr, "probe_bench: %s: %s\n", fs.name, why.c_str());
            continue;
        }
        device d;
        d.name = fs.name;
        // Nobody holds the devices: each run meets them as on a real system.
        d.loop = std::make_unique<loop_device>(image, /*read_only=*/true, /*hold=*/false);
        if (!d.loop->attached()) {
            fprintf(stderr, "probe_bench: %s: %s\n", fs.name, d.loop->error().c_str());
            continue;
        }
        devices.push_back(std::move(d));
    }

    // What a process reads before it looks at the device (the loader reading
    // the libraries): taken off the counts below.
    run our_floor = timed({pyxo_dev});
    run blkid_floor = timed({"blkid", "-V"});

    side floor_true, floor_usage;
    for (int round = 0; round < rounds; round++) {
        floor_true.add(timed({"true"}), run());
        floor_usage.add(timed({pyxo_dev}), our_floor);
        for (device &d : devices) {
            // Alternate who goes first, so neither always meets a warm cache.
            for (int turn = 0; turn < 2; turn++) {
                if ((turn == 0) == (round % 2 == 0))
                    d.ours.add(timed({pyxo_dev, d.loop->path()}), our_floor);
                else
                    d.blkid.add(timed({"blkid", "-p", d.loop->path()}), blkid_floor);
            }
        }
    }

    printf("pyxo_dev against blkid -p on the same loop devices, whole process, %d rounds\n",
           rounds);
    printf("medians in microseconds: wall clock from spawn to exit, CPU time (user+system)\n");
    printf("floor: true %.0f wall %.0f cpu; pyxo_dev without argument %.0f wall %.0f cpu\n\n",
           median(floor_true.wall), median(floor_true.cpu), median(floor_usage.wall),
           median(floor_usage.cpu));
    // Starting any program costs the floor; what is left is the work itself.
    double fw = median(floor_true.wall), fc = median(floor_true.cpu);
    auto row = [&](const char *name, const std::vector<double> &ours,
                   const std::vector<double> &blkid, const std::vector<double> &ours_cpu,
                   const std::vector<double> &blkid_cpu, const char *io) {
        double ow = median(ours), bw = median(blkid), oc = median(ours_cpu), bc = median(blkid_cpu);
        printf("%-14s %9.0f %6.0f %6.2f %6.2f   %8.0f %6.0f %6.2f   %s\n", name, ow, bw, ow / fw,
               (ow - fw) / (bw - fw), oc, bc, (oc - fc) / (bc - fc), io);
    };
    printf("%-14s %9s %6s %6s %6s   %8s %6s %6s   %11s %13s\n", "device", "wall:ours", "blkid",
           "xtrue", "above", "cpu:ours", "blkid", "above", "bytes:ours", "blkid");
    side all_ours, all_blkid;
    for (const device &d : devices) {
        append(&all_ours.wall, d.ours.wall);
        append(&all_ours.cpu, d.ours.cpu);
        append(&all_blkid.wall, d.blkid.wall);
        append(&all_blkid.cpu, d.blkid.cpu);
        char io[64], ours_io[32];
        snprintf(ours_io, sizeof ours_io, "%ld/%ld", d.ours.bytes, d.ours.reads);
        snprintf(io, sizeof io, "%11s %13s", ours_io,
                 (std::to_string(d.blkid.bytes) + "/" + std::to_string(d.blkid.reads)).c_str());
        row(d.name.c_str(), d.ours.wall, d.blkid.wall, d.ours.cpu, d.blkid.cpu, io);
    }
    row("all devices", all_ours.wall, all_blkid.wall, all_ours.cpu, all_blkid.cpu, "");
    printf(
        "\nxtrue: pyxo_dev's time over the floor's (true's); above: pyxo_dev's time above the\n"
        "floor over blkid's time above it. bytes: bytes/read calls beyond those of a run\n"
        "without the device\n");
    return 0;
}
