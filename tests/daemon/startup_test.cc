// Start-up, failure paths, detaching and signals of the daemon.
#include <stdio.h>

#include <time.h>

#include <algorithm>

#include "daemon_test_fixture.h"

using Startup = DaemonTest;

static std::vector<std::string> tail(const std::vector<std::string> &v, size_t n) {
    return std::vector<std::string>(v.end() - std::min(n, v.size()), v.end());
}

TEST_F(Startup, HelpPrintsAndExitsBeforeAnythingElse) {
    for (auto args : std::vector<std::vector<std::string>>{
             {"-h"}, {"-l", "-h"}, {"IOR:x", "--help"}, {"-x", "--bogus", "-h"}}) {
        unlink(tree.log.c_str());
        child c = start_daemon(tree, args, "");
        drain(c, kPass);
        EXPECT_EQ(status_text(wait_exit(c, kPass)), "exit 0");
        ASSERT_GE(c.lines.size(), 9u);
        EXPECT_EQ(c.lines[0], std::string(57, '*'));
        EXPECT_EQ(c.lines[2], "WARNING : This process is not suppose to be start by hand.");
        EXPECT_EQ(c.lines[3], "Usage : pyxod <IOR KEY>");
        EXPECT_EQ(c.lines[4], "");
        EXPECT_TRUE(contains(c.lines[5], "Usage:"));
        std::string all;
        for (auto &l : c.lines)
            all += l + "\n";
        EXPECT_TRUE(contains(all, "-d, --daemonize")) << all;
        EXPECT_TRUE(contains(all, "Log using syslog")) << all;
        // -l acted before -h: the log file exists, and is empty.
        EXPECT_EQ(file_exists(tree.log), args[0] == "-l");
        EXPECT_EQ(read_file(tree.log), "");
        EXPECT_FALSE(file_exists(tree.lock));
    }
}

TEST_F(Startup, NoIorStopsOnlyAfterTakingTheLock) {
    start();
    child old_daemon = std::move(d);
    d = start_daemon(tree, {}, "", merged());
    // The running daemon is replaced first.
    EXPECT_EQ(status_text(wait_exit(old_daemon, kPass)), "exit 7");
    EXPECT_EQ(status_text(wait_exit(d, kPass)), "signal 15");
    drain(d, 5s);
    EXPECT_EQ(d.lines, (std::vector<std::string>{"ERROR: No ior : ABORT", "", "Exit"}));
    EXPECT_FALSE(file_exists(tree.lock));
}

static void expect_corba_failure(const std::vector<std::string> &lines, const std::string &what) {
    ASSERT_GE(lines.size(), 4u);
    auto t = tail(lines, 4);
    EXPECT_EQ(t[0].rfind("ERROR: Servant : IDL:omg.org/CORBA/", 0), 0u) << t[0];
    EXPECT_EQ(t[0].substr(t[0].size() - 4), ":1.0") << t[0];
    EXPECT_EQ(t[1], "|" + what);
    EXPECT_EQ(t[2], "|");
    EXPECT_EQ(t[3], "Exit");
}

TEST_F(Startup, MalformedIorStops) {
    for (const char *ior :
         {"not-an-ior", "IOR:0123", "IOR:zz", "IOR:00000000000000010000000000000000"}) {
        unlink(tree.log.c_str());
        child c = start_daemon(tree, {"-l"}, ior, merged());
        EXPECT_EQ(status_text(wait_exit(c, kPass)), "signal 15") << ior;
        expect_corba_failure(log_messages(tree.log), "IOR parsing errror : Exit");
        EXPECT_FALSE(file_exists(tree.lock));
        drain(c, 5s);
        ASSERT_GE(c.lines.size(), 2u);
        EXPECT_EQ(c.lines[1], "IOR parsing errror : Exit");
        kill_child(c);
    }
}

TEST_F(Startup, DaemonizeWrittenAfterTheIorIsTakenAsTheIor) {
    start_servant();
    child c = spawn({pyxod_path(), "-l", w.ior, "-d"}, merged(tree.env()));
    // popt still sees -d: the starting process exits at once, the detached
    // one takes "-d" for the IOR and stops.
    EXPECT_EQ(status_text(wait_exit(c, kPass)), "exit 0");
    ASSERT_TRUE(wait_for_file(
        tree.log, [](const std::string &t) { return contains(t, "Exit\n"); }, kPass));
    expect_corba_failure(log_messages(tree.log), "IOR parsing errror : Exit");
    EXPECT_TRUE(wait_for_file(
        tree.lock, [&](const std::string &) { return !file_exists(tree.lock); }, kPass));
    drain(c, 5s);
    EXPECT_TRUE(c.lines.empty());
    EXPECT_TRUE(
        wait_line(
            w.proc, [](const std::string &l) { return contains(l, "daemon_attached"); }, 500ms)
            .empty());
}

TEST_F(Startup, ServantThatHasExited) {
    start_servant();
    kill(w.proc.pid, SIGTERM);
    EXPECT_EQ(status_text(wait_exit(w.proc, kPass)), "exit 0");
    d = start_daemon(tree, {"-l"}, w.ior, merged());
    EXPECT_EQ(status_text(wait_exit(d, kPass)), "signal 15");
    auto log = log_messages(tree.log);
    expect_corba_failure(log, "Can't connect to servant : exit");
    EXPECT_EQ(log[log.size() - 4], "ERROR: Servant : IDL:omg.org/CORBA/TRANSIENT:1.0");
    EXPECT_FALSE(file_exists(tree.lock));
}

TEST_F(Startup, ServantKilledWhileTheDaemonRuns) {
    start();
    kill_child(w.proc);
    // The first report after the servant's death may still leave (into the
    // socket the peer has closed); the failure shows on the next one.
    int status = -1;
    for (int i = 0; i < 4 && status == -1; i++) {
        std::string serial = "dead0" + std::to_string(i);
        write_file(host(std::to_string(i)), usb_host_file(2, serial, "Yes"));
        ASSERT_TRUE(wait_for_file(
            tree.log, [&](const std::string &t) { return contains(t, "Media " + serial); }, kPass));
        status = wait_exit(d, 2s);
    }
    EXPECT_EQ(status_text(status), "signal 15");
    auto log = log_messages(tree.log);
    expect_corba_failure(log, "Error sending report to servant");
    EXPECT_EQ(log[log.size() - 5].rfind("Media dead0", 0), 0u);
    EXPECT_FALSE(file_exists(tree.lock));
}

TEST_F(Startup, ScsiTreeMissing) {
    rmdir(tree.scsi.c_str());
    start();  // announced first
    EXPECT_EQ(status_text(wait_exit(d, kPass)), "signal 15");
    EXPECT_EQ(tail(log_messages(tree.log), 2),
              (std::vector<std::string>{"ERROR: Can't access scsi emulation information, abort",
                                        "Exit"}));
    drain(d, 5s);
    EXPECT_EQ(d.lines, (std::vector<std::string>{
                           "ERROR: Can't access scsi emulation information, abort", "Exit"}));
    EXPECT_FALSE(file_exists(tree.lock));
}

TEST_F(Startup, ScsiTreeVanishesLater) {
    start();
    marker("5c51");
    rename(tree.scsi.c_str(), (tree.dir + "/gone").c_str());
    EXPECT_EQ(status_text(wait_exit(d, kPass)), "signal 15");
    EXPECT_EQ(tail(log_messages(tree.log), 2),
              (std::vector<std::string>{"ERROR: Can't access scsi emulation information, abort",
                                        "Exit"}));
}

// With relative paths too: they are taken against the directory the daemon
// was started in, not against "/" where daemon() leaves it.
class Detached : public DaemonTest, public ::testing::WithParamInterface<bool> {
  protected:
    pid_t detached = -1;
    void TearDown() override {
        if (detached > 0)
            kill(detached, SIGKILL);
        DaemonTest::TearDown();
    }
};

TEST_P(Detached, DaemonizeDetachesAndKeepsTheConsoleQuiet) {
    start_servant();
    spawn_options o = merged();
    if (GetParam()) {
        o.env = {"PYXOD_PROC_SCSI=scsi", "PYXOD_LOCK_FILE=./pyxod.lock",
                 "PYXOD_LOG_FILE=pyxod.log"};
        o.cwd = tree.dir;
    }
    d = start_daemon(tree, {"-d", "-l"}, w.ior, o);
    int starter = d.pid;
    EXPECT_EQ(status_text(wait_exit(d, kPass)), "exit 0");
    std::string line = wait_line(
        w.proc, [](const std::string &l) { return contains(l, "daemon_attached"); }, kPass);
    ASSERT_FALSE(line.empty());
    detached = atoi(line.c_str() + line.find("\"pid\":") + 6);
    EXPECT_NE(detached, starter);
    EXPECT_EQ(read_file(tree.lock), std::to_string(detached));
    marker("de7a");
    ASSERT_EQ(kill(detached, SIGTERM), 0);
    EXPECT_TRUE(wait_for_file(
        tree.lock, [&](const std::string &) { return !file_exists(tree.lock); }, kPass));
    EXPECT_TRUE(wait_for_file(
        tree.log, [](const std::string &t) { return contains(t, "Exit\n"); }, kPass));
    EXPECT_EQ(media_lines(), (std::vector<std::string>{media_line("de7a", true)}));
    drain(d, 5s);  // the detached process writes nothing on the console
    EXPECT_TRUE(d.lines.empty());
    detached = -1;
}

INSTANTIATE_TEST_SUITE_P(AbsoluteOrRelativePaths, Detached, ::testing::Bool());

class Signals : public DaemonTest, public ::testing::WithParamInterface<int> {};

TEST_P(Signals, TerminatingSignalRunsTheShutdownOnceAndExitsSeven) {
    write_file(host("2"), usb_host_file(2, "519a", "Yes"));
    start();
    ASSERT_TRUE(wait_report(w, "519a", kPass, nullptr));
    // SIGCHLD reaps a child and starts the next pass at once; the daemon
    // carries on.
    write_file(host("3"), usb_host_file(3, "519b", "Yes"));
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    kill(d.pid, SIGCHLD);
    ASSERT_TRUE(wait_report(w, "519b", kPass, nullptr));
    clock_gettime(CLOCK_MONOTONIC, &t1);
    EXPECT_LT(t1.tv_sec - t0.tv_sec + (t1.tv_nsec - t0.tv_nsec) / 1e9, 2.0)
        << "the pass after SIGCHLD did not start at once";
    marker("519c");
    stop_with(GetParam());
    auto log = log_messages(tree.log);
    EXPECT_EQ(std::count(log.begin(), log.end(), "Exit"), 1);
}

INSTANTIATE_TEST_SUITE_P(Each, Signals, ::testing::Values(SIGINT, SIGTERM, SIGQUIT));

TEST_F(Startup, SecondSignalDuringTheShutdownChangesNothing) {
    for (int i = 0; i < 20; i++)
        write_file(host(std::to_string(i)), usb_host_file(i, "5e" + std::to_string(i), "Yes"));
    start();
    ASSERT_TRUE(wait_report(w, "5e19", kPass, nullptr));
    kill(d.pid, SIGTERM);
    kill(d.pid, SIGINT);
    kill(d.pid, SIGQUIT);
    kill(d.pid, SIGTERM);
    EXPECT_EQ(status_text(wait_exit(d, kPass)), "exit 7");
    auto log = log_messages(tree.log);
    EXPECT_EQ(std::count(log.begin(), log.end(), "Exit"), 1);
    EXPECT_EQ(log.back(), "Exit");
    EXPECT_FALSE(file_exists(tree.lock));
}

TEST_F(Startup, UnopenableLogFileWarnsAndGoesOn) {
    fixture_tree other;
    std::vector<std::string> env = {"PYXOD_LOG_FILE=" + other.dir + "/missing/dir/pyxod.log"};
    start_servant();
    spawn_options o = merged(env);
    d = start_daemon(tree, {"-l"}, w.ior, o);
    ASSERT_FALSE(
        wait_line(
            d, [](const std::string &l) { return contains(l, "Can't open log file"); }, kPass)
            .empty());
    marker("1065");
    stop_with_console_only(SIGTERM);
}

TEST_F(Startup, SyslogCopiesEachMessageToStandardErrorInOrder) {
    rmdir(tree.scsi.c_str());
    start({"-l", "-s"});
    EXPECT_EQ(status_text(wait_exit(d, kPass)), "signal 15");
    drain(d, 5s);
    // File, then syslog (copied to standard error), then the console.
    std::vector<std::string> want_console = {
        "ERROR: Can't access scsi emulation information, abort", "Exit"};
    std::vector<std::string> console, copies;
    for (auto &l : d.lines) {
        if (l.rfind("pyxod[", 0) == 0)
            copies.push_back(l.substr(l.find("]: ") + 3));
        else
            console.push_back(l);
    }
    EXPECT_EQ(console, want_console);
    EXPECT_EQ(copies,
              (std::vector<std::string>{"Can't access scsi emulation information, abort", "Exit"}));
    ASSERT_EQ(d.lines.size(), 4u);
    EXPECT_EQ(d.lines[0].rfind("pyxod[", 0), 0u) << "the syslog copy comes before the console line";
    EXPECT_EQ(tail(log_messages(tree.log), 2),
              (std::vector<std::string>{"ERROR: Can't access scsi emulation information, abort",
                                        "Exit"}));
}
