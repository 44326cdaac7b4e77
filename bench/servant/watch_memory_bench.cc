// Usage: watch_memory_bench [PYXO-WATCH]
// The resident memory of pyxo-watch --no-daemon --json (the program built
// beside this one, or PYXO-WATCH) after 0, 250, 500 and 1000 Attached
// reports, each of a serial of its own 64 KiB long, on one of four sticks of
// a umockdev testbed (the program runs itself under umockdev-wrapper), so
// that each is followed by its medium lines; once without and once with
// --notify, whose session bus (a dbus-daemon of its own) has a notification
// service that never answers. Each figure is taken once pyxo-watch has
// printed the lines of every report so far (or after 20 s without a line).
#include <stdio.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>

#include <gio/gio.h>

#include "daemon_harness.h"
#include "pyxo_corba.h"
#include "usb_stick.h"

static long rss_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return atol(line.c_str() + 6);
    return -1;
}

// Method calls never reach GDBus, so none is ever answered.
static GDBusMessage *swallow(GDBusConnection *, GDBusMessage *m, gboolean incoming, gpointer) {
    if (!incoming || g_dbus_message_get_message_type(m) != G_DBUS_MESSAGE_TYPE_METHOD_CALL)
        return m;
    g_object_unref(m);
    return NULL;
}

// Owns org.freedesktop.Notifications on the bus at `address`, never answering.
static GDBusConnection *silent_service(const std::string &address) {
    GDBusConnection *c = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        NULL, NULL, NULL);
    if (c == NULL)
        return NULL;
    g_dbus_connection_add_filter(c, swallow, NULL, NULL);
    GVariant *r = g_dbus_connection_call_sync(
        c, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
        g_variant_new("(su)", "org.freedesktop.Notifications", 0), NULL, G_DBUS_CALL_FLAGS_NONE, -1,
        NULL, NULL);
    if (r != NULL)
        g_variant_unref(r);
    return c;
}

// Reads pyxo-watch's output in a thread of its own (lest it block on a
// full pipe while the reports are sent) and counts its lines of each kind;
// the text is not kept.
struct line_counter {
    std::atomic<long> reports{0}, media{0};
    std::atomic<bool> stop{false};
    void read(child &w) {
        while (w.out >= 0 && !stop) {
            pump(w, 200ms);
            for (const std::string &l : w.lines) {
                reports += contains(l, R"({"op":"media_changed")");
                media += contains(l, R"({"op":"medium")");
            }
            w.lines.clear();
            w.out_text.clear();
            w.out_pos = 0;
            w.err_text.clear();
        }
    }
};

static void run(const std::string &program, bool notify, const std::vector<std::string> &env,
                CORBA::ORB_ptr orb) {
    temp_dir dir;
    std::vector<std::string> args = {program, "--no-daemon", "--json", "--ior-file", dir / "ior"};
    if (notify)
        args.push_back("--notify");
    spawn_options o;
    o.env = env;
    child w = spawn(args, o);
    if (!wait_for_file(dir / "ior", non_empty, 20s)) {
        fprintf(stderr, "watch_memory_bench: pyxo-watch wrote no IOR\n");
        return;
    }
    std::string ior = read_file(dir / "ior");
    PYXO_Environment ev;
    PYXO::servant_ptr s = PYXO_servant_from_string(orb, ior.substr(0, ior.find('\n')).c_str(), &ev);
    line_counter lines;
    std::thread reader([&] { lines.read(w); });
    long sent = 0;
    printf("%-9s", notify ? "--notify" : "without");
    for (long until : {0, 250, 500, 1000}) {
        for (; sent < until; sent++) {
            PYXO::media_ST m;
            m.serial = (std::to_string(sent) + std::string(65536, 'x')).c_str();
            m.attached = true;
            m.scsi.s_bus = (short)(2 + sent % 4);
            m.scsi.s_channel = m.scsi.s_id = m.scsi.s_lun = 0;
            PYXO_servant_media_changed(s, &m, &ev);
        }
        long seen = -1;
        auto quiet_since = std::chrono::steady_clock::now();
        while ((lines.reports < until || lines.media < until) &&
               std::chrono::steady_clock::now() - quiet_since < 20s) {
            if (lines.reports + lines.media != seen)
                quiet_since = std::chrono::steady_clock::now();
            seen = lines.reports + lines.media;
            std::this_thread::sleep_for(50ms);
        }
        printf("  %4ld: %6.1f MiB (%ld medium lines)", until, rss_kib(w.pid) / 1024.0,
               lines.media.load());
        fflush(stdout);
    }
    printf("\n");
    lines.stop = true;
    reader.join();
    PYXO_servant_release(s, &ev);
}

int main(int argc, char **argv) {
    usb_stick_run_under_umockdev(argc, argv);
    std::string program = argc > 1 ? argv[1] : bin_dir() + "/pyxo-watch";
    UMockdevTestbed *testbed = umockdev_testbed_new();
    for (int host = 2; host < 6; host++)
        usb_stick_plug(testbed, usb_stick_on_host(host, *usb_stick().serial));
    int orb_argc = 1;
    char name[] = "watch_memory_bench", *orb_argv[] = {name, NULL};
    const char *options[][2] = {{"verifyObjectExistsAndType", "0"}, {0, 0}};
    CORBA::ORB_ptr orb = CORBA::ORB_init(orb_argc, orb_argv, "omniORB4", options);

    child bus = spawn({"dbus-daemon", "--session", "--nofork", "--print-address=1"});
    std::string address;
    GDBusConnection *service = NULL;
    if (read_line(bus, address, 20s))
        service = silent_service(address);
    if (service == NULL)
        fprintf(stderr, "watch_memory_bench: no session bus: --notify runs without one\n");
    printf("pyxo-watch's resident memory after N reports of 64 KiB serials (%s)\n",
           program.c_str());
    run(program, false, {"DBUS_SESSION_BUS_ADDRESS"}, orb);
    run(program, true, {"DBUS_SESSION_BUS_ADDRESS=" + address}, orb);
    if (service != NULL)
        g_object_unref(service);
    orb->destroy();
    g_object_unref(testbed);
    return 0;
}
