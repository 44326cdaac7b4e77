// Prints how long pyxo_dev takes per device, whole process, plain and with
// --export, against `blkid -p` on the same loop devices, the three run in
// turn in one session, and how many bytes each reads.
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
    side ours, exported, blkid;
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
            // Each goes first in turn, so none always meets a warm cache.
            for (int turn = 0; turn < 3; turn++) {
                int who = (turn + round) % 3;
                if (who == 0)
                    d.ours.add(timed({pyxo_dev, d.loop->path()}), our_floor);
                else if (who == 1)
                    d.exported.add(timed({pyxo_dev, "--export", d.loop->path()}), our_floor);
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
    auto row = [&](const char *name, const side &ours, const side &exported, const side &blkid,
                   const char *io) {
        double ow = median(ours.wall), ew = median(exported.wall), bw = median(blkid.wall);
        double oc = median(ours.cpu), ec = median(exported.cpu), bc = median(blkid.cpu);
        printf("%-14s %6.0f %6.0f %6.0f  %5.2f %5.2f  %5.2f %5.2f  %5.2f %5.2f  %s\n", name, ow, ew,
               bw, ow / fw, ew / fw, oc / fc, ec / fc, (ew - fw) / (bw - fw), (ec - fc) / (bc - fc),
               io);
    };
    printf("%-14s %6s %6s %6s  %5s %5s  %5s %5s  %5s %5s  %9s %9s %13s\n", "device", "plain",
           "export", "blkid", "xtrue", "xexp", "xcpu", "xcexp", "above", "cpu", "bytes:plain",
           "export", "blkid");
    side all_ours, all_exported, all_blkid;
    for (const device &d : devices) {
        for (auto pair :
             {std::make_pair(&all_ours, &d.ours), std::make_pair(&all_exported, &d.exported),
              std::make_pair(&all_blkid, &d.blkid)}) {
            append(&pair.first->wall, pair.second->wall);
            append(&pair.first->cpu, pair.second->cpu);
        }
        auto io_of = [](const side &s) {
            return std::to_string(s.bytes) + "/" + std::to_string(s.reads);
        };
        char io[80];
        snprintf(io, sizeof io, "%11s %9s %13s", io_of(d.ours).c_str(), io_of(d.exported).c_str(),
                 io_of(d.blkid).c_str());
        row(d.name.c_str(), d.ours, d.exported, d.blkid, io);
    }
    row("all devices", all_ours, all_exported, all_blkid, "");
    printf(
        "\nplain, export, blkid: wall clock of pyxo_dev, pyxo_dev --export, blkid -p;\n"
        "xtrue, xexp: pyxo_dev's and pyxo_dev --export's wall clock over the floor's (true's);\n"
        "xcpu, xcexp: the same for CPU time, which waits for no other process;\n"
        "above, cpu: pyxo_dev --export's wall clock and CPU time above the floor over blkid's\n"
        "above it. bytes: bytes/read calls beyond those of a run without the device\n");
    return 0;
}
