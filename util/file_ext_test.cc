#include "file_ext.h"

#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "checks.h"
#include "process.h"

namespace {

TEST(FileType, FollowsLinksAndKeepsOnlyTheTypeBits) {
    temp_dir dir;
    ASSERT_FALSE(dir.path.empty());
    write_file(dir / "file", "x");
    write_file(dir / "setuid", "x");
    ASSERT_EQ(chmod((dir / "setuid").c_str(), 04755), 0);
    ASSERT_EQ(mkdir((dir / "sticky").c_str(), 0700), 0);
    ASSERT_EQ(chmod((dir / "sticky").c_str(), 01777), 0);
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    ASSERT_EQ(symlink(dir.path.c_str(), (dir / "to-dir").c_str()), 0);
    ASSERT_EQ(symlink((dir / "file").c_str(), (dir / "to-file").c_str()), 0);
    ASSERT_EQ(symlink((dir / "missing").c_str(), (dir / "dangling").c_str()), 0);
    int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::string sock_path = dir / "sock";
    ASSERT_LT(sock_path.size(), sizeof addr.sun_path);
    memcpy(addr.sun_path, sock_path.c_str(), sock_path.size() + 1);
    ASSERT_EQ(bind(sock, (struct sockaddr *)&addr, sizeof addr), 0);

    struct {
        std::string path;
        int type;
    } cases[] = {
        {dir.path, 0x4000},
        {dir / "file", 0x8000},
        {dir / "setuid", 0x8000},
        {dir / "sticky", 0x4000},
        {dir / "fifo", 0x1000},
        {"/dev/null", 0x2000},
        {sock_path, 0xC000},
        {dir / "to-dir", 0x4000},
        {dir / "to-file", 0x8000},
        {dir / "dangling", -1},
        {dir / "missing", -1},
        {dir / "file/below", -1},
        {"", -1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(file_ext_file_get_file_type(c.path.c_str()), c.type) << c.path;
    EXPECT_EQ(file_ext_file_get_file_type(NULL), -1);
    close(sock);
}

TEST(FileType, UnsearchableDirectoryOnTheWay) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    temp_dir dir;
    write_file(dir / "file", "x");
    ASSERT_EQ(chmod(dir.path.c_str(), 0700), 0);
    std::string path = dir / "file";
    EXPECT_EQ(as_nobody([&] { return file_ext_file_get_file_type(path.c_str()) == -1; }), 1);
}

TEST(ProtocolIsLocal, OnlyWholeFileSchemesAndAbsolutePaths) {
    struct {
        const char *protocol;
        int local;
    } cases[] = {
        {NULL, 1},      {"file:", 1},  {"FILE:", 1},  {"FiLe:", 1},  {"files:", 1},
        {"Files:", 1},  {"FILES:", 1}, {"/", 1},      {"/tmp", 1},   {"//host", 1},
        {"file://", 0}, {"file", 0},   {"files", 0},  {"ftp:", 0},   {"http:", 0},
        {"", 0},        {" file:", 0}, {"file: ", 0}, {"filez:", 0}, {"tmp/", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(file_ext_file_protocol_is_local(c.protocol), c.local)
            << (c.protocol ? c.protocol : "(null)");
}

volatile sig_atomic_t continued = 0;

TEST(CheckForProcess, ExistingUnusedAndNonPositiveIds) {
    struct sigaction action = {}, old;
    action.sa_handler = [](int) { continued = continued + 1; };
    ASSERT_EQ(sigaction(SIGCONT, &action, &old), 0);

    EXPECT_EQ(file_ext_check_for_process(getpid()), 1);
    EXPECT_EQ(file_ext_check_for_process(1), 1);
    // 0 and negative ids would address our own process group; nobody may
    // be signalled, so the handler must never run.
    EXPECT_EQ(file_ext_check_for_process(0), 0);
    EXPECT_EQ(file_ext_check_for_process(-getpgrp()), 0);
    EXPECT_EQ(file_ext_check_for_process(-1), 0);
    EXPECT_EQ(continued, 0);

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        _exit(0);
    ASSERT_EQ(waitpid(child, NULL, 0), child);
    EXPECT_EQ(file_ext_check_for_process(child), 0);
    EXPECT_EQ(file_ext_check_for_process(G_MAXINT), 0);
    sigaction(SIGCONT, &old, NULL);
}

TEST(CheckForProcess, ProcessOfAnotherUserExists) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to start a process as another user";
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(1);
        close(ready[0]);
        if (write(ready[1], "u", 1) != 1)
            _exit(1);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    EXPECT_EQ(file_ext_check_for_process(child), 1);
    kill(child, SIGKILL);
    waitpid(child, NULL, 0);
}

// Without /proc the kernel decides: a process we may not signal still
// exists (EPERM), a free id does not (ESRCH).
TEST(CheckForProcess, WithoutProcTheSignalAnswers) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for a private mount namespace";
    pid_t gone = fork();
    ASSERT_GE(gone, 0);
    if (gone == 0)
        _exit(0);
    ASSERT_EQ(waitpid(gone, NULL, 0), gone);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (unshare(CLONE_NEWNS) != 0 || mount(NULL, "/", NULL, MS_REC | MS_PRIVATE, NULL) != 0 ||
            umount2("/proc", MNT_DETACH) != 0)
            _exit(10);
        if (access("/proc/1", F_OK) == 0)
            _exit(11);
        if (setgroups(0, NULL) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            _exit(12);
        signal(SIGCONT, SIG_IGN);
        if (file_ext_check_for_process(1) != 1)
            _exit(1);  // EPERM
        if (file_ext_check_for_process(getpid()) != 1)
            _exit(2);  // signalled
        if (file_ext_check_for_process(gone) != 0)
            _exit(3);  // ESRCH
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) >= 10)
        GTEST_SKIP() << "cannot hide /proc here: " << WEXITSTATUS(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: EPERM, 2: own pid, 3: ESRCH";
}

}  // namespace
