// What the daemon reports, pass after pass, for the host files it finds.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "daemon_test_fixture.h"

using Reports = DaemonTest;

TEST_F(Reports, FirstPassReportsEveryMediumThenNothingWhileUnchanged) {
    write_file(host("2"), usb_host_file(2, "0a1b2c3d4e5f", "Yes"));
    write_file(host("3"), usb_host_file(3, "FEED01", "No"));
    write_file(host("4"), usb_host_file(4, "beef02", ""));
    write_file(tree.scsi + "/ide-scsi/0", "Host scsi0: ide-scsi\nGUID: 1234\nAttached: Yes\n");
    write_file(host("5"), "   Host scsi5: usb-storage\n     Attached: Yes\n");  // no GUID
    write_file(tree.scsi + "/scsi", "Attached devices:\n");  // a file directly under scsi/
    start();

    report r;
    ASSERT_TRUE(wait_report(w, "0a1b2c3d4e5f", kPass, &r));
    EXPECT_TRUE(r.attached);
    EXPECT_EQ(r.s_bus, 2);
    EXPECT_EQ(r.s_channel + r.s_id + r.s_lun, 0);
    ASSERT_TRUE(wait_report(w, "FEED01", kPass, &r));
    EXPECT_FALSE(r.attached);
    EXPECT_EQ(r.s_bus, 3);
    ASSERT_TRUE(wait_report(w, "beef02", kPass, &r));
    EXPECT_FALSE(r.attached);  // no attachment line: "Removed"
    EXPECT_EQ(r.s_bus, 4);

    marker("c0ffee");  // a later pass
    marker("c0ffef");  // and usually one more
    stop_with(SIGTERM);

    auto media = media_lines();
    ASSERT_EQ(media.size(), 5u);
    std::vector<std::string> first(media.begin(), media.begin() + 3);
    std::sort(first.begin(), first.end());
    EXPECT_EQ(first,
              (std::vector<std::string>{media_line("0a1b2c3d4e5f", true),
                                        media_line("FEED01", false), media_line("beef02", false)}));
    EXPECT_EQ(media[3], media_line("c0ffee", true));
    EXPECT_EQ(media[4], media_line("c0ffef", true));
    // Console copy without -d: the same messages on standard output.
    drain(d, 5s);
    EXPECT_NE(std::find(d.lines.begin(), d.lines.end(), media_line("FEED01", false)),
              d.lines.end());
    EXPECT_EQ(d.lines.back(), "Exit");
}

TEST_F(Reports, RemovedOnceAfterAttachedNoAndHostChangeReportedAgain) {
    write_file(host("2"), usb_host_file(2, "ABCDEF", "Yes"));
    start();
    report r;
    ASSERT_TRUE(wait_report(w, "ABCDEF", kPass, &r));
    EXPECT_TRUE(r.attached);

    write_file(host("2"), usb_host_file(2, "ABCDEF", "No"));
    ASSERT_TRUE(wait_report(w, "ABCDEF", kPass, &r));
    EXPECT_FALSE(r.attached);
    EXPECT_EQ(r.s_bus, 2);
    marker("aa01");
    marker("aa02");

    // Plugged in again on another host: a change of the host number.
    unlink(host("2").c_str());
    write_file(host("3"), usb_host_file(3, "ABCDEF", "No"));
    ASSERT_TRUE(wait_report(w, "ABCDEF", kPass, &r));
    EXPECT_FALSE(r.attached);
    EXPECT_EQ(r.s_bus, 3);
    write_file(host("3"), usb_host_file(3, "ABCDEF", "Yes"));
    ASSERT_TRUE(wait_report(w, "ABCDEF", kPass, &r));
    EXPECT_TRUE(r.attached);
    EXPECT_EQ(r.s_bus, 3);
    // Moved to host 7 while attached: reported, and logged "Attached" again.
    unlink(host("3").c_str());
    write_file(host("7"), usb_host_file(7, "ABCDEF", "Yes"));
    ASSERT_TRUE(wait_report(w, "ABCDEF", kPass, &r));
    EXPECT_EQ(r.s_bus, 7);
    // Host file gone: no report at all.
    unlink(host("7").c_str());
    marker("aa03");
    stop_with(SIGTERM);

    EXPECT_EQ(media_lines(),
              (std::vector<std::string>{media_line("ABCDEF", true), media_line("ABCDEF", false),
                                        media_line("aa01", true), media_line("aa02", true),
                                        media_line("ABCDEF", false), media_line("ABCDEF", true),
                                        media_line("ABCDEF", true), media_line("aa03", true)}));
}

TEST_F(Reports, LineFormsAcceptedAndRejected) {
    struct {
        const char *name;
        std::string text;
        const char *serial;  // null: not a medium
        bool attached;
        int bus;
    } cases[] = {
        {"case", "  host SCSI5: USB-Storage\n  guid: 0aBcD9\n  attached: YES\n", "0aBcD9", true, 5},
        {"blanks", "Host scsi6: usb-storage\n GUID: 66aa \t \nAttached: yes\n", "66aa", true, 6},
        {"longer-word", "Host scsi8: usb-storage\nGUID: 88\nAttached: Nope\n", "88", false, 8},
        {"last-guid", "Host scsi9: usb-storage\nGUID: 91\nGUID: 92\nAttached: Yes\n", "92", true,
         9},
        {"tab-lead", "Host scsi10: usb-storage\n\tGUID: 1010\nAttached: Yes\n", nullptr, 0, 0},
        {"trailing", "Host scsi11: usb-storage\nGUID: 1111 x\nAttached: Yes\n", nullptr, 0, 0},
        {"not-hex", "Host scsi12: usb-storage\nGUID: 12g2\nAttached: Yes\n", nullptr, 0, 0},
        {"ide", "Host scsi0: ide-scsi\nGUID: 1313\nAttached: Yes\n", nullptr, 0, 0},
        {"65535", "Host scsi65535: usb-storage\nGUID: 1414\nAttached: Yes\n", nullptr, 0, 0},
        {"huge", "Host scsi99999999999999999999: usb-storage\nGUID: 1515\nAttached: Yes\n", nullptr,
         0, 0},
        {"no-final-break", "Host scsi16: usb-storage\nGUID: 1616\nAttached: Yes", "1616", false,
         16},
        // A line ends at its first NUL byte for the patterns.
        {"nul", std::string("Host scsi17: usb-storage\nGUID: 17\0ff\nAttached: Yes\n", 51), "17",
         true, 17},
    };
    std::vector<std::string> expected;
    for (auto &c : cases)
        write_file(tree.scsi + "/usb-storage/" + c.name, c.text);
    start();
    for (auto &c : cases) {
        if (!c.serial)
            continue;
        report r;
        ASSERT_TRUE(wait_report(w, c.serial, kPass, &r)) << c.name;
        EXPECT_EQ(r.attached, c.attached) << c.name;
        EXPECT_EQ(r.s_bus, c.bus) << c.name;
    }
    marker("ff01");
    marker("ff02");
    stop_with(SIGTERM);
    size_t reports = 0;
    for (auto &l : w.proc.lines)
        reports += contains(l, "media_changed");
    EXPECT_EQ(reports, 6u + 2u);
}

TEST_F(Reports, SharedGuidFlipFlopsOnEveryPass) {
    write_file(host("2"), usb_host_file(2, "d0d0", "Yes"));
    write_file(tree.scsi + "/other/3", usb_host_file(3, "d0d0", "Yes"));
    start();
    // Each file overwrites the host number the other left: every pass
    // reports twice, once per host. (The servant may print the two reports of
    // one pass in either order: it can dispatch calls side by side.)
    int per_bus[2] = {0, 0};
    for (int i = 0; i < 6; i++) {
        report r;
        ASSERT_TRUE(wait_report(w, "d0d0", kPass, &r)) << i;
        ASSERT_TRUE(r.s_bus == 2 || r.s_bus == 3) << r.s_bus;
        per_bus[r.s_bus - 2]++;
    }
    // Six reports take three passes, the fourth being 3 s away.
    EXPECT_EQ(per_bus[0], 3);
    EXPECT_EQ(per_bus[1], 3);
    stop_with(SIGTERM);
}

TEST_F(Reports, UnreadableHostFileSkippedAndRetried) {
    // As root every file opens, so this daemon runs as nobody.
    chmod(tree.dir.c_str(), 0777);
    write_file(host("2"), usb_host_file(2, "5ec0", "Yes"));
    chmod(host("2").c_str(), 0);
    spawn_options o;
    o.as_nobody = true;
    start({"-l"}, o);
    marker("5ec1");
    marker("5ec2");
    chmod(host("2").c_str(), 0644);
    report r;
    ASSERT_TRUE(wait_report(w, "5ec0", kPass, &r));
    EXPECT_TRUE(r.attached);
    stop_with(SIGTERM);
    auto media = media_lines();
    ASSERT_EQ(media.size(), 3u);
    EXPECT_EQ(media[2], media_line("5ec0", true));
}

TEST_F(Reports, HostileTreeNeitherCrashesNorHides) {
    std::string dir = tree.scsi + "/usb-storage/";
    // A line of 4 MiB before the real lines, binary junk, an empty file.
    write_file(dir + "long", std::string(4 << 20, 'x') + "\n" + usb_host_file(2, "10a6", "Yes"));
    std::string junk;
    for (int i = 0; i < 65536; i++)
        junk += (char)((i * 7919) & 0xff);
    write_file(dir + "binary", junk);
    write_file(dir + "binary-then-medium", junk + "\n" + usb_host_file(3, "b1a7", "Yes"));
    write_file(dir + "empty", "");
    // Symbolic links: a loop, a dangling one, one to a directory, a driver
    // directory that points back at the tree's root, a FIFO.
    symlink((dir + "loop-b").c_str(), (dir + "loop-a").c_str());
    symlink((dir + "loop-a").c_str(), (dir + "loop-b").c_str());
    symlink((dir + "nowhere").c_str(), (dir + "dangling").c_str());
    symlink(tree.scsi.c_str(), (dir + "root").c_str());
    symlink(tree.scsi.c_str(), (tree.scsi + "/back").c_str());
    mkfifo((dir + "fifo").c_str(), 0644);
    start();
    ASSERT_TRUE(wait_report(w, "10a6", kPass, nullptr));
    ASSERT_TRUE(wait_report(w, "b1a7", kPass, nullptr));
    marker("0b01");
    marker("0b02");
    stop_with(SIGTERM);
    EXPECT_EQ(media_lines().size(), 4u);
}

TEST_F(Reports, FifoSwappedInForAHostFileIsSkipped) {
    // FIFOs and regular files take turns at 20 host file names as fast as
    // they can: each pass meets a FIFO where the directory showed a file.
    std::string side = tree.dir + "/";
    for (int i = 0; i < 20; i++) {
        mkfifo((side + std::to_string(i) + "f").c_str(), 0644);
        write_file(side + std::to_string(i) + "r", "Host: scsi0 Channel: 00 Id: 00 Lun: 00\n");
    }
    std::atomic<bool> done{false};
    std::thread swapper([&] {
        while (!done)
            for (int i = 0; i < 40; i++) {
                std::string from = side + std::to_string(i / 2) + "fr"[i % 2], tmp = side + "t";
                link(from.c_str(), tmp.c_str());
                rename(tmp.c_str(), host("swap" + std::to_string(i / 2)).c_str());
            }
    });
    struct joined {
        std::atomic<bool> &done;
        std::thread &thread;
        ~joined() {
            done = true;
            thread.join();
        }
    } stop_swapping{done, swapper};
    start();
    for (const char *serial : {"f1f0", "f1f1", "f1f2", "f1f3"})
        marker(serial);
    stop_with(SIGTERM);
}

static long peak_rss_kib(pid_t pid) {
    std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    size_t p = status.find("VmHWM:");
    return p == std::string::npos ? -1 : atol(status.c_str() + p + 6);
}

TEST_F(Reports, LinesBeyond64KiBAreSkippedAndTakeNoMemory) {
    // A GUID line of 64 KiB with its line break is examined; one byte more,
    // or a serial of 16 MiB, is not, and no report can outgrow the ORB's limit.
    auto medium = [](const std::string &guid) {
        return "Host scsi20: usb-storage\nGUID: " + guid + "\nAttached: Yes\n";
    };
    std::string longest(65536 - 7, 'a'), too_long(65536 - 6, 'b');
    spawn_options o;
    o.out_file = tree.dir + "/console";  // a pipe would hold less than the long line
    start({"-l"}, o);
    marker("b160");
    long before = peak_rss_kib(d.pid);
    write_file(host("too-long"), medium(too_long));
    write_file(host("huge"), medium(std::string(16 << 20, 'c')));
    marker("b161");
    marker("b162");
    long after = peak_rss_kib(d.pid);
    EXPECT_LT(after - before, 4096) << "peak RSS grew from " << before << " KiB to " << after;
    write_file(host("longest"), medium(longest));
    ASSERT_TRUE(wait_report(w, longest, kPass, nullptr));
    stop_with(SIGTERM);
    for (auto &l : w.proc.lines) {
        EXPECT_FALSE(contains(l, "bbbbbbbb"));
        EXPECT_FALSE(contains(l, "cccccccc"));
    }
    EXPECT_EQ(media_lines().size(), 4u);
}

// Idle connections: the servant closes after 30 s, the environment says never.
TEST_F(Reports, ReportAfterAQuietArrivesWhateverTheEnvironment) {
    w = start_watch(tree, {"-ORBinConScanPeriod", "30"});
    d = start_daemon(tree, {"-l"}, w.ior,
                     merged({"ORBoutConScanPeriod=0", "ORBscanGranularity=0"}));
    marker("0001");
    std::this_thread::sleep_for(45s);  // the quiet is what is tested: nothing to wait on
    marker("0002");
    stop_with(SIGTERM);
}
