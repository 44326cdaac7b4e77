#include "file_ext.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "checks.h"
#include "process.h"

extern char **environ;

namespace {

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// posix_spawn returns once the child has run exec, so its /proc status
// already shows the new program's name.
pid_t start(const std::string &program, const char *arg) {
    char *argv[] = {(char *)program.c_str(), (char *)arg, NULL};
    pid_t pid = -1;
    int error = posix_spawn(&pid, program.c_str(), NULL, NULL, argv, environ);
    EXPECT_EQ(error, 0) << program;
    return error == 0 ? pid : -1;
}

void stop(pid_t pid) {
    if (pid <= 0)
        return;
    kill(pid, SIGKILL);
    waitpid(pid, NULL, 0);
}

// Runs with a private lock directory given through PYXO_LOCK_DIR.
class AppLock : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir.path.empty());
        ASSERT_EQ(mkdir(locks.c_str(), 0755), 0);
        setenv("PYXO_LOCK_DIR", (locks + "/").c_str(), 1);
    }
    void TearDown() override {
        unsetenv("PYXO_LOCK_DIR");
    }
    std::string lock(const char *app) {
        return locks + "/" + app;
    }
    std::string own_pid_line() {
        return std::to_string(getpid()) + "\n";
    }
    temp_dir dir;
    std::string locks = dir / "locks";
};

TEST_F(AppLock, AbsentLockIsTakenWithOurPid) {
    EXPECT_EQ(file_ext_lock_app_status("editor"), 0);
    EXPECT_EQ(file_ext_lock_app("editor"), 1);
    EXPECT_EQ(read_file(lock("editor")), own_pid_line());
    // This test program's name lacks the word, so it never counts as a holder
    // and takes its own lock again.
    EXPECT_EQ(file_ext_lock_app_status("editor"), 0);
    EXPECT_TRUE(exists(lock("editor"))) << "a live foreign holder's lock must stay";
    EXPECT_EQ(file_ext_lock_app("editor"), 1);
    EXPECT_EQ(file_ext_Unlock_app("editor"), 1);
    EXPECT_FALSE(exists(lock("editor")));
    EXPECT_EQ(file_ext_Unlock_app("editor"), 0);
}

TEST_F(AppLock, ProgramOfTheSystemCannotLockTwice) {
    char old_name[17] = {};
    ASSERT_EQ(prctl(PR_GET_NAME, old_name), 0);
    ASSERT_EQ(prctl(PR_SET_NAME, "pyxo-lock-test"), 0);
    EXPECT_EQ(file_ext_lock_app("viewer"), 1);
    EXPECT_EQ(file_ext_lock_app_status("viewer"), getpid());
    EXPECT_EQ(file_ext_lock_app("viewer"), 0);
    EXPECT_EQ(read_file(lock("viewer")), own_pid_line());
    prctl(PR_SET_NAME, old_name);
}

TEST_F(AppLock, LiveHolderKeepsTheLock) {
    // A copy of sleep whose name carries the word stands for another
    // program of the system.
    std::string holder = dir / "pyxo-holder";
    ASSERT_TRUE(g_file_test("/bin/sleep", G_FILE_TEST_IS_EXECUTABLE));
    write_file(holder, read_file("/bin/sleep"));
    ASSERT_EQ(chmod(holder.c_str(), 0755), 0);
    pid_t pid = start(holder, "60");
    ASSERT_GT(pid, 0);
    std::string content = std::to_string(pid) + "\n";
    write_file(lock("player"), content);

    EXPECT_EQ(file_ext_lock_app_status("player"), pid);
    EXPECT_EQ(file_ext_lock_app("player"), 0);
    EXPECT_EQ(read_file(lock("player")), content);
    // Any caller that may write the file ends the lock.
    EXPECT_EQ(file_ext_Unlock_app("player"), 1);
    EXPECT_FALSE(exists(lock("player")));
    stop(pid);
}

TEST_F(AppLock, ForeignHolderIsLeftAloneButOverwritten) {
    pid_t pid = start("/bin/sleep", "60");
    ASSERT_GT(pid, 0);
    std::string content = std::to_string(pid) + "\n";
    write_file(lock("player"), content);
    EXPECT_EQ(file_ext_lock_app_status("player"), 0);
    EXPECT_EQ(read_file(lock("player")), content);
    EXPECT_EQ(file_ext_lock_app("player"), 1);
    EXPECT_EQ(read_file(lock("player")), own_pid_line());
    stop(pid);
}

TEST_F(AppLock, StaleLocksAreRemoved) {
    pid_t gone = start("/bin/true", NULL);
    ASSERT_GT(gone, 0);
    ASSERT_EQ(waitpid(gone, NULL, 0), gone);
    struct {
        const char *what;
        std::string content;
    } cases[] = {
        {"exited process", std::to_string(gone) + "\n"},
        {"no newline", std::to_string(gone)},
        {"empty file", ""},
        {"not a number", "pyxo\n"},
        {"process 0", "0\n"},
        {"negative", "-1\n"},
        {"beyond any pid", "2147483647\n"},
        {"beyond int", "99999999999\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        write_file(lock("stale"), c.content);
        EXPECT_EQ(file_ext_lock_app_status("stale"), 0);
        EXPECT_FALSE(exists(lock("stale")));
        write_file(lock("stale"), c.content);
        EXPECT_EQ(file_ext_lock_app("stale"), 1);
        EXPECT_EQ(read_file(lock("stale")), own_pid_line());
        ASSERT_EQ(unlink(lock("stale").c_str()), 0);
    }
}

TEST_F(AppLock, UnwritableLockDirectoryLeavesNoFile) {
    setenv("PYXO_LOCK_DIR", (dir / "missing/").c_str(), 1);
    EXPECT_EQ(file_ext_lock_app("editor"), 0);
    EXPECT_EQ(file_ext_lock_app_status("editor"), 0);
    EXPECT_EQ(file_ext_Unlock_app("editor"), 0);
    EXPECT_FALSE(exists(dir / "missing"));
}

// Locks the caller may not read and write are neither taken, removed nor
// released.
TEST_F(AppLock, PermissionsOfTheCaller) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    ASSERT_EQ(chmod(dir.path.c_str(), 0755), 0);
    write_file(lock("stale"), "0\n");
    ASSERT_EQ(chmod(lock("stale").c_str(), 0644), 0);
    EXPECT_EQ(as_nobody([] { return file_ext_lock_app_status("stale"); }), 0);
    EXPECT_TRUE(exists(lock("stale")));
    EXPECT_EQ(as_nobody([] { return file_ext_Unlock_app("stale"); }), 0);
    EXPECT_TRUE(exists(lock("stale")));
    EXPECT_EQ(as_nobody([] { return file_ext_lock_app("stale"); }), 0);
    EXPECT_EQ(read_file(lock("stale")), "0\n");
    EXPECT_EQ(as_nobody([] { return file_ext_lock_app("fresh"); }), 0);
    EXPECT_FALSE(exists(lock("fresh")));
    // In a sticky directory only the owner removes a file, however open its
    // mode: the release failed and must not be reported as done.
    ASSERT_EQ(chmod(locks.c_str(), 01777), 0);
    write_file(lock("shared"), "1\n");
    ASSERT_EQ(chmod(lock("shared").c_str(), 0666), 0);
    EXPECT_EQ(as_nobody([] { return file_ext_Unlock_app("shared"); }), 0);
    EXPECT_TRUE(exists(lock("shared")));
}

// The lock directory is shared by every user: nothing placed there, and no
// name given by a caller, may lead a lock to another file.
TEST_F(AppLock, NamesAndLinksCannotReachOtherFiles) {
    std::string victim = dir / "victim";
    write_file(victim, "keep\n");
    ASSERT_EQ(mkdir((locks + "/sub").c_str(), 0755), 0);
    const char *names[] = {"", ".", "..", "../victim", "sub/x", "/x", "x/"};
    CriticalLog log;
    for (const char *name : names) {
        SCOPED_TRACE(std::string("name '") + name + "'");
        EXPECT_EQ(file_ext_lock_app(name), 0);
        EXPECT_EQ(file_ext_lock_app_status(name), 0);
        EXPECT_EQ(file_ext_Unlock_app(name), 0);
    }
    EXPECT_TRUE(log.criticals.empty());
    EXPECT_FALSE(exists(locks + "/sub/x"));
    EXPECT_FALSE(exists(dir / "x"));
    // A directory at the lock name is not a lock that could be released.
    EXPECT_EQ(file_ext_Unlock_app("sub"), 0);
    EXPECT_TRUE(exists(locks + "/sub"));

    ASSERT_EQ(symlink(victim.c_str(), lock("linked").c_str()), 0);
    EXPECT_EQ(file_ext_lock_app_status("linked"), 0);
    EXPECT_EQ(file_ext_lock_app("linked"), 0);
    EXPECT_EQ(read_file(victim), "keep\n");
    // Unlocking removes the link itself, never what it points to.
    EXPECT_EQ(file_ext_Unlock_app("linked"), 1);
    EXPECT_FALSE(exists(lock("linked")));
    EXPECT_EQ(read_file(victim), "keep\n");

    // A FIFO would block a plain open for ever.
    ASSERT_EQ(mkfifo(lock("fifo").c_str(), 0666), 0);
    EXPECT_EQ(file_ext_lock_app_status("fifo"), 0);
    EXPECT_EQ(file_ext_lock_app("fifo"), 0);
    EXPECT_TRUE(exists(lock("fifo")));
}

TEST_F(AppLock, NullNamesAreReported) {
    CriticalLog log;
    EXPECT_EQ(file_ext_lock_app_status(NULL), 0);
    EXPECT_EQ(file_ext_lock_app(NULL), 0);
    EXPECT_EQ(file_ext_Unlock_app(NULL), 0);
    const char *functions[] = {"file_ext_lock_app_status", "file_ext_lock_app",
                               "file_ext_Unlock_app"};
    ASSERT_EQ(log.criticals.size(), G_N_ELEMENTS(functions));
    for (size_t i = 0; i < G_N_ELEMENTS(functions); i++)
        EXPECT_TRUE(IsCheckMessage(log.criticals[i], "file_ext.cc", functions[i],
                                   "app_name != NULL", "file_ext_lock.cc"));
    EXPECT_EQ(read_file(lock("(null)")), "");
}

}  // namespace
