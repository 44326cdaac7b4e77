#include "file_ext.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "checks.h"
#include "process.h"

namespace {

const char *const kBrowsers[] = {"mozilla", "galeon", "netscape", "konqueror"};

// Fake browsers on a private PATH; each leaves a marker holding its argument.
class Browser : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir.path.empty());
        ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
        const char *path = getenv("PATH");
        old_path = path ? path : "";
        setenv("PATH", bin.c_str(), 1);
        // The browser is started in the background by a short-lived
        // intermediate process; as subreaper we inherit it and can wait for
        // every program that was started, instead of guessing with a sleep.
        ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    }
    void TearDown() override {
        setenv("PATH", old_path.c_str(), 1);
        prctl(PR_SET_CHILD_SUBREAPER, 0);
    }
    void install(const std::string &name, const std::string &script, mode_t mode = 0755) {
        write_file(bin + "/" + name, script);
        ASSERT_EQ(chmod((bin + "/" + name).c_str(), mode), 0);
    }
    void install_browser(const std::string &name) {
        install(name, "#!/bin/sh\nprintf '%s\\n' \"$1\" > '" + marker(name) + "'\n");
    }
    std::string marker(const std::string &name) {
        return dir / ("ran-" + name);
    }
    // Waits for every started program to end; returns how many there were.
    int wait_all() {
        int n = 0;
        for (;;) {
            pid_t pid = waitpid(-1, NULL, 0);
            if (pid > 0) {
                n++;
            } else if (errno != EINTR) {
                return n;
            }
        }
    }
    temp_dir dir;
    std::string bin = dir / "bin";
    std::string old_path;
};

TEST_F(Browser, OnlyTheFirstFoundInTableOrderStarts) {
    const std::string url = "http://example.org/a b?c=d&e;f'g";
    struct Case {
        std::vector<const char *> present;
        const char *started;  // null: none
    } cases[] = {
        {{"mozilla", "galeon", "netscape", "konqueror"}, "mozilla"},
        {{"konqueror", "netscape", "galeon"}, "galeon"},
        {{"netscape", "konqueror"}, "netscape"},
        {{"konqueror"}, "konqueror"},
        {{}, NULL},
    };
    for (const Case &c : cases) {
        std::string trace = "present:";
        for (const char *name : c.present)
            trace += std::string(" ") + name;
        SCOPED_TRACE(trace);
        for (const char *name : kBrowsers) {
            unlink((bin + "/" + name).c_str());
            unlink(marker(name).c_str());
        }
        for (const char *name : c.present)
            install_browser(name);

        EXPECT_EQ(file_ext_launch_browser(url.c_str()), c.started ? 1 : 0);
        EXPECT_EQ(wait_all(), c.started ? 1 : 0);
        for (const char *name : kBrowsers) {
            bool expected = c.started && strcmp(name, c.started) == 0;
            EXPECT_EQ(g_file_test(marker(name).c_str(), G_FILE_TEST_EXISTS), expected) << name;
            if (expected) {
                EXPECT_EQ(read_file(marker(name)), url + "\n");
            }
        }
    }
}

TEST_F(Browser, NonExecutableNamesAreSkippedAndAFailedStartEndsTheSearch) {
    install("mozilla", "#!/bin/sh\nexit 0\n", 0644);
    install_browser("galeon");
    EXPECT_EQ(file_ext_launch_browser("http://a/"), 1);
    EXPECT_EQ(wait_all(), 1);
    EXPECT_EQ(read_file(marker("galeon")), "http://a/\n");
    unlink(marker("galeon").c_str());

    // Found, but it cannot be run: nothing else is tried.
    install("mozilla", "#!/nonexistent/interpreter\n");
    EXPECT_EQ(file_ext_launch_browser("http://b/"), 0);
    // At most the failed attempt itself, inherited from the intermediate.
    EXPECT_LE(wait_all(), 1);
    EXPECT_FALSE(g_file_test(marker("galeon").c_str(), G_FILE_TEST_EXISTS));
}

TEST_F(Browser, NullUrlIsReported) {
    install_browser("mozilla");
    CriticalLog log;
    EXPECT_EQ(file_ext_launch_browser(NULL), 0);
    ASSERT_EQ(log.criticals.size(), 1u);
    EXPECT_TRUE(IsCheckMessage(log.criticals[0], "file_ext.cc", "file_ext_launch_browser",
                               "url != NULL", "file_ext_lock.cc"));
    EXPECT_EQ(wait_all(), 0);
}

}  // namespace
