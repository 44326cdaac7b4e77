// Usage: scan_bench [PASSES]
// Times one scan pass over fixture trees of 10, 1,000 and 10,000 host files
// (8-line files, one in ten a USB storage host) against a floor that opens,
// reads and closes the same files, and checks that many passes over an
// unchanged tree take no heap and no resident memory.
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "colocated_servant.h"
#include "pyxod.h"

static double now() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

static void write_text(const std::string &path, const std::string &text) {
    FILE *f = fopen(path.c_str(), "w");
    fputs(text.c_str(), f);
    fclose(f);
}

// A tree like /proc/scsi: one directory per driver, 8-line host files.
static std::vector<std::string> make_tree(const std::string &root, int files) {
    mkdir(root.c_str(), 0755);
    const char *drivers[] = {"usb-storage", "sg", "ahci", "ata_piix"};
    for (const char *d : drivers)
        mkdir((root + "/" + d).c_str(), 0755);
    std::vector<std::string> paths;
    for (int i = 0; i < files; i++) {
        std::string text, path;
        char guid[32];
        snprintf(guid, sizeof guid, "%012x", 0xA0000 + i);
        if (i % 10 == 0) {
            path = root + "/usb-storage/" + std::to_string(i);
            text = "   Host scsi" + std::to_string(i % 30000) + ": usb-storage\n" +
                   "       Vendor: Generic\n      Product: Flash Disk\n" +
                   "Serial Number: " + guid + "\n     Protocol: Transparent SCSI\n" +
                   "    Transport: Bulk\n         GUID: " + guid + "\n     Attached: Yes\n";
        } else {
            path = root + "/" + drivers[1 + i % 3] + "/" + std::to_string(i);
            text = "Host: scsi" + std::to_string(i) + " Channel: 00 Id: 00 Lun: 00\n" +
                   "  Vendor: ATA      Model: Disk " + guid + " Rev: 1.0\n" +
                   "  Type:   Direct-Access                    ANSI  SCSI revision: 05\n" +
                   "  queue_depth: 32\n  tagged: yes\n  sectors: 976773168\n" +
                   "  state: running\n  timeout: 30\n";
        }
        write_text(path, text);
        paths.push_back(path);
    }
    return paths;
}

static void floor_pass(const std::vector<std::string> &paths) {
    char buf[4096];
    for (auto &p : paths) {
        int fd = open(p.c_str(), O_RDONLY);
        if (fd < 0)
            continue;
        while (read(fd, buf, sizeof buf) > 0) {
        }
        close(fd);
    }
}

static double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

static long rss_kib() {
    long pages = 0, resident = 0;
    FILE *f = fopen("/proc/self/statm", "r");
    if (f) {
        if (fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

int main(int argc, char **argv) {
    long memory_passes = argc > 1 ? atol(argv[1]) : 10000;
    log_open(LOG_NO_CONSOLE);  // no console copy of the log: the figures only
    colocated_servant_start(argv[0]);
    scan_compile_patterns();

    char dir_template[] = "/tmp/pyxod-bench-XXXXXX";
    std::string base = mkdtemp(dir_template);

    printf("scan pass over N host files (median of the runs; same files, same run)\n");
    printf("%8s %12s %12s %8s %8s\n", "files", "pass (us)", "floor (us)", "ratio", "reports");
    for (int files : {10, 1000, 10000}) {
        std::string root = base + "/t" + std::to_string(files);
        std::vector<std::string> paths = make_tree(root, files);
        media_open();
        colocated_reports = 0;
        scan_tree(root.c_str(), NULL);  // first sighting of every medium
        long first = colocated_reports;
        int runs = files >= 10000 ? 21 : files >= 1000 ? 101 : 1001;
        std::vector<double> pass, flo;
        for (int r = 0; r < runs; r++) {
            double t0 = now();
            scan_tree(root.c_str(), NULL);
            double t1 = now();
            floor_pass(paths);
            double t2 = now();
            pass.push_back(t1 - t0);
            flo.push_back(t2 - t1);
        }
        double p = median(pass) * 1e6, f = median(flo) * 1e6;
        printf("%8d %12.1f %12.1f %7.2fx %8ld\n", files, p, f, p / f, first);
        media_close();
    }

    // Memory over many passes of an unchanged tree.
    std::string root = base + "/t10";
    media_open();
    scan_tree(root.c_str(), NULL);
    struct mallinfo2 m0 = mallinfo2();
    long rss0 = rss_kib();
    for (long i = 0; i < memory_passes; i++)
        scan_tree(root.c_str(), NULL);
    struct mallinfo2 m1 = mallinfo2();
    long rss1 = rss_kib();
    for (long i = 0; i < memory_passes; i++)
        scan_tree(root.c_str(), NULL);
    struct mallinfo2 m2 = mallinfo2();
    long rss2 = rss_kib();
    printf("\npasses over an unchanged 10-file tree: heap in use (mallinfo2), RSS\n");
    printf("%10s %14s %10s\n", "after", "heap (bytes)", "RSS (KiB)");
    printf("%10d %14zu %10ld\n", 1, m0.uordblks, rss0);
    printf("%10ld %14zu %10ld\n", memory_passes + 1, m1.uordblks, rss1);
    printf("%10ld %14zu %10ld\n", 2 * memory_passes + 1, m2.uordblks, rss2);
    // Free chunks that malloc keeps in its per-thread cache count as in use
    // for mallinfo2; without the cache the figures show only our own memory.
    if (getenv("GLIBC_TUNABLES") == NULL)
        printf(
            "(chunks in glibc's thread cache count as in use; for exact figures run with\n"
            " GLIBC_TUNABLES=glibc.malloc.tcache_count=0)\n");

    media_close();
    std::string cmd = "rm -rf '" + base + "'";
    if (system(cmd.c_str()) != 0)
        fprintf(stderr, "could not remove %s\n", base.c_str());
    colocated_servant_stop();
    return 0;
}
