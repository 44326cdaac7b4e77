// pyxo-watch's handling of the daemon it starts: the arguments it passes,
// its exit status, and stopping the daemon first on Ctrl-C or SIGTERM. The
// daemon here is a shell script that records what it was given. And the IOR
// file.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <string>

#include "process.h"

namespace {

std::string fake_daemon(const temp_dir &dir, const std::string &body) {
    std::string path = dir / "pyxod";
    write_file(path, "#!/bin/sh\nfor a in \"$@\"; do echo \"$a\"; done > '" + dir.path +
                         "/args'\n" + body);
    chmod(path.c_str(), 0755);
    return path;
}

}  // namespace

TEST(Watch, PassesFlagsAndItsIorLastAndEndsWithTheDaemonsStatus) {
    temp_dir dir;
    std::string daemon = fake_daemon(dir, "exit 7\n");
    child w = spawn({bin_dir() + "/pyxo-watch", "--json", "-l", "--daemon", daemon, "-s",
                     "--ior-file", dir / "ior"});
    int ws = wait_exit(w, 20s);
    ASSERT_TRUE(WIFEXITED(ws)) << ws;
    EXPECT_EQ(WEXITSTATUS(ws), 7);
    std::string args = read_file(dir / "args");
    ASSERT_EQ(args.compare(0, 10, "-l\n-s\nIOR:"), 0) << args;
    EXPECT_EQ(args.find('\n', 10), args.size() - 1) << "the IOR is the last argument";
}

TEST(Watch, SigtermStopsTheDaemonFirst) {
    temp_dir dir;
    std::string daemon = fake_daemon(dir, "trap 'echo stopped > \"" + dir.path +
                                              "/term\"; exit 7' TERM\n"
                                              "echo ready > '" +
                                              dir.path +
                                              "/ready'\n"
                                              "while :; do sleep 0.1; done\n");
    child w = spawn({bin_dir() + "/pyxo-watch", "--daemon", daemon});
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

    child help = spawn({bin_dir() + "/pyxo-watch", "--help"});
    std::string text = drain(help, 10s);
    ws = wait_exit(help, 10s);
    ASSERT_TRUE(WIFEXITED(ws));
    EXPECT_EQ(WEXITSTATUS(ws), 0);
    for (const char *option : {"--json", "--ior-file", "--no-daemon", "--daemon", "-d", "-l", "-s"})
        EXPECT_NE(text.find(option), std::string::npos) << option;
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
