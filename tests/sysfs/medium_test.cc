// What pyxo-watch tells of a stick plugged in: the real pyxod --sysfs,
// started by pyxo-watch, on a umockdev testbed whose block device nodes open
// real loop devices holding images made by real mkfs tools; with --notify,
// a real notification service (dunst on Xvfb) in a D-Bus session of its
// own, whose Notify calls dbus-monitor shows.
#include <gio/gio.h>
#include <json-glib/json-glib.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <thread>

#include "daemon_harness.h"
#include "probe_testkit.h"
#include "usb_stick.h"
#include "x_session.h"

#include <gtest/gtest.h>

using std::string_literals::operator""s;

// More than the 10 s a disk is awaited, on a loaded machine.
constexpr std::chrono::seconds kWait{40};

class Medium : public ::testing::Test {
  protected:
    UMockdevTestbed *testbed = umockdev_testbed_new();  // before any program starts
    fixture_tree tree;
    child w;
    ~Medium() override {
        kill_child(w);
        g_object_unref(testbed);
    }
    // pyxo-watch starting pyxod --sysfs, with `args` and `env`.
    void start(std::vector<std::string> args, const std::vector<std::string> &env,
               bool as_nobody = false) {
        args.insert(args.begin(), {bin_dir() + "/pyxo-watch", "-l", "--source", "sysfs"});
        spawn_options o;
        o.as_nobody = as_nobody;
        o.env = {"PYXOD_PROC_SCSI", "PYXOD_LOCK_FILE=" + tree.lock, "PYXOD_LOG_FILE=" + tree.log};
        o.env.insert(o.env.end(), env.begin(), env.end());
        w = spawn(args, o);
    }
    // The first output line that holds `part`.
    std::string line_with(const std::string &part) {
        return wait_line(
            w, [&](const std::string &l) { return contains(l, part); }, kWait);
    }
    void stop(std::chrono::milliseconds within = kWait) {
        kill(w.pid, SIGTERM);
        EXPECT_EQ(status_text(wait_exit(w, within)), "exit 7");
    }
};

// A disk that stops answering: a loop device over a file on a FUSE
// filesystem (bindfs), whose daemon is stopped until the end.
struct stalled_disk {
    temp_dir dir;
    child fuse;
    std::optional<loop_device> loop;
    stalled_disk() {
        mkdir((dir / "mnt").c_str(), 0755);
        write_file(dir / "src/disk", std::string(1 << 20, '\0'));
        spawn_options kernel;
        kernel.env = {"LD_PRELOAD"};  // the real /dev/fuse
        fuse = spawn({"bindfs", "-f", dir / "src", dir / "mnt"}, kernel);
        if (wait_for_file(
                "/proc/self/mountinfo", [&](const std::string &t) { return contains(t, dir.path); },
                kWait))
            loop.emplace(dir / "mnt/disk");
        kill(fuse.pid, SIGSTOP);
    }
    ~stalled_disk() {
        kill(fuse.pid, SIGCONT);
        loop.reset();
        kill(fuse.pid, SIGTERM);
        wait_exit(fuse, kWait);
    }
};

// A D-Bus session of its own with dunst on Xvfb, ended with the test;
// dbus-monitor shows the Notify calls, one argument a line, and the answers.
struct notification_service {
    x_session x;
    child bus, dunst;
    std::string monitor;       // its pid; the session ends with it
    spawn_options on_display;  // of a program on that display and bus
    void start() {
        std::string why, address;
        ASSERT_TRUE(x_session_start(x, why)) << why;
        on_display.env = x_session_env(x);
        bus = spawn({"dbus-run-session", "--", "sh", "-c",
                     "echo \"$DBUS_SESSION_BUS_ADDRESS\"; echo $$; exec dbus-monitor "
                     "\"interface='org.freedesktop.Notifications',member='Notify'\" "
                     "\"member='NameOwnerChanged',arg0='org.freedesktop.Notifications'\" "
                     "\"type='method_return'\""},
                    on_display);
        ASSERT_TRUE(read_line(bus, address, kWait) && read_line(bus, monitor, kWait));
        ASSERT_FALSE(wait_line(
                         bus, [](const std::string &l) { return contains(l, "NameLost"); }, kWait)
                         .empty());
        on_display.env = x_session_env(x, {"DBUS_SESSION_BUS_ADDRESS=" + address});
        dunst = spawn({"dunst"}, on_display);
        ASSERT_FALSE(
            wait_line(
                bus, [](const std::string &l) { return contains(l, "NameOwnerChanged"); }, kWait)
                .empty())
            << drain(dunst, 1s);
    }
    ~notification_service() {
        kill_child(dunst);
        if (!monitor.empty())
            kill(atoi(monitor.c_str()), SIGTERM);
        wait_exit(bus, kWait);
        x_session_stop(x);
    }
};

TEST_F(Medium, SticksAreDescribedOnceTheirDisksAppearAndNotified) {
    std::string no_loop = loop_devices_unavailable();
    if (!no_loop.empty())
        GTEST_SKIP() << no_loop;
    temp_dir dir;
    std::map<std::string, std::string> image;
    for (const real_filesystem &f : real_filesystems) {
        std::string why, name = f.name;
        if (name == "vfat16" || name == "ext3" || name == "ext4")
            image[name] = make_real_image(f, dir.path, &why);
        ASSERT_TRUE(why.empty()) << why;
    }
    // A GPT disk holding the FAT (its label in a DOS code page) and the ext3
    // image, each partition a loop device over its part of the disk; the
    // ext3 one mounted.
    std::string gpt = dir / "gpt.img", point = dir / "mnt a";
    spawn_options o, kernel;  // the mount and the loop devices need the real /dev
    kernel.env = {"LD_PRELOAD"};
    o.in_file = dir / "script";
    write_file(o.in_file,
               "label: gpt\nlabel-id: 0A1B2C3D-4E5F-6A7B-8C9D-0E1F2A3B4C5D\n"
               "start=2048, size=40960, uuid=00112233-4455-6677-8899-AABBCCDDEEFF, "
               "name=\"FAT \\x22p\\x22 \\xc3\\xa9$\"\nstart=43008, size=16384\n");
    ASSERT_TRUE(write_file(gpt, std::string(30 << 20, '\0')));
    ASSERT_EQ(run_program({"sfdisk", "-q", gpt}, o).status, 0);
    std::fstream(gpt, std::ios::in | std::ios::out | std::ios::binary).seekp(2048 * 512)
        << read_file(image["vfat16"]) << read_file(image["ext3"]);
    loop_device disk(gpt), vfat(gpt, true, true, 2048 * 512, 40960 * 512),
        ext3(gpt, true, true, 43008 * 512, 16384 * 512), ext4(image["ext4"]);
    ASSERT_TRUE(disk.attached() && vfat.attached() && ext3.attached() && ext4.attached());
    ASSERT_TRUE(mkdir(point.c_str(), 0755) == 0 &&
                run_program({"mount", "-o", "ro", ext3.path(), point}, kernel).status == 0);
    std::shared_ptr<void> unmount(nullptr, [&](void *) { run_program({"umount", point}, kernel); });
    auto uuid = [](const loop_device &d) {
        return run_program({"blkid", "-p", "-o", "value", "-s", "UUID", d.path()})
            .out.substr(0, 36);
    };
    // A device of a driver nobody has: it cannot be opened.
    std::string dead = dir / "dead";
    ASSERT_EQ(mknod(dead.c_str(), S_IFBLK | 0600, makedev(120, 0)), 0);

    notification_service service;
    ASSERT_NO_FATAL_FAILURE(service.start());
    child &bus = service.bus;
    start({"--json", "--notify"}, service.on_display.env);
    usb_stick never = usb_stick_on_host(5, "D0");  // its disk never comes
    never.scanned = false;
    usb_stick slow = usb_stick_on_host(2, "Q\"B\\\xc3\xbf");  // its disk comes after the report
    slow.partitions = {40960, 16384};
    slow.backing = {disk.path(), vfat.path(), ext3.path()};
    usb_stick whole =
        usb_stick_on_host(3, "B0");  // a filesystem on the whole disk, nothing in its inquiry
    whole.scsi_vendor = whole.scsi_model = "  ";
    whole.partitions = {};
    whole.sectors = 1000000;
    whole.backing = {ext4.path()};
    usb_stick closed = usb_stick_on_host(4, "C0");
    closed.partitions = {1000, 1000};
    closed.backing = {"", dead, dead};
    ASSERT_TRUE(usb_stick_plug(testbed, never));
    std::string slow_report = R"("serial":"07815567Q\"B\\)"
                              "\xc3\xbf"
                              R"(","attached":true)";
    ASSERT_TRUE(usb_stick_plug(testbed, slow, [&](const std::string &path) {
        if (contains(path, "/target"))
            line_with(slow_report);
    }));
    ASSERT_TRUE(usb_stick_plug(testbed, whole));
    ASSERT_TRUE(usb_stick_plug(testbed, closed));

    std::string slow_medium = line_with(R"({"op":"medium","serial":"07815567Q\"B\\)");
    EXPECT_GT(std::find(w.lines.begin(), w.lines.end(), slow_medium),
              std::find(w.lines.begin(), w.lines.end(), line_with(slow_report)));
    const std::string tail = R"("partuuid":null,"partlabel":null,"mountpoints":[]})",
                      none =
                          R"("fstype":null,"label":null,"uuid":null,"fsver":null,"usage":null,)" +
                          tail;
    EXPECT_EQ(slow_medium,
              R"({"op":"medium","serial":"07815567Q\"B\\)"
              "\xc3\xbf"
              R"(","device":"/dev/sdc","vendor":"SanDisk","model":"Cruzer Blade",)"
              R"("size":16008609792,"ro":false,"rm":true,"pttype":"gpt",)"
              R"("ptuuid":"0a1b2c3d-4e5f-6a7b-8c9d-0e1f2a3b4c5d","partitions":[)"
              R"({"device":"/dev/sdc1","fstype":"vfat","label":")"
              "\ufffd'$`~ \ufffd!@\","
              R"("uuid":"1234-ABCD","fsver":"FAT16","usage":"filesystem",)"
              R"("partuuid":"00112233-4455-6677-8899-aabbccddeeff","partlabel":"FAT \"p\" )"
              "\u00e9$\","
              R"("mountpoints":[]},{"device":"/dev/sdc2","fstype":"ext3",)"
              R"("label":" a'b\"c$d`e\\f )"
              "\u00e9Z\",\"uuid\":\"" +
                  uuid(ext3) + R"(","fsver":"1.0","usage":"filesystem","partuuid":")" +
                  run_program({"partx", "-g", "-o", "UUID", "-n", "2", gpt}).out.substr(0, 36) +
                  R"(","partlabel":null,"mountpoints":[")" + point + R"("]}]})");
    EXPECT_EQ(line_with(R"({"op":"medium","serial":"07815567B0")"),
              R"({"op":"medium","serial":"07815567B0","device":"/dev/sdd","vendor":"SanDisk",)"
              R"("model":"Cruzer Blade","size":512000000,"ro":false,"rm":true,"pttype":null,)"
              R"("ptuuid":null,"partitions":[{"device":"/dev/sdd","fstype":"ext4","label":)"
              R"("BACKUP 2024","uuid":")" +
                  uuid(ext4) + R"(","fsver":"1.0","usage":"filesystem",)" + tail + "]}");
    EXPECT_EQ(line_with(R"({"op":"medium","serial":"07815567C0")"),
              R"({"op":"medium","serial":"07815567C0","device":"/dev/sde","vendor":"SanDisk",)"
              R"("model":"Cruzer Blade","size":16008609792,"ro":false,"rm":true,"pttype":null,)"
              R"("ptuuid":null,"partitions":[{"device":"/dev/sde1",)" +
                  none + R"(,{"device":"/dev/sde2",)" + none + "]}");
    EXPECT_EQ(line_with(R"({"op":"medium","serial":"07815567D0")"),
              R"({"op":"medium","serial":"07815567D0","device":null,"vendor":"SanDisk",)"
              R"("model":"Cruzer Blade","size":null,"ro":null,"rm":null,"pttype":null,)"
              R"("ptuuid":null,"partitions":[],"note":"no block device appeared in 10 s"})");
    // Notifications go one at a time: the removal's waits for the last one's answer.
    auto answered = [&](const std::string &) {
        auto last = std::find_if(bus.lines.begin(), bus.lines.end(), [](const std::string &l) {
            return contains(l, "no block device appeared");
        });
        return std::any_of(last, bus.lines.end(),
                           [](const std::string &l) { return l.rfind("method return", 0) == 0; });
    };
    ASSERT_FALSE(wait_line(bus, answered, kWait).empty());
    usb_stick_pull(testbed, slow);
    line_with(R"(","attached":false)");
    // The Notify calls' summary and body, one argument a line.
    auto notified = [&](const std::string &summary) {
        // The labels first, valid UTF-8 and escaped as markup.
        std::string body =
            "   string \"\ufffd&apos;$`~ \ufffd!@,  a&apos;b&quot;c$d`e\\f "
            "\u00e9Z \u2014 SanDisk Cruzer Blade, 16.0 GB \u2014 sdc1 vfat, sdc2 ext3\"";
        for (size_t i = 0; i + 1 < bus.lines.size(); i++)
            if (bus.lines[i] == "   string \"" + summary + "\"" && bus.lines[i + 1] == body)
                return true;
        return false;
    };
    EXPECT_FALSE(wait_line(
                     bus,
                     [&](const std::string &) {
                         return notified("USB stick attached") && notified("USB stick removed");
                     },
                     kWait)
                     .empty())
        << bus.out_text;
    stop();

    // Every line is JSON (the daemon's console lines went elsewhere), and
    // nothing follows the Removed report but the other media's lines.
    JsonParser *parser = json_parser_new();
    for (const std::string &l : w.lines)
        EXPECT_TRUE(json_parser_load_from_data(parser, l.c_str(), -1, NULL)) << l;
    g_object_unref(parser);
    EXPECT_EQ(std::count_if(w.lines.begin(), w.lines.end(),
                            [](const std::string &l) { return contains(l, R"("op":"medium")"); }),
              4);
    std::string said = "pyxo-watch: cannot open /dev/sde1: No such device or address";
    EXPECT_TRUE(contains(w.err_text, said)) << w.err_text;
    EXPECT_EQ(w.err_text.find("cannot open"), w.err_text.rfind("cannot open")) << "said once";
}

// dunst has buttons: an attached stick's notification has "Safely remove",
// which refuses while its volume is mounted, and else removes the stick (as
// the attributes the kernel acts on show); the kernel's removal then gives
// the Removed report.
TEST_F(Medium, SafelyRemove) {
    std::string why = loop_devices_unavailable();
    if (!why.empty())
        GTEST_SKIP() << why;
    temp_dir dir;
    std::string image = make_real_image(real_filesystems[2], dir.path, &why);  // ext4
    loop_device mounted(image, false), unmounted(image, false);
    ASSERT_TRUE(mounted.attached() && unmounted.attached()) << why << mounted.error();
    std::string point = dir / "mnt";
    mkdir(point.c_str(), 0755);
    ASSERT_EQ(mount(mounted.path().c_str(), point.c_str(), "ext4", MS_RDONLY, NULL), 0);
    std::unique_ptr<const char, void (*)(const char *)> end(
        point.c_str(), [](const char *p) { umount2(p, MNT_DETACH); });
    notification_service service;
    ASSERT_NO_FATAL_FAILURE(service.start());
    start({"--json", "--notify"}, service.on_display.env);
    usb_stick a = usb_stick_on_host(2, "A0"), b = usb_stick_on_host(3, "B0");
    // Plugs one in and presses its button once its notification is there.
    auto press = [&](usb_stick &s, const std::string &backing, int nth) {
        s.partitions = {};
        s.backing = {backing};
        s.real_devices = true;
        ASSERT_TRUE(usb_stick_plug(testbed, s));
        auto shown = [&](const std::string &) {
            return std::count(service.bus.lines.begin(), service.bus.lines.end(),
                              "      string \"safely-remove\"") >= nth;
        };
        ASSERT_FALSE(wait_line(service.bus, shown, kWait).empty()) << service.bus.out_text;
        EXPECT_EQ(run_program({"dunstctl", "action", "0"}, service.on_display).status, 0);
    };
    auto notified = [&](const std::string &part) {
        return !wait_line(
                    service.bus, [&](const std::string &l) { return contains(l, part); }, kWait)
                    .empty();
    };
    press(a, mounted.path(), 1);
    EXPECT_TRUE(notified("/dev/sdc is mounted on " + point)) << service.bus.out_text;
    EXPECT_TRUE(contains(service.bus.out_text, "   string \"USB stick not removed\""));
    run_program({"dunstctl", "close-all"}, service.on_display);
    press(b, unmounted.path(), 2);
    EXPECT_TRUE(notified("   string \"USB stick can be pulled out\"")) << service.bus.out_text;
    gchar *sys = umockdev_testbed_get_sys_dir(testbed);
    EXPECT_EQ(read_file(sys + usb_stick_host_path(b).substr(4) + "/../../../../remove"), "1");
    g_free(sys);
    usb_stick_pull(testbed, b);
    line_with(R"({"op":"media_changed","serial":"07815567B0","attached":false)");
    stop();
}

// Text lines keep a serial's bytes; --notify without a session bus warns
// once and goes on.
TEST_F(Medium, TextLinesAndNoSessionBus) {
    temp_dir runtime;
    start({"--notify"}, {"DBUS_SESSION_BUS_ADDRESS", "DISPLAY", "XDG_RUNTIME_DIR=" + runtime.path});
    ASSERT_TRUE(usb_stick_plug(testbed, usb_stick_on_host(2, "Q\"\xc3\xbf")));
    ASSERT_TRUE(usb_stick_plug(testbed, usb_stick_on_host(3, "E0")));
    std::string serial = "\"07815567Q\\\"\xc3\xbf\"";
    EXPECT_EQ(line_with(" media changed        " + serial).substr(8),
              "  media changed        " + serial + " Attached  host 2");
    EXPECT_EQ(line_with(" medium               " + serial).substr(8),
              "  medium               " + serial +
                  " /dev/sdc  SanDisk Cruzer Blade  16.0 GB  sdc1 "
                  "unknown");
    line_with(" medium               \"07815567E0\"");
    stop();
    std::string warning = "pyxo-watch: no desktop notifications, no session bus: ";
    EXPECT_TRUE(contains(w.err_text, warning)) << w.err_text;
    EXPECT_EQ(w.err_text.find(warning), w.err_text.rfind(warning));
}

// A session bus that never answers and a disk that stops answering hold
// up nothing: that disk's line says why its type is unknown, the next
// stick's line comes, and SIGTERM ends pyxo-watch at once.
TEST_F(Medium, NoBusAndNoDiskHoldItUp) {
    std::string no_loop = loop_devices_unavailable();
    if (!no_loop.empty())
        GTEST_SKIP() << no_loop;
    temp_dir dir;
    struct sockaddr_un bus = {AF_UNIX, {}};
    snprintf(bus.sun_path, sizeof bus.sun_path, "%s/bus", dir.path.c_str());
    int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(bind(listener, (struct sockaddr *)&bus, sizeof bus), 0);
    ASSERT_EQ(listen(listener, 8), 0);  // connections wait there, never accepted
    stalled_disk disk;
    ASSERT_TRUE(disk.loop && disk.loop->attached());
    start({"--notify"}, {std::string("DBUS_SESSION_BUS_ADDRESS=unix:path=") + bus.sun_path});
    usb_stick stalled = usb_stick_on_host(2, "S0"), next = usb_stick_on_host(3, "N0");
    stalled.backing = {"", disk.loop->path()};
    next.sectors = -5;
    ASSERT_TRUE(usb_stick_plug(testbed, stalled) && usb_stick_plug(testbed, next));
    EXPECT_EQ(line_with("\"07815567S0\" /dev/sdc").substr(8),
              "  medium               \"07815567S0\" /dev/sdc  SanDisk Cruzer Blade  16.0 GB  "
              "sdc1 unknown  (no answer from /dev/sdc1 in 5 s)");
    EXPECT_EQ(line_with("\"07815567N0\" /dev/sdd").substr(8),
              "  medium               \"07815567N0\" /dev/sdd  SanDisk Cruzer Blade  size unknown  "
              "sdd1 unknown");
    // Once more on that disk, and SIGTERM while its probe waits.
    usb_stick again = usb_stick_on_host(4, "T0");
    again.backing = stalled.backing;
    ASSERT_TRUE(usb_stick_plug(testbed, again));
    ASSERT_FALSE(line_with("\"07815567T0\" Attached").empty());
    std::this_thread::sleep_for(1s);  // the probe starts at once: the disk is there
    stop(2s);
    close(listener);
}

// Without the right to read the disks, what udev's record says is shown
// (its label's escapes undone), and standard error says once where it came from.
TEST_F(Medium, UdevRecordWithoutTheRightToRead) {
    if (geteuid() != 0)
        GTEST_SKIP() << "pyxo-watch runs as nobody, which needs root";
    temp_dir dir;
    usb_stick s = usb_stick_on_host(2, "U0");
    s.backing = {dir / "disk", dir / "part"};  // root's alone
    for (int n = 0; n < 2; n++)
        ASSERT_EQ(mknod(s.backing[n].c_str(), S_IFBLK | 0600, makedev(120, n)), 0);
    s.properties = {{"ID_PART_TABLE_TYPE=dos", "ID_PART_TABLE_UUID=a1b2c3d4"},
                    {"ID_FS_TYPE=vfat", "ID_FS_LABEL=MY__STICK__", "ID_FS_USAGE=filesystem",
                     "ID_FS_LABEL_ENC=MY\\x20\\x22STICK\\x22\\xe9\\x5c", "ID_FS_UUID=1234-ABCD",
                     "ID_FS_VERSION=FAT32", "ID_PART_ENTRY_UUID=a1b2c3d4-01"}};
    // Its preload makes each open of a node there connect to the testbed's ioctl socket.
    gchar *root = umockdev_testbed_get_root_dir(testbed);
    chmod(root, 0755);
    chmod((std::string(root) + "/ioctl/_default").c_str(), 0666);
    g_free(root);
    chmod(tree.dir.c_str(), 0777);
    start({"--json"}, {"XDG_RUNTIME_DIR"}, true);
    ASSERT_TRUE(usb_stick_plug(testbed, s));
    std::string medium = line_with(R"("op":"medium")");
    EXPECT_TRUE(contains(medium,
                         R"("pttype":"dos","ptuuid":"a1b2c3d4","partitions":[{"device":)"
                         R"("/dev/sdc1","fstype":"vfat","label":"MY \"STICK\")"
                         "\ufffd"
                         R"(\\","uuid":"1234-ABCD","fsver":"FAT32","usage":"filesystem",)"
                         R"("partuuid":"a1b2c3d4-01","partlabel":null,"mountpoints":[]}]})"))
        << medium;
    stop();
    EXPECT_TRUE(contains(w.err_text,
                         "pyxo-watch: cannot open /dev/sdc1: Permission denied; "
                         "what udev's record says of such devices is shown instead"))
        << w.err_text;
}

// Dropping a swallowed call: GDBus never sees it, so it never answers.
static GDBusMessage *swallow(GDBusConnection *, GDBusMessage *m, gboolean incoming, gpointer) {
    if (!incoming || g_dbus_message_get_message_type(m) != G_DBUS_MESSAGE_TYPE_METHOD_CALL)
        return m;
    g_object_unref(m);
    return NULL;
}

// A notification service that never answers: the notification of the
// second stick is dropped while the first one waits, and the exit waits for
// neither.
TEST_F(Medium, ANotificationServiceThatNeverAnswers) {
    child bus = spawn({"dbus-daemon", "--session", "--nofork", "--print-address=1"});
    std::string address;
    ASSERT_TRUE(read_line(bus, address, kWait));
    GDBusConnection *service = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        NULL, NULL, NULL);
    ASSERT_NE(service, nullptr);
    g_dbus_connection_add_filter(service, swallow, NULL, NULL);
    GVariant *owned = g_dbus_connection_call_sync(
        service, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "RequestName", g_variant_new("(su)", "org.freedesktop.Notifications", 0), NULL,
        G_DBUS_CALL_FLAGS_NONE, -1, NULL, NULL);
    ASSERT_NE(owned, nullptr);
    g_variant_unref(owned);
    start({"--notify"}, {"DBUS_SESSION_BUS_ADDRESS=" + address});
    ASSERT_TRUE(usb_stick_plug(testbed, usb_stick_on_host(2, "A0")));
    line_with("\"07815567A0\" /dev/sdc");
    ASSERT_TRUE(usb_stick_plug(testbed, usb_stick_on_host(3, "B0")));
    line_with("\"07815567B0\" /dev/sdd");
    std::string dropped = "pyxo-watch: a desktop notification was dropped";
    for (int i = 0; i < 100 && !contains(w.err_text, dropped); i++)
        pump(w, 100ms);
    EXPECT_TRUE(contains(w.err_text, dropped)) << w.err_text;
    stop(2s);
    g_object_unref(service);
}

// Programs of --on-attach and --on-remove: see hook_record.cc.
static size_t count(const std::string &text, const std::string &part) {
    size_t n = 0;
    for (size_t at = 0; (at = text.find(part, at)) != std::string::npos; at++)
        n++;
    return n;
}
static bool logged(const temp_dir &dir, const std::string &part, size_t n) {
    return wait_for_file(
        dir / "log", [&](const std::string &t) { return count(t, part) >= n; }, kWait);
}

// Each volume's values reach the program as data, never through a shell;
// a removal's report comes at once, its runs after the attach runs.
TEST_F(Medium, HooksGetEachVolumeAsDataAndHoldUpNothing) {
    std::string why = loop_devices_unavailable();
    if (!why.empty())
        GTEST_SKIP() << why;
    temp_dir dir;
    std::map<std::string, std::string> image;
    for (const real_filesystem &f : real_filesystems)
        if (f.name == "vfat16"s || f.name == "ext4"s)
            image[f.name] = make_real_image(f, dir.path, &why);
    loop_device vfat(image["vfat16"]), ext4(image["ext4"]);
    ASSERT_TRUE(vfat.attached() && ext4.attached()) << why;
    std::string hook = HOOK_RECORD " " + dir.path;
    start({"--json", "--on-attach", hook + R"( record,hold '$(touch x)' ';' "a b" '')",
           "--on-remove", hook + " record,fail"},
          {});
    usb_stick odd = usb_stick_on_host(2, "q'\"$(id)`id`");
    odd.scsi_model = "a\"$(b)`c`\nd\xff";
    odd.partitions = {20480, 16384};
    odd.backing = {"", vfat.path(), ext4.path()};
    ASSERT_TRUE(usb_stick_plug(testbed, odd) && logged(dir, "+ attach /dev/sdc", 2));
    usb_stick_pull(testbed, odd);
    line_with(R"("attached":false)");
    write_file(dir / "release", "");
    ASSERT_TRUE(logged(dir, "- remove", 2));
    std::string ext4_uuid =
        run_program({"blkid", "-p", "-o", "value", "-s", "UUID", ext4.path()}).out.substr(0, 36);
    std::string log = read_file(dir / "log"), medium = line_with(R"(medium","serial":"07815567q)");
    for (std::string n : {"1", "2"}) {
        EXPECT_LT(log.find("- attach /dev/sdc" + n), log.find("+ remove /dev/sdc" + n));
        std::string values;
        for (std::string v : std::vector<std::string>{
                 "SERIAL=07815567q'\"$(id)`id`", "DISK=/dev/sdc", "DEVICE=/dev/sdc" + n,
                 n == "1" ? "FSTYPE=vfat" : "FSTYPE=ext4",
                 // the FAT label as its bytes stand, in the DOS code page
                 n == "1" ? "LABEL=\x90'$`~ \x9a!@" : "LABEL=BACKUP 2024",
                 "UUID=" + (n == "1" ? "1234-ABCD" : ext4_uuid), "VENDOR=SanDisk",
                 "MODEL=a\"$(b)`c`\nd\xff", "SIZE=16008609792"})
            values += "PYXO_" + v + '\0';
        values += medium + "\n" + '\0';
        EXPECT_EQ(read_file(dir / ("attach-sdc" + n)),
                  "$(touch x)\0;\0a b\0\0PYXO_EVENT=attach\0"s + values);
        EXPECT_EQ(read_file(dir / ("remove-sdc" + n)), "PYXO_EVENT=remove\0"s + values);
    }
    std::string said = "pyxo-watch: on-remove /dev/sdc2: " + hook + " record,fail: exit status 3";
    for (int i = 0; i < 100 && !contains(w.err_text, said); i++)
        pump(w, 100ms);
    EXPECT_TRUE(contains(w.err_text, said)) << w.err_text;
    stop();
}

// A storm of sticks: lines come while programs hold on, 4 at most, none lost;
// a stick pulled while its attach run waits gets its remove run after it; no
// end of a program or its orphan (-d: subreaper) is taken for the daemon's.
TEST_F(Medium, AtMostFourHooksAtOnceNoneLost) {
    temp_dir dir;
    std::string hook = HOOK_RECORD " " + dir.path;
    start({"-d", "--on-attach", hook + " hold,orphan", "--on-remove", hook + " -"}, {});
    for (int h = 2; h < 8; h++) {  // sdc to sdh; sdg1's and sdh1's runs wait
        ASSERT_TRUE(usb_stick_plug(testbed, usb_stick_on_host(h, "S" + std::to_string(h))));
        line_with("\"07815567S" + std::to_string(h) + "\" /dev/sd");
    }
    usb_stick_pull(testbed, usb_stick_on_host(7, "S7"));
    line_with("\"07815567S7\" Removed");
    EXPECT_EQ(count(read_file(dir / "log"), "+ "), 4u);
    write_file(dir / "release", "");
    ASSERT_TRUE(logged(dir, "- ", 7) && logged(dir, "o ", 6));
    std::string log = read_file(dir / "log");  // 6 attach runs, and the one remove run after
    EXPECT_LT(log.find("- attach /dev/sdh1"), log.find("+ remove /dev/sdh1"));
    stop();
}

// --hook-timeout ends a program; one that does not exist is said.
TEST_F(Medium, HookTimeOutAndMissingProgram) {
    start({"--hook-timeout", "1", "--on-attach", "sleep 60", "--on-remove", "/nonexistent/hook"},
          {});
    ASSERT_TRUE(usb_stick_plug(testbed, usb_stick_on_host(2, "O0")));
    line_with("\"07815567O0\" /dev/sdc");
    usb_stick_pull(testbed, usb_stick_on_host(2, "O0"));
    std::string said[] = {
        "on-attach /dev/sdc1: sleep 60: ended by signal 15 (Terminated), past "
        "--hook-timeout 1 s\npyxo-watch: on-remove /dev/sdc1: /nonexistent/hook: "
        "cannot start: No such file or directory"};
    for (int i = 0; i < 100 && !contains(w.err_text, said[0]); i++)
        pump(w, 100ms);
    EXPECT_TRUE(contains(w.err_text, "pyxo-watch: " + said[0])) << w.err_text;
    stop();
}

// A plugged reader: no line for an empty slot, one for all; one per state a slot settles in.
TEST_F(Medium, CardsComeAndGoInAPluggedReader) {
    temp_dir dir;
    std::string hook = HOOK_RECORD " " + dir.path + " record", medium = R"({"op":"medium",)";
    start({"--json", "--on-attach", hook, "--on-remove", hook}, {});
    usb_stick one = usb_stick_on_host(2, "R1"), none = usb_stick_on_host(4, "R0");
    one.slots = {{"sdm", 0}, {"sdn", 0}, {"sdo", 0}};
    none.slots = {{"sdp", 0}};
    none.sectors = 0;
    none.partitions = {};
    ASSERT_TRUE(usb_stick_plug(testbed, one) && usb_stick_plug(testbed, none));
    std::string card = line_with(medium + R"("serial":"07815567R1")");
    EXPECT_TRUE(contains(line_with(medium + R"("serial":"07815567R0","device":null,)"),
                         R"("partitions":[],"note":"no medium in any slot"})"));
    const char *gone =
        "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/host2/target2:0:0/2:0:0:1/block/sdm";
    umockdev_testbed_uevent(testbed, gone, "change");
    umockdev_testbed_remove_device(testbed, gone);
    usb_stick_change(testbed, none, "62333952", {62331904});
    EXPECT_TRUE(contains(line_with(R"("event":"inserted")"),
                         R"("event":"inserted","serial":"07815567R0","device":"/dev/sde",)"));
    usb_stick_change(testbed, one, "0");
    EXPECT_EQ(line_with(R"("event":"ejected")"),
              medium + R"("event":"ejected",)" + card.substr(medium.size()));
    for (int i = 0; i < 300; i++)  // a flapping contact; not a number now and then
        usb_stick_change(testbed, none, i % 3 == 0 ? "0" : i % 3 == 1 ? "62333952" : "n/a");
    usb_stick_change(testbed, none, "0");
    line_with(R"("event":"ejected","serial":"07815567R0")");
    ASSERT_TRUE(logged(dir, "- remove /dev/sde1", 1));  // the values its attach run got
    EXPECT_EQ(read_file(dir / "attach-sde1").substr(17), read_file(dir / "remove-sde1").substr(17));
    stop();
    EXPECT_EQ(count(w.out_text, medium), 5u);
}

// A disk that comes after the 10 s note gets its line then, marked late.
TEST_F(Medium, ALateDiskGetsItsLine) {
    start({}, {});
    ASSERT_TRUE(usb_stick_plug(testbed, usb_stick_on_host(2, "L0"), [&](const std::string &path) {
        if (contains(path, "/target"))  // the disk comes after the note
            line_with("(no block device appeared in 10 s)");
    }));
    EXPECT_TRUE(
        contains(line_with("(late)"),
                 "\"07815567L0\" /dev/sdc  SanDisk Cruzer Blade  16.0 GB  sdc1 unknown  (late)"));
    stop();
}

int main(int argc, char **argv) {
    usb_stick_run_under_umockdev(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
