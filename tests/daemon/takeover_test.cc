// Taking over the single-instance lock file.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>

#include <functional>

#include "daemon_test_fixture.h"

#ifndef FAKE_PYXOD
#error FAKE_PYXOD must name the test program built as "pyxod"
#endif

using Lock = DaemonTest;

static int warnings(const std::vector<std::string> &log) {
    int n = 0;
    for (auto &l : log)
        n += l.rfind("WARNING: ", 0) == 0 || l.rfind("ERROR: ", 0) == 0;
    return n;
}

static pid_t gone_pid() {
    child c = spawn({"/bin/true"}, uncaptured());
    pid_t pid = c.pid;
    wait_exit(c, 10s);
    return pid;
}

TEST_F(Lock, NoLockFileIsWrittenSilently) {
    start();
    EXPECT_EQ(read_file(tree.lock), std::to_string(d.pid));
    stop_with(SIGTERM);
    EXPECT_EQ(warnings(log_messages(tree.log)), 0);
}

struct odd_lock {
    const char *name;
    std::string text;
    bool bad_format;
};

static void PrintTo(const odd_lock &l, std::ostream *os) {
    *os << l.name;
}

class LockText : public DaemonTest, public ::testing::WithParamInterface<odd_lock> {};

TEST_P(LockText, IsReplaced) {
    std::string text = GetParam().text;
    if (text == "GONE")
        text = std::to_string(gone_pid());
    if (text == " GONE\n")
        text = " " + std::to_string(gone_pid()) + "\n";
    write_file(tree.lock, text);
    start();
    EXPECT_EQ(read_file(tree.lock), std::to_string(d.pid));
    stop_with(SIGTERM);
    auto log = log_messages(tree.log);
    if (GetParam().bad_format) {
        ASSERT_GE(log.size(), 1u);
        EXPECT_EQ(log[0], "WARNING: Bad lock file format, just remove");
        EXPECT_EQ(warnings(log), 1);
    } else {
        EXPECT_EQ(warnings(log), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Each, LockText,
    ::testing::Values(odd_lock{"stale", "GONE", false}, odd_lock{"padded", " GONE\n", false},
                      odd_lock{"huge", "99999999999999999999999999", false},
                      odd_lock{"minus_one", "-1", false}, odd_lock{"zero", "0", false},
                      odd_lock{"garbage", "pyxod", true}, odd_lock{"empty", "", true},
                      odd_lock{"binary", std::string("\x01\xfe\0\x7f 12", 7), true},
                      odd_lock{"big_binary", std::string(1 << 20, '\xff'), true}),
    [](const ::testing::TestParamInfo<odd_lock> &i) { return std::string(i.param.name); });

TEST_F(Lock, OwnPidInTheLockIsStale) {
    spawn_options o;
    o.own_pid_file = tree.lock;
    start({"-l"}, o);
    marker("0001");
    EXPECT_EQ(read_file(tree.lock), std::to_string(d.pid));
    stop_with(SIGTERM);
    EXPECT_EQ(warnings(log_messages(tree.log)), 0);
}

TEST_F(Lock, RunningDaemonIsReplaced) {
    start();
    child old_daemon = std::move(d);
    d = start_daemon(tree, {"-l"}, w.ior, merged());
    // Reap the old daemon at once: a zombie would still count as running.
    EXPECT_EQ(status_text(wait_exit(old_daemon, kPass)), "exit 7");
    std::string line = wait_line(
        w.proc,
        [&](const std::string &l) {
            return l == "{\"op\":\"daemon_attached\",\"pid\":" + std::to_string(d.pid) + "}";
        },
        kPass);
    ASSERT_FALSE(line.empty());
    EXPECT_EQ(read_file(tree.lock), std::to_string(d.pid));
    marker("0002");
    stop_with(SIGTERM);
    auto log = log_messages(tree.log);
    EXPECT_EQ(warnings(log), 0);
    EXPECT_EQ(std::count(log.begin(), log.end(), "Exit"), 2);
}

TEST_F(Lock, AnotherProgramsLivePidIsLeftAlone) {
    child other = spawn({"/bin/sleep", "60"}, uncaptured());
    write_file(tree.lock, std::to_string(other.pid));
    start();
    EXPECT_EQ(read_file(tree.lock), std::to_string(d.pid));
    EXPECT_EQ(wait_exit(other, 0s), -1) << "the other program was stopped";
    stop_with(SIGTERM);
    EXPECT_EQ(wait_exit(other, 0s), -1) << "the other program was stopped";
    kill_child(other);
    EXPECT_EQ(warnings(log_messages(tree.log)), 0);
}

TEST_F(Lock, OldDaemonIgnoringSigtermGetsSigquit) {
    child old_daemon = spawn({FAKE_PYXOD});
    ASSERT_EQ(wait_line(
                  old_daemon, [](const std::string &l) { return l == "ready"; }, kPass),
              "ready");
    write_file(tree.lock, std::to_string(old_daemon.pid));
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    start();
    clock_gettime(CLOCK_MONOTONIC, &t1);
    EXPECT_GE(t1.tv_sec - t0.tv_sec + (t1.tv_nsec - t0.tv_nsec) / 1e9, 2.9);
    EXPECT_EQ(status_text(wait_exit(old_daemon, kPass)), "signal 3");
    EXPECT_EQ(read_file(tree.lock), std::to_string(d.pid));
    stop_with(SIGTERM);
    auto log = log_messages(tree.log);
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[0], "WARNING: Previous daemon fail to exit safely");
    EXPECT_EQ(log[1], "|");
}

TEST_F(Lock, ShutdownLeavesANewerDaemonsLock) {
    start();
    // As if a newer daemon had taken the lock over while this one hung.
    write_file(tree.lock, "1");
    kill(d.pid, SIGTERM);
    EXPECT_EQ(status_text(wait_exit(d, kPass)), "exit 7");
    EXPECT_EQ(read_file(tree.lock), "1");
}

TEST_F(Lock, UnprivilegedUserCannotCreateTheLock) {
    chmod(tree.dir.c_str(), 0755);  // like /var/run: root's, readable by all
    d = start_daemon(tree, {}, "IOR:00", nobody_merged());
    EXPECT_EQ(status_text(wait_exit(d, kPass)), "signal 15");
    drain(d, 5s);
    EXPECT_EQ(d.lines, (std::vector<std::string>{
                           "WARNING: Can't create the lock file ( 13 ), abort", "Exit"}));
    EXPECT_FALSE(file_exists(tree.lock));
}

TEST_F(Lock, UnprivilegedUserCannotReadTheLock) {
    chmod(tree.dir.c_str(), 0755);
    write_file(tree.lock, "1");
    chmod(tree.lock.c_str(), 0600);
    d = start_daemon(tree, {}, "IOR:00", nobody_merged());
    EXPECT_EQ(status_text(wait_exit(d, kPass)), "signal 15");
    drain(d, 5s);
    EXPECT_EQ(d.lines, (std::vector<std::string>{
                           "ERROR: Can't access the lock file, permission denied, abort", "Exit"}));
    EXPECT_EQ(read_file(tree.lock), "1");  // not ours to remove
}

// Never a hang, nor a loop over a file that stays: the daemon stops at once
// and leaves the thing in place.
TEST_F(Lock, LockThatCannotBeReadOrRemovedStops) {
    chmod(tree.dir.c_str(), 0755);  // like /var/run: root's, readable by all
    std::string gone = std::to_string(gone_pid());
    auto cannot = [](int error) {
        return "ERROR: Can't remove the lock file ( " + std::to_string(error) + " ), abort";
    };
    struct {
        const char *name;
        std::function<void()> make;
        std::vector<std::string> lines;
    } cases[] = {
        {"directory", [&] { mkdir(tree.lock.c_str(), 0755); }, {cannot(EISDIR), "Exit"}},
        {"fifo", [&] { mkfifo(tree.lock.c_str(), 0644); }, {cannot(EINVAL), "Exit"}},
        {"bad format",
         [&] { write_file(tree.lock, "pyxod"); },
         {"WARNING: Bad lock file format, just remove", cannot(EACCES), "Exit"}},
        {"stale", [&] { write_file(tree.lock, gone); }, {cannot(EACCES), "Exit"}},
    };
    for (auto &c : cases) {
        c.make();
        d = start_daemon(tree, {}, "IOR:00", nobody_merged());
        EXPECT_EQ(status_text(wait_exit(d, kPass)), "signal 15") << c.name;
        drain(d, 5s);
        EXPECT_EQ(d.lines, c.lines) << c.name;
        EXPECT_EQ(remove(tree.lock.c_str()), 0) << c.name << " was not left in place";
    }
}

TEST_F(Lock, LockThatCannotBeWrittenIsAFailedCreation) {
    // No byte may be written to a file (as on a full disk); the shell passes
    // the limit, and SIGXFSZ ignored, on to the daemon it becomes.
    d = spawn(
        {"/bin/sh", "-c", "ulimit -f 0; trap '' XFSZ; exec \"$@\"", "sh", pyxod_path(), "IOR:00"},
        merged(tree.env()));
    EXPECT_EQ(status_text(wait_exit(d, kPass)), "signal 15");
    drain(d, 5s);
    EXPECT_EQ(d.lines, (std::vector<std::string>{"WARNING: Can't create the lock file ( " +
                                                     std::to_string(EFBIG) + " ), abort",
                                                 "Exit"}));
    EXPECT_FALSE(file_exists(tree.lock));
}

TEST_F(Lock, SigtermDuringTheTakeoverStopsAtOnce) {
    start_servant();
    child old_daemon = spawn({FAKE_PYXOD});
    ASSERT_EQ(wait_line(
                  old_daemon, [](const std::string &l) { return l == "ready"; }, kPass),
              "ready");
    write_file(tree.lock, std::to_string(old_daemon.pid));
    d = start_daemon(tree, {"-l"}, w.ior, merged());
    // The new daemon is in the takeover once the old one heard from it.
    ASSERT_EQ(wait_line(
                  old_daemon, [](const std::string &l) { return l == "term"; }, kPass),
              "term");
    kill(d.pid, SIGTERM);
    EXPECT_EQ(status_text(wait_exit(d, kPass)), "exit 7");
    EXPECT_EQ(wait_exit(old_daemon, 0s), -1) << "the old daemon got SIGQUIT";
    EXPECT_EQ(log_messages(tree.log), (std::vector<std::string>{"Exit"}));
    EXPECT_EQ(read_file(tree.lock), std::to_string(old_daemon.pid));
    EXPECT_TRUE(
        wait_line(
            w.proc, [](const std::string &l) { return contains(l, "daemon_attached"); }, 500ms)
            .empty());
}

// Starters racing over a running daemon's lock: one daemon stays, and the
// lock names it.
TEST_F(Lock, RacingStartersLeaveOneDaemon) {
    start();
    for (int round = 0; round < 3; round++) {
        std::vector<child> all;
        all.push_back(std::move(d));
        for (int i = 0; i < 5; i++)
            all.push_back(start_daemon(tree, {"-l"}, w.ior, merged()));
        // Each one is reaped as soon as it ends: a zombie counts as running.
        auto end = std::chrono::steady_clock::now() + 60s;
        std::vector<child *> running;
        while (running.size() != 1 || read_file(tree.lock) != std::to_string(running[0]->pid)) {
            ASSERT_LT(std::chrono::steady_clock::now(), end) << running.size() << " running";
            running.clear();
            for (auto &c : all)
                if (wait_exit(c, 10ms) == -1)
                    running.push_back(&c);
        }
        d = std::move(*running[0]);
    }
    struct stat lock, log;  // both as a plain create makes them
    ASSERT_EQ(stat(tree.lock.c_str(), &lock) | stat(tree.log.c_str(), &log), 0);
    EXPECT_EQ(lock.st_mode, log.st_mode);
    stop_with(SIGTERM);
}

TEST_F(Lock, DanglingSymlinkIsNotFollowed) {
    ASSERT_EQ(symlink((tree.dir + "/elsewhere").c_str(), tree.lock.c_str()), 0);
    d = start_daemon(tree, {}, "IOR:00", merged());
    EXPECT_EQ(status_text(wait_exit(d, kPass)), "signal 15");
    drain(d, 5s);
    EXPECT_EQ(d.lines, (std::vector<std::string>{
                           "WARNING: Can't create the lock file ( 17 ), abort", "Exit"}));
    EXPECT_FALSE(file_exists(tree.dir + "/elsewhere"));
}
