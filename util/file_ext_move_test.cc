#include "file_ext.h"

#include <dirent.h>
#include <errno.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "checks.h"
#include "process.h"

namespace {

int open_descriptors() {
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (d && readdir(d))
        n++;
    if (d)
        closedir(d);
    return n;
}

struct stat stat_of(const std::string &path) {
    struct stat st = {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st;
}

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

class Move : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir.path.empty());
        ASSERT_EQ(mkdir(src.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(dst.c_str(), 0755), 0);
    }
    temp_dir dir;
    std::string src = dir / "src";
    std::string dst = dir / "dst";
};

TEST_F(Move, HardLinkOnTheSameDevice) {
    write_file(src + "/a", "content");
    EXPECT_EQ(file_ext_move(src.c_str(), "a", dst.c_str(), "b"), 0);
    struct stat from = stat_of(src + "/a"), to = stat_of(dst + "/b");
    EXPECT_EQ(from.st_ino, to.st_ino);
    EXPECT_EQ(from.st_nlink, 2u);
    EXPECT_EQ(read_file(dst + "/b"), "content");
    // The same call again meets its own result: the target is the source.
    EXPECT_EQ(file_ext_move(src.c_str(), "a", dst.c_str(), "b"), 3);
}

TEST_F(Move, ResultCodesWithoutCopying) {
    write_file(src + "/a", "mine");
    write_file(dst + "/other", "theirs");
    ASSERT_EQ(mkdir((src + "/subdir").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo((src + "/fifo").c_str(), 0644), 0);
    ASSERT_EQ(symlink("a", (src + "/to-a").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", (src + "/dangling").c_str()), 0);
    std::string too_long(NAME_MAX + 1, 'n');
    struct {
        const char *source_name;
        std::string target_path;
        std::string target_name;
        int code;
    } cases[] = {
        {"a", src, "a", 3},             // onto itself
        {"to-a", src, "a", 3},          // through a link to itself
        {"a", dst, "other", 5},         // never overwrites
        {"missing", dst, "x", 4},       //
        {"dangling", dst, "x", 4},      //
        {"subdir", dst, "x", 4},        // not a regular file
        {"fifo", dst, "x", 4},          //
        {"a", dir / "no-dir", "x", 4},  // target directory missing
        {"a", dst, too_long, 100 + ENAMETOOLONG},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.source_name) + " -> " + c.target_path + "/" +
                     c.target_name.substr(0, 20));
        EXPECT_EQ(
            file_ext_move(src.c_str(), c.source_name, c.target_path.c_str(), c.target_name.c_str()),
            c.code);
    }
    EXPECT_EQ(read_file(dst + "/other"), "theirs");
    EXPECT_FALSE(exists(dst + "/x"));
    EXPECT_EQ(stat_of(src + "/a").st_nlink, 1u);
}

TEST_F(Move, DanglingLinkAtTheTargetIsNeverFollowed) {
    write_file(src + "/a", "mine");
    ASSERT_EQ(symlink((dir / "planted").c_str(), (dst + "/b").c_str()), 0);
    EXPECT_EQ(file_ext_move(src.c_str(), "a", dst.c_str(), "b"), 100 + EEXIST);
    EXPECT_FALSE(exists(dir / "planted"));
}

TEST_F(Move, PreconditionsNameTheNullArgument) {
    CriticalLog log;
    EXPECT_EQ(file_ext_move(NULL, "a", "/t", "b"), 1);
    EXPECT_EQ(file_ext_move("/s", NULL, "/t", "b"), 1);
    EXPECT_EQ(file_ext_move("/s", "a", NULL, "b"), 2);
    EXPECT_EQ(file_ext_move("/s", "a", "/t", NULL), 2);
    EXPECT_EQ(file_ext_move(NULL, NULL, NULL, NULL), 1);
    const char *expressions[] = {"source_path != NULL", "source_name != NULL",
                                 "target_path != NULL", "target_name != NULL",
                                 "source_path != NULL"};
    ASSERT_EQ(log.criticals.size(), G_N_ELEMENTS(expressions));
    for (size_t i = 0; i < G_N_ELEMENTS(expressions); i++)
        EXPECT_TRUE(IsCheckMessage(log.criticals[i], "file_ext.cc", "file_ext_move", expressions[i],
                                   "file_ext_move.cc"));
}

// What the caller may not read or write is refused, not worked around.
TEST_F(Move, PermissionsOfTheCaller) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    write_file(src + "/secret", "x");
    ASSERT_EQ(chmod((src + "/secret").c_str(), 0600), 0);
    write_file(src + "/theirs", "x");
    ASSERT_EQ(chmod((src + "/theirs").c_str(), 0644), 0);
    write_file(src + "/own", "x");
    ASSERT_EQ(chown((src + "/own").c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(dir.path.c_str(), 0755), 0);
    ASSERT_EQ(chmod(dst.c_str(), 0555), 0);
    std::string open_dir = dir / "open";
    ASSERT_EQ(mkdir(open_dir.c_str(), 0777), 0);
    ASSERT_EQ(chmod(open_dir.c_str(), 01777), 0);
    std::string s = src, d = dst;
    EXPECT_EQ(as_nobody([&] { return file_ext_move(s.c_str(), "secret", "/tmp", "x"); }), 4);
    EXPECT_EQ(as_nobody([&] { return file_ext_move(s.c_str(), "own", d.c_str(), "x"); }),
              100 + EACCES);
    // Linking another user's file is refused where the kernel protects links.
    if (read_file("/proc/sys/fs/protected_hardlinks") == "1\n") {
        EXPECT_EQ(
            as_nobody([&] { return file_ext_move(s.c_str(), "theirs", open_dir.c_str(), "x"); }),
            100 + EPERM);
    }
    EXPECT_FALSE(exists(dst + "/x"));
}

// A read that fails midway (the unmapped first page of our own memory) must
// end the copy with its errno and leave no descriptor open. /proc is always
// another device, so this needs no mount.
TEST_F(Move, FailedReadEndsTheCopy) {
    int before = open_descriptors();
    EXPECT_EQ(file_ext_move("/proc/self", "mem", dst.c_str(), "mem"), 100 + EIO);
    EXPECT_EQ(open_descriptors(), before);
}

// Copies across devices into a tmpfs mounted for this test.
class MoveAcross : public Move {
  protected:
    void SetUp() override {
        Move::SetUp();
        if (geteuid() != 0)
            GTEST_SKIP() << "mounting a tmpfs needs root";
        ASSERT_EQ(mkdir(mnt.c_str(), 0755), 0);
        if (mount("pyxo-test", mnt.c_str(), "tmpfs", 0, "size=64k") != 0)
            GTEST_SKIP() << "cannot mount a tmpfs: " << strerror(errno);
        mounted = true;
        ASSERT_NE(stat_of(mnt).st_dev, stat_of(src).st_dev);
    }
    void TearDown() override {
        if (mounted)
            umount2(mnt.c_str(), MNT_DETACH);
    }
    std::string mnt = dir / "mnt";
    bool mounted = false;
};

TEST_F(MoveAcross, CopyKeepsContentAndPermissionBits) {
    struct {
        const char *name;
        size_t size;
        mode_t mode;
    } cases[] = {
        {"empty", 0, 0640},   {"one-buffer", 10240, 0600}, {"chunks", 25001, 0754},
        {"setuid", 3, 04755}, {"sticky", 1, 01777},        {"none", 5, 0},
    };
    mode_t old_umask = umask(077);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string content(c.size, '\0');
        for (size_t i = 0; i < c.size; i++)
            content[i] = (char)(i * 7 + i / 251);
        write_file(src + "/" + c.name, content);
        ASSERT_EQ(chmod((src + "/" + c.name).c_str(), c.mode), 0);
        int before = open_descriptors();
        EXPECT_EQ(file_ext_move(src.c_str(), c.name, mnt.c_str(), c.name), 0);
        EXPECT_EQ(open_descriptors(), before);
        std::string target = mnt + "/" + c.name;
        EXPECT_EQ(read_file(target), content);
        EXPECT_EQ(stat_of(target).st_mode & 07777, c.mode & 0777);
        EXPECT_TRUE(exists(src + "/" + c.name));
        ASSERT_EQ(unlink(target.c_str()), 0);
    }
    umask(old_umask);
}

TEST_F(MoveAcross, NeverOverwritesAndReportsFailedOpensAndWrites) {
    write_file(src + "/a", "mine");
    write_file(mnt + "/taken", "theirs");
    EXPECT_EQ(file_ext_move(src.c_str(), "a", mnt.c_str(), "taken"), 5);
    EXPECT_EQ(read_file(mnt + "/taken"), "theirs");

    // A planted link must not lead the copy to create its destination.
    ASSERT_EQ(symlink((mnt + "/planted").c_str(), (mnt + "/link").c_str()), 0);
    int before = open_descriptors();
    EXPECT_EQ(file_ext_move(src.c_str(), "a", mnt.c_str(), "link"), 100 + EEXIST);
    EXPECT_FALSE(exists(mnt + "/planted"));
    EXPECT_EQ(open_descriptors(), before);

    std::string too_long(NAME_MAX + 1, 'n');
    EXPECT_EQ(file_ext_move(src.c_str(), "a", mnt.c_str(), too_long.c_str()), 100 + ENAMETOOLONG);
    EXPECT_EQ(open_descriptors(), before);

    // Larger than the file system: the write fails, the partial copy stays.
    write_file(src + "/big", std::string(256 * 1024, 'b'));
    EXPECT_EQ(file_ext_move(src.c_str(), "big", mnt.c_str(), "big"), 100 + ENOSPC);
    EXPECT_EQ(open_descriptors(), before);
    EXPECT_TRUE(exists(mnt + "/big"));
}

// A file system that refuses every chmod (bindfs --chmod-deny, as FAT does
// for bits it cannot hold): the copy's target cannot get the source's bits.
TEST_F(Move, FailedChmodOfTheCopyRemovesTheTarget) {
    if (geteuid() != 0)
        GTEST_SKIP() << "mounting a FUSE file system needs root here";
    std::string backing = dir / "backing", denied = dir / "denied";
    ASSERT_EQ(mkdir(backing.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(denied.c_str(), 0755), 0);
    program_result mounted = run_program({"bindfs", "--chmod-deny", backing, denied});
    if (mounted.status != 0)
        GTEST_SKIP() << "cannot mount with bindfs: " << mounted.err;
    write_file(src + "/a", "data");
    int before = open_descriptors();
    EXPECT_EQ(file_ext_move(src.c_str(), "a", denied.c_str(), "a"), 100 + EPERM);
    EXPECT_EQ(open_descriptors(), before);
    EXPECT_FALSE(exists(backing + "/a"));
    EXPECT_EQ(read_file(src + "/a"), "data");
    umount2(denied.c_str(), MNT_DETACH);
}

}  // namespace
