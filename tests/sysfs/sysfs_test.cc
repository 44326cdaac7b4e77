// The real pyxod --sysfs against the real console servant, on a umockdev
// testbed: real libudev reading a faked /sys, and its uevents.
#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "daemon_test_fixture.h"
#include "usb_stick.h"

static usb_stick stick(const std::string &port, std::optional<std::string> serial, int host) {
    usb_stick s;
    s.port = port;
    s.serial = serial;
    s.host = host;
    return s;
}

class Sysfs : public DaemonTest {
  protected:
    // Created before any program starts, which inherits its UMOCKDEV_DIR.
    UMockdevTestbed *testbed = umockdev_testbed_new();
    ~Sysfs() override {
        g_object_unref(testbed);
    }
    void plug(const usb_stick &s) {
        ASSERT_TRUE(usb_stick_plug(testbed, s));
    }
    // The next report of `serial` is `attached` on host `bus`.
    void expect(const std::string &serial, bool attached, int bus) {
        report r;
        ASSERT_TRUE(wait_report(w, serial, kPass, &r)) << serial;
        EXPECT_EQ(r.attached, attached) << serial;
        EXPECT_EQ(r.s_bus, bus) << serial;
    }
    // Plugs a stick of serial `mark` and waits for it: passes before are over.
    void sysfs_marker(const std::string &mark, int host) {
        plug(stick("3-" + std::to_string(host), mark, host));
        expect("07815567" + mark, true, host);
    }
};

// A SCSI host that is not a USB stick's.
static std::string plain_host(const std::string &parent, int n, const std::string &driver) {
    std::string p = parent + "/host" + std::to_string(n);
    return "P: " + p + "\nE: DEVTYPE=scsi_host\nE: SUBSYSTEM=scsi\n\nP: " + p + "/scsi_host/host" +
           std::to_string(n) + "\nE: SUBSYSTEM=scsi_host\nA: proc_name=" + driver + "\n\n";
}

// `count` ahci hosts from host `first` on.
static std::string plain_hosts(int first, int count) {
    std::string all;
    for (int i = first; i < first + count; i++)
        all += plain_host("/devices/pci0000:00/0000:00:17.0/ata2", i, "ahci");
    return all;
}

TEST_F(Sysfs, FirstPassThenEventsPlugPullReplug) {
    plug({});  // 0781556720511911704 on host 2
    usb_stick uas = stick("1-3", "AA01", 3);
    uas.driver = "uas";
    uas.lun = 1;
    plug(uas);
    plug(stick("1-4", std::nullopt, 4));
    ASSERT_TRUE(umockdev_testbed_add_from_string(
        testbed,
        (plain_host("/devices/pci0000:00/0000:00:17.0/ata1", 0, "ahci") +
         plain_host("/devices/platform/dummy", 1, "usb-storage"))  // not under USB
            .c_str(),
        NULL));
    start({"-l", "--sysfs"});
    report r;
    ASSERT_TRUE(wait_report(w, "0781556720511911704", kPass, &r));
    EXPECT_TRUE(r.attached);
    EXPECT_EQ(r.s_bus, 2);
    ASSERT_TRUE(wait_report(w, "07815567AA01", kPass, &r));
    EXPECT_EQ(std::vector<int>({r.s_bus, r.s_channel, r.s_id, r.s_lun}),
              std::vector<int>({3, 0, 0, 1}));
    expect("07815567:1-4", true, 4);

    usb_stick a = stick("2-1", "b0b0", 7);
    for (int i = 0; i < 4; i++) {
        a.host = 7 + i;  // a new host number each time
        plug(a);
        expect("07815567b0b0", true, a.host);
        usb_stick_pull(testbed, a);
        expect("07815567b0b0", false, a.host);  // Removed with the last host
    }

    // The daemon listens: a remove event alone, with the host still in
    // sysfs, is reported, which no pass over sysfs could have found. The
    // pass after it sees the host again.
    a.host = 11;
    plug(a);
    expect("07815567b0b0", true, 11);
    umockdev_testbed_uevent(testbed, usb_stick_host_path(a).c_str(), "remove");
    expect("07815567b0b0", false, 11);
    expect("07815567b0b0", true, 11);
    usb_stick_pull(testbed, a);
    expect("07815567b0b0", false, 11);

    // Two at once, pulled at once.
    usb_stick b = stick("2-2", "c1", 20), c = stick("2-3", "c2", 21);
    plug(b);
    plug(c);
    expect("07815567c1", true, 20);
    expect("07815567c2", true, 21);
    usb_stick_pull(testbed, b);
    usb_stick_pull(testbed, c);
    expect("07815567c1", false, 20);
    expect("07815567c2", false, 21);

    // Events lost: the 3-second pass still finds the stick gone.
    usb_stick_pull(testbed, {}, false);
    expect("0781556720511911704", false, 2);
    sysfs_marker("e1", 30);
    sysfs_marker("e2", 31);
    stop_with(SIGTERM);

    // Every change once, and nothing for the two other hosts.
    auto media = media_lines();
    EXPECT_EQ(media.size(), 3u + 8u + 4u + 4u + 1u + 2u);
    EXPECT_EQ(std::count(media.begin(), media.end(), media_line("0781556720511911704", false)), 1);
}

TEST_F(Sysfs, BadAttributesAndThousandsOfHosts) {
    struct {
        std::optional<std::string> vendor, serial;
        const char *expected;  // null: not a medium
    } cases[] = {
        {"0781", "a b\"c'd", "07815567a b\\\"c'd"},  // as given, escaped by JSON
        {"0781", std::string(255, 'S'), nullptr},    // as given: below
        {"0781",
         "Gr\xc3\xbc\xc3\x9f"
         "e",
         "07815567Gr\xc3\xbc\xc3\x9f"
         "e"},                                  // UTF-8
        {"0781", "x\x01y\nz", "07815567:4-4"},  // control bytes: by port
        {"0781", "", "07815567:4-5"},           // empty: by port
        {"ABCD", "up", "abcd5567up"},           // ids in lower case
        {std::nullopt, "noid", nullptr},        // no idVendor: skipped
        {"07g1", "nothex", nullptr},            // not hex: skipped
        {"07811", "long", nullptr},             // five digits: skipped
        // What would lie on a terminal: by port.
        {"0781", "a\xc2\x9bz", "07815567:4-10"},      // C1 control (CSI)
        {"0781", "a\x7fz", "07815567:4-11"},          // DEL
        {"0781", "a\xe2\x80\xaez", "07815567:4-12"},  // right-to-left override
        {"0781", "a\xe2\x81\xa6z", "07815567:4-13"},  // left-to-right isolate
        {"0781", "a\xffz", "07815567:4-14"},          // no UTF-8
    };
    int n = 1;
    for (auto &c : cases) {
        usb_stick s = stick("4-" + std::to_string(n), c.serial, 40 + n);
        s.vendor = c.vendor;
        plug(s);
        n++;
    }
    ASSERT_TRUE(umockdev_testbed_add_from_string(testbed, plain_hosts(100, 2000).c_str(), NULL));
    start({"-l", "--sysfs"});
    for (auto &c : cases) {
        if (c.expected == nullptr)
            continue;
        std::string want = std::string("\"serial\":\"") + c.expected + "\",\"attached\":true";
        EXPECT_FALSE(wait_line(
                         w.proc, [&](const std::string &l) { return contains(l, want); }, kPass)
                         .empty())
            << want;
    }
    report r;
    ASSERT_TRUE(wait_report(w, "07815567" + std::string(255, 'S'), kPass, &r));
    EXPECT_EQ(r.s_bus, 42);
    sysfs_marker("f1", 60);
    sysfs_marker("f2", 61);
    stop_with(SIGTERM);
    EXPECT_EQ(media_lines().size(), 11u + 2u);
}

// Clones (sticks that share ids and serial) each get their own reports:
// the first to come keeps the plain identity while it stays, the other is
// told apart by its port, whichever order they come and go in.
TEST_F(Sysfs, ClonesEachGetTheirOwnReports) {
    // Seen in one pass: the lower host number is plain, its port sorts last.
    plug(stick("7-9", "c0", 70));
    plug(stick("7-1", "c0", 71));
    start({"-l", "--sysfs"});
    expect("07815567c0", true, 70);
    expect("07815567c0:7-1", true, 71);
    // Plugged in turn, pulled in either order.
    plug(stick("7-2", "c1", 72)), expect("07815567c1", true, 72);
    plug(stick("7-3", "c1", 73)), expect("07815567c1:7-3", true, 73);
    usb_stick_pull(testbed, stick("7-3", "c1", 73)), expect("07815567c1:7-3", false, 73);
    usb_stick_pull(testbed, stick("7-2", "c1", 72)), expect("07815567c1", false, 72);
    // The second on a lower host number, in a port that sorts first.
    plug(stick("7-5", "c2", 75)), expect("07815567c2", true, 75);
    plug(stick("7-4", "c2", 74)), expect("07815567c2:7-4", true, 74);
    usb_stick_pull(testbed, stick("7-5", "c2", 75)), expect("07815567c2", false, 75);
    usb_stick_pull(testbed, stick("7-4", "c2", 74)), expect("07815567c2:7-4", false, 74);
    sysfs_marker("e1", 30);
    stop_with(SIGTERM);
    EXPECT_EQ(media_lines().size(), 2u + 4u + 4u + 1u);
}

TEST_F(Sysfs, EventFloodNeitherStallsNorStops) {
    if (atoi(read_file("/proc/sys/net/unix/max_dgram_qlen").c_str()) < 10000)
        GTEST_SKIP() << "umockdev's event queue holds 10 events: a flood needs root";
    plug({});
    start({"-l", "--sysfs"});
    expect("0781556720511911704", true, 2);
    // Far more events than the daemon takes at once: thousands of hosts
    // added, then changes of one.
    ASSERT_TRUE(umockdev_testbed_add_from_string(testbed, plain_hosts(100, 1000).c_str(), NULL));
    std::string flooded = usb_stick_host_path({});
    for (int i = 0; i < 5000; i++)
        umockdev_testbed_uevent(testbed, flooded.c_str(), "change");
    usb_stick_pull(testbed, {});
    expect("0781556720511911704", false, 2);
    sysfs_marker("f1", 60);
    stop_with(SIGTERM);
    EXPECT_EQ(media_lines().size(), 3u);
}

TEST_F(Sysfs, ServantGoneStopsTheDaemon) {
    start({"-l", "--sysfs"});
    kill_child(w.proc);
    // The first report after the servant's death may still leave.
    int status = -1;
    for (int i = 0; i < 4 && status == -1; i++) {
        plug(stick("5-" + std::to_string(i), "d" + std::to_string(i), 50 + i));
        ASSERT_TRUE(wait_for_file(
            tree.log,
            [&](const std::string &t) {
                return contains(t, "Media 07815567d" + std::to_string(i));
            },
            kPass));
        status = wait_exit(d, 2s);
    }
    EXPECT_EQ(status_text(status), "signal 15");
    auto log = log_messages(tree.log);
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(log[log.size() - 3], "|Error sending report to servant");
    EXPECT_EQ(log.back(), "Exit");
    EXPECT_FALSE(file_exists(tree.lock));
}

TEST_F(Sysfs, WatchChoosesItsSource) {
    plug({});
    auto run_watch = [&](const std::vector<std::string> &args,
                         const std::vector<std::string> &env) {
        std::vector<std::string> argv = {bin_dir() + "/pyxo-watch", "-l"};
        argv.insert(argv.end(), args.begin(), args.end());
        return spawn(argv, merged(env));
    };
    std::vector<std::string> no_proc = {"PYXOD_PROC_SCSI", "PYXOD_LOCK_FILE=" + tree.lock,
                                        "PYXOD_LOG_FILE=" + tree.log};
    for (const char *source : {"auto", "sysfs"}) {
        child c = run_watch({"--source", source}, no_proc);
        EXPECT_FALSE(
            wait_line(
                c, [](const std::string &l) { return contains(l, "source sysfs: pyxod --sysfs"); },
                kPass)
                .empty());
        EXPECT_FALSE(
            wait_line(
                c, [](const std::string &l) { return contains(l, "0781556720511911704"); }, kPass)
                .empty());
        kill(c.pid, SIGTERM);
        EXPECT_EQ(status_text(wait_exit(c, kPass)), "exit 7");
    }
    child p = run_watch({}, tree.env());  // PYXOD_PROC_SCSI set: proc
    std::string said = "pyxo-watch: source proc: pyxod reads " + tree.scsi + " every 3 seconds";
    EXPECT_FALSE(wait_line(
                     p, [&](const std::string &l) { return l == said; }, kPass)
                     .empty());
    EXPECT_FALSE(wait_line(
                     p, [](const std::string &l) { return contains(l, "daemon attached"); }, kPass)
                     .empty());
    kill(p.pid, SIGTERM);
    EXPECT_EQ(status_text(wait_exit(p, kPass)), "exit 7");
    EXPECT_EQ(run_program({bin_dir() + "/pyxo-watch", "--source", "udev"}).status, 2);
}

int main(int argc, char **argv) {
    usb_stick_run_under_umockdev(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
