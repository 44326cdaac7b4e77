// pyxo-watch with a real pyxod: which processes it signals, the status it
// passes on with -d, a flood of idle connections to its socket, another
// user's daemon, and the daemon's files for a user who is not root.
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "daemon_test_fixture.h"
#include "orb_peer.h"
#include "raw_giop.h"

namespace {

// pyxo-watch --json with `args`, its daemon working in `tree`.
watch start_watch_with(const fixture_tree &tree, std::vector<std::string> args) {
    args.insert(args.begin(),
                {bin_dir() + "/pyxo-watch", "--json", "--ior-file", tree.dir + "/ior"});
    watch w;
    w.proc = spawn(args, merged(tree.env()));
    if (wait_for_file(tree.dir + "/ior", non_empty, kPass))
        w.ior = read_file(tree.dir + "/ior").substr(0, read_file(tree.dir + "/ior").find('\n'));
    return w;
}

std::string script(const fixture_tree &tree, const std::string &dir, const std::string &body) {
    std::string path = tree.dir + "/" + dir + "/pyxod";
    write_file(path, "#!/bin/sh\n" + body);
    chmod(path.c_str(), 0755);
    return path;
}

long entries(const std::string &dir) {
    return std::distance(std::filesystem::directory_iterator(dir), {});
}

}  // namespace

// A pid announced by anyone else (a process of our user named pyxod, before
// and after the daemon's own announcement) is printed and never signalled;
// the daemon is stopped, and with -d its status comes through the subreaper.
class Announcements : public ::testing::TestWithParam<bool> {};

TEST_P(Announcements, OnlyTheDaemonItStartedIsSignalled) {
    fixture_tree tree;
    child victim = spawn({script(
        tree, "victim",
        "trap 'touch " + tree.dir + "/term; exit' TERM\n" + "while :; do sleep 0.1; done\n")});
    std::string gate = script(tree, "gate",
                              "until [ -e " + tree.dir + "/go ]; do sleep 0.05; done\n" + "exec " +
                                  pyxod_path() + " \"$@\"\n");
    std::vector<std::string> args = {"-l", "--daemon", gate};
    if (GetParam())
        args.push_back("-d");
    watch w = start_watch_with(tree, args);
    PYXO_Environment ev;
    PYXO::servant_ptr s = PYXO_servant_from_string(test_orb(), w.ior.c_str(), &ev);
    std::string foreign = "{\"op\":\"daemon_attached\",\"pid\":" + std::to_string(victim.pid) + "}";
    auto printed = [&](long times) {
        return [&, times](const std::string &) {
            return std::count(w.proc.lines.begin(), w.proc.lines.end(), foreign) == times;
        };
    };
    PYXO_servant_daemon_attached(s, victim.pid, &ev);
    ASSERT_FALSE(wait_line(w.proc, printed(1), kPass).empty());
    write_file(tree.dir + "/go", "");
    auto own = [&](const std::string &l) { return contains(l, "daemon_att") && l != foreign; };
    ASSERT_FALSE(wait_line(w.proc, own, kPass).empty());
    PYXO_servant_daemon_attached(s, victim.pid, &ev);
    ASSERT_FALSE(wait_line(w.proc, printed(2), kPass).empty());

    kill(w.proc.pid, SIGTERM);
    EXPECT_EQ(status_text(wait_exit(w.proc, kPass)), "exit 7");
    EXPECT_TRUE(contains(read_file(tree.log), ": Exit\n"));
    siginfo_t ended = {};
    EXPECT_EQ(waitid(P_PID, victim.pid, &ended, WEXITED | WNOHANG | WNOWAIT), 0);
    EXPECT_EQ(ended.si_pid, 0) << "the victim ended";
    EXPECT_FALSE(file_exists(tree.dir + "/term"));
    PYXO_servant_release(s, &ev);
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutDetaching, Announcements, ::testing::Bool());

TEST(Detaching, AbortedDaemonsStatusComesThrough) {
    fixture_tree tree;
    rmdir(tree.scsi.c_str());  // the daemon stops in its first pass
    watch w = start_watch_with(tree, {"-d", "-l", "--daemon", pyxod_path()});
    EXPECT_EQ(status_text(wait_exit(w.proc, kPass)), "exit " + std::to_string(128 + SIGTERM));
    EXPECT_TRUE(contains(read_file(tree.log), "abort\n"));
}

// 1,100 connections that send nothing, held while the daemon reports (several
// media in one pass): the reports arrive, in the order sent, and pyxo-watch
// keeps a bounded number of threads and descriptors.
using Flood = DaemonTest;

TEST_F(Flood, IdleConnectionsLeaveReportsFlowingInOrder) {
    struct rlimit limit;
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;  // pyxo-watch inherits it: no help from a low limit
    if (limit.rlim_max < 1300 || setrlimit(RLIMIT_NOFILE, &limit) != 0)
        GTEST_SKIP() << "descriptor limit too low for the flood: " << limit.rlim_max;
    start();
    std::vector<int> held(1100);
    auto end = std::chrono::steady_clock::now() + kPass;
    for (int &fd : held) {
        // A full backlog refuses at once: the servant has not taken the last ones yet.
        while ((fd = raw_giop_connect(w.ior, SOCK_NONBLOCK)) < 0 && errno == EAGAIN &&
               std::chrono::steady_clock::now() < end)
            usleep(1000);
        ASSERT_GE(fd, 0) << strerror(errno);
    }

    const std::vector<std::string> serials = {"f1a", "f1b", "f1c", "f1d"};
    for (const std::string &serial : serials)
        write_file(host(serial), usb_host_file(2, serial, "Yes"));
    std::string proc = "/proc/" + std::to_string(w.proc.pid);
    long threads = entries(proc + "/task"), descriptors = entries(proc + "/fd");
    for (const std::string &serial : serials) {
        ASSERT_TRUE(wait_report(w, serial, kPass, nullptr)) << serial;
        threads = std::max(threads, entries(proc + "/task"));
        descriptors = std::max(descriptors, entries(proc + "/fd"));
    }
    std::vector<std::string> printed;
    report r;
    for (const std::string &line : w.proc.lines)
        if (parse_report(line, &r))
            printed.push_back(media_line(r.serial, r.attached));
    EXPECT_EQ(printed, media_lines()) << "printed in the order the daemon sent them";
    EXPECT_LT(threads, 40);
    EXPECT_LT(descriptors, 40);
    for (int fd : held)
        close(fd);
}

// Another user can neither connect to pyxo-watch's socket nor reach it
// through the ORB: a daemon run as nobody fails its first call and stops,
// and nothing is printed.
TEST(OwnUser, OtherUsersCannotReachIt) {
    fixture_tree tree;
    chmod(tree.dir.c_str(), 0777);  // for the daemon's lock and log
    watch w = start_watch(tree);
    EXPECT_EQ(as_nobody([&] { return raw_giop_connect(w.ior, 0) < 0 ? errno : 0; }), EACCES);
    child d = start_daemon(tree, {"-l"}, w.ior, nobody_merged());
    EXPECT_EQ(status_text(wait_exit(d, kPass)), "signal 15");
    EXPECT_TRUE(contains(read_file(tree.log), "TRANSIENT")) << read_file(tree.log);
    pump(w.proc, 100ms);
    EXPECT_EQ(w.proc.lines, std::vector<std::string>());
}

// A user who is not root and has set neither PYXOD_LOCK_FILE nor
// PYXOD_LOG_FILE: the daemon's files go to $XDG_RUNTIME_DIR/pyxo, or
// without it to ~/.cache/pyxo, made 0700; the ORB's socket directory is
// gone at the end.
TEST(OwnUser, DesktopUserGetsFilesOfItsOwn) {
    for (bool runtime : {true, false}) {
        fixture_tree tree;
        chmod(tree.dir.c_str(), 0777);
        std::string base = tree.dir + (runtime ? "/run" : "/home");
        mkdir(base.c_str(), 0700);
        ASSERT_EQ(chown(base.c_str(), 65534, 65534), 0);
        spawn_options o = nobody_merged();
        o.env = {"PYXOD_PROC_SCSI=" + tree.scsi, "PYXOD_LOCK_FILE", "PYXOD_LOG_FILE",
                 runtime ? "XDG_RUNTIME_DIR=" + base : "XDG_RUNTIME_DIR", "HOME=" + base};
        child p =
            spawn({bin_dir() + "/pyxo-watch", "--json", "-l", "--ior-file", tree.dir + "/ior"}, o);
        std::string line = wait_line(
            p, [](const std::string &l) { return contains(l, "daemon_attached"); }, kPass);
        ASSERT_FALSE(line.empty()) << p.out_text;
        std::string dir = base + (runtime ? "/pyxo" : "/.cache/pyxo");
        struct stat st = {};
        EXPECT_EQ(stat(dir.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0700u);
        EXPECT_EQ(st.st_uid, 65534u);
        std::string pid = line.substr(line.find("\"pid\":") + 6);
        EXPECT_EQ(read_file(dir + "/pyxod.lock"), pid.substr(0, pid.find('}')));
        kill(p.pid, SIGTERM);
        EXPECT_EQ(status_text(wait_exit(p, kPass)), "exit 7");
        EXPECT_TRUE(contains(read_file(dir + "/pyxod.log"), ": Exit\n"));
        if (runtime) {
            EXPECT_EQ(entries(base), 1) << "the socket's directory is left";
        }
    }
}
