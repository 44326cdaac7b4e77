// The daemon under valgrind: several passes with reports, then SIGTERM. No
// definite leak and no invalid access may show.
#include "daemon_test_fixture.h"

using Valgrind = DaemonTest;

TEST_F(Valgrind, PassesAndShutdownAreClean) {
    start_servant();
    std::string vlog = tree.dir + "/valgrind.log";
    write_file(host("2"), usb_host_file(2, "7a1", "Yes"));
    d = spawn({"/usr/bin/valgrind", "--leak-check=full", "--errors-for-leak-kinds=definite",
               "--show-leak-kinds=definite", "--error-exitcode=99", "--suppressions=" VALGRIND_SUPP,
               "--log-file=" + vlog, pyxod_path(), "-l", w.ior},
              merged(tree.env()));
    ASSERT_FALSE(
        wait_line(
            w.proc, [](const std::string &l) { return contains(l, "daemon_attached"); }, 120s)
            .empty());
    report r;
    ASSERT_TRUE(wait_report(w, "7a1", 60s, &r));
    for (const char *state : {"No", "Yes", "No"}) {
        write_file(host("2"), usb_host_file(2, "7a1", state));
        ASSERT_TRUE(wait_report(w, "7a1", 60s, &r));
    }
    marker("7a2");
    kill(d.pid, SIGTERM);
    int status = wait_exit(d, 120s);
    std::string text = read_file(vlog);
    EXPECT_EQ(status_text(status), "exit 7") << text;
    EXPECT_TRUE(contains(text, "ERROR SUMMARY: 0 errors")) << text;
    EXPECT_FALSE(contains(text, "Invalid read")) << text;
    EXPECT_FALSE(contains(text, "Invalid write")) << text;
    EXPECT_EQ(log_messages(tree.log).back(), "Exit");
}
