// pyxo-watch's handling of the daemon it starts: the arguments it passes,
// its exit status, stopping the daemon first on Ctrl-C, SIGTERM or lost
// output, and the IOR file. The daemon here is a shell script that records
// what it was given.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <string>

#include "daemon_harness.h"
#include "orb_peer.h"
#include "watch_format.h"

namespace {

std::string fake_daemon(const temp_dir &dir, const std::string &body) {
    std::string path = dir / "pyxod";
    write_file(path, "#!/bin/sh\nfor a in \"$@\"; do echo \"$a\"; done > '" + dir.path +
                         "/args'\n" + body);
    chmod(path.c_str(), 0755);
    return path;
}

// One that records SIGTERM and then ends with 7, as pyxod does.
std::string stoppable_daemon(const temp_dir &dir) {
    return fake_daemon(dir, "trap 'echo stopped > \"" + dir.path + "/term\"; exit 7' TERM\n" +
                                "echo ready > '" + dir.path + "/ready'\n" +
                                "while :; do sleep 0.1; done\n");
}

}  // namespace

// With --json, the daemon's console lines go to standard error: standard
// output carries JSON lines alone.
TEST(Watch, PassesFlagsAndItsIorLastAndEndsWithTheDaemonsStatus) {
    temp_dir dir;
    std::string daemon = fake_daemon(dir, "echo 'Media 0a state changed : Attached'\nexit 7\n");
    child w = spawn({bin_dir() + "/pyxo-watch", "--json", "-l", "--daemon", daemon, "-s",
                     "--ior-file", dir / "ior"});
    int ws = wait_exit(w, 20s);
    ASSERT_TRUE(WIFEXITED(ws)) << ws;
    EXPECT_EQ(WEXITSTATUS(ws), 7);
    std::string args = read_file(dir / "args");
    ASSERT_EQ(args.compare(0, 10, "-l\n-s\nIOR:"), 0) << args;
    EXPECT_EQ(args.find('\n', 10), args.size() - 1) << "the IOR is the last argument";
    EXPECT_EQ(w.out_text, "");
    EXPECT_NE(w.err_text.find("Media 0a state changed : Attached\n"), std::string::npos);
}

TEST(Watch, SigtermStopsTheDaemonFirst) {
    temp_dir dir;
    child w = spawn({bin_dir() + "/pyxo-watch", "--daemon", stoppable_daemon(dir)});
    ASSERT_TRUE(wait_for_file(dir / "ready", non_empty, 20s));
    kill(w.pid, SIGTERM);
    int ws = wait_exit(w, 20s);
    ASSERT_TRUE(WIFEXITED(ws)) << ws;
    EXPECT_EQ(WEXITSTATUS(ws), 7);
    EXPECT_EQ(read_file(dir / "term"), "stopped\n");
}

TEST(Watch, ADaemonKilledBySignalGives128PlusItsNumber) {
    temp_dir dir;
    std::string daemon = fake_daemon(dir, "kill -KILL $$\n");
    child w = spawn({bin_dir() + "/pyxo-watch", "--daemon", daemon});
    int ws = wait_exit(w, 20s);
    ASSERT_TRUE(WIFEXITED(ws)) << ws;
    EXPECT_EQ(WEXITSTATUS(ws), 128 + SIGKILL);
}

TEST(Watch, RefusesUnknownOptionsAndDocumentsItsOwn) {
    child bad = spawn({bin_dir() + "/pyxo-watch", "--bogus"});
    int ws = wait_exit(bad, 10s);
    ASSERT_TRUE(WIFEXITED(ws));
    EXPECT_EQ(WEXITSTATUS(ws), 2);
    for (auto bad :
         {std::pair("--on-attach", "a 'b"), {"--on-remove", " "}, {"--hook-timeout", "1s"}})
        EXPECT_EQ(run_program({bin_dir() + "/pyxo-watch", bad.first, bad.second}).status, 2);

    child help = spawn({bin_dir() + "/pyxo-watch", "--help"});
    std::string text = drain(help, 10s);
    ws = wait_exit(help, 10s);
    ASSERT_TRUE(WIFEXITED(ws));
    EXPECT_EQ(WEXITSTATUS(ws), 0);
    for (const char *option : {"--json", "--notify", "--ior-file", "--no-daemon", "--daemon", "-d",
                               "-l", "-s", "--on-attach", "--on-remove", "--hook-timeout"})
        EXPECT_NE(text.find(option), std::string::npos) << option;

    child missing = spawn({bin_dir() + "/pyxo-watch", "--daemon", "/nonexistent/pyxod"});
    EXPECT_EQ(status_text(wait_exit(missing, 10s)), "exit 1");
    EXPECT_TRUE(contains(missing.err_text, "cannot start /nonexistent/pyxod: No such file"))
        << missing.err_text;
}

TEST(Watch, IorFileNeverWritesThroughAPlantedLink) {
    temp_dir dir;
    write_file(dir / "victim", "precious\n");
    for (const char *name : {"ior", "ior.tmp"})
        ASSERT_EQ(symlink((dir / "victim").c_str(), (dir / name).c_str()), 0);
    child w = spawn({bin_dir() + "/pyxo-watch", "--no-daemon", "--ior-file", dir / "ior"});
    ASSERT_TRUE(wait_for_file(
        dir / "ior", [](const std::string &t) { return t.rfind("IOR:", 0) == 0; }, 20s));
    EXPECT_EQ(read_file(dir / "victim"), "precious\n");
}

// A standard output nobody reads (text mode, a pipe filled up): the
// daemon's console lines are dropped and counted, the daemon never waits for
// it, and SIGTERM still ends both.
TEST(Watch, BlockedOutputHoldsUpNeitherTheDaemonNorTheEnd) {
    temp_dir dir;
    int stuck[2];
    ASSERT_EQ(pipe(stuck), 0);
    spawn_options o;
    o.out_file = "/proc/self/fd/" + std::to_string(stuck[1]);
    std::string daemon = fake_daemon(
        dir, "trap 'echo stopped > \"" + dir.path + "/term\"; exit 7' TERM\n" +
                 "i=0; while [ $i -lt 20000 ]; do echo \"Media $i state changed\"; i=$((i+1)); "
                 "done\necho ready > '" +
                 dir.path + "/ready'\nwhile :; do sleep 0.1; done\n");
    child w = spawn({bin_dir() + "/pyxo-watch", "--daemon", daemon}, o);
    ASSERT_TRUE(wait_for_file(dir / "ready", non_empty, 20s)) << "the daemon was held up";
    kill(w.pid, SIGTERM);
    EXPECT_EQ(status_text(wait_exit(w, 20s)), "exit 7");
    EXPECT_EQ(read_file(dir / "term"), "stopped\n");
    EXPECT_TRUE(contains(w.err_text, " dropped while standard output was blocked\n")) << w.err_text;
    close(stuck[0]);
    close(stuck[1]);
}

// Standard output that can no longer be written stops the daemon as SIGTERM
// does: a reader gone (even with nothing to print) ends pyxo-watch quietly
// with the daemon's status, a failed write with a message and status 1.
TEST(Watch, OutputThatCannotBeWrittenStopsTheDaemon) {
    for (bool full : {false, true}) {
        temp_dir dir;
        spawn_options o;
        o.out_file = full ? "/dev/full" : "";
        child w = spawn({bin_dir() + "/pyxo-watch", "--json", "--daemon", stoppable_daemon(dir),
                         "--ior-file", dir / "ior"},
                        o);
        ASSERT_TRUE(wait_for_file(dir / "ready", non_empty, 20s));
        if (full) {
            PYXO_Environment ev;
            std::string ior = read_file(dir / "ior");
            PYXO::servant_ptr s =
                PYXO_servant_from_string(test_orb(), ior.substr(0, ior.find('\n')).c_str(), &ev);
            PYXO_servant_servant_remote_command(s, PYXO::servant::ICONIFY, &ev);
            PYXO_servant_release(s, &ev);
        } else {
            close(w.out);
            w.out = -1;
        }
        EXPECT_EQ(status_text(wait_exit(w, 20s)), full ? "exit 1" : "exit 7");
        EXPECT_EQ(read_file(dir / "term"), "stopped\n");
        // The source it chose comes first, whichever the machine has.
        std::string err = w.err_text;
        if (err.rfind("pyxo-watch: source ", 0) == 0)
            err.erase(0, err.find('\n') + 1);
        EXPECT_EQ(err, full ? "pyxo-watch: cannot write standard output: No space left on "
                              "device\n"
                            : "");
    }
}

// A size is a plain count of sectors whose bytes fit; anything else is
// unknown. Text lines escape what terminals take as controls.
TEST(Format, SizesAndControlCharacters) {
    struct {
        const char *sectors, *json, *text;
    } sizes[] = {{"31266816", "16008609792", "16.0 GB"},
                 {"18014398509481983", "9223372036854775296", "9.2 EB"},
                 {"18014398509481984", "null", "size unknown"},
                 {"18446744073709551615", "null", "size unknown"},
                 {"-5", "null", "size unknown"},
                 {"abc", "null", "size unknown"},
                 {"", "null", "size unknown"},
                 {NULL, "null", "size unknown"}};
    for (const auto &c : sizes) {
        watch_disk disk;
        disk.device = "/dev/sdb";
        disk.size = watch_medium_size_bytes(c.sectors);
        disk.partitions.resize(1);
        disk.partitions[0].device = "/dev/sdb1";
        disk.partitions[0].fstype = "vfat";
        disk.partitions[0].label = "A \"b\"\\\x90\x1b";  // quoted after the type, escaped
        std::string json = watch_medium_line(WATCH_JSON, 0, "S", disk, NULL);
        EXPECT_TRUE(contains(json, std::string(",\"size\":") + c.json + ",")) << json;
        std::string text = watch_medium_line(WATCH_TEXT, 0, "S", disk, NULL);
        EXPECT_TRUE(contains(
            text, std::string("  ") + c.text + "  sdb1 vfat \"A \\\"b\\\"\\\\\x90\\u001b\""))
            << text;
    }
    PYXO::media_ST m;
    m.attached = false;
    m.scsi = {0, 0, 0, 0};
    m.serial = "a\x7f\xc2\x9b[2J\xe2\x80\xae\xe2\x81\xa9\xe2\x80\xa9\xc2\xa0\x01";
    EXPECT_TRUE(contains(watch_media_changed_line(WATCH_TEXT, 0, m),
                         "\"a\\u007f\\u009b[2J\\u202e\\u2069\xe2\x80\xa9\xc2\xa0\\u0001\""));
}
