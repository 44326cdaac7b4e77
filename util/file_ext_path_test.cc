#include "file_ext.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "checks.h"
#include "process.h"

namespace {

std::string take(char *s) {
    std::string r = s ? s : "(null)";
    g_free(s);
    return r;
}

TEST(NewName, CountsUpFromTheNumberBeforeTheFirstDot) {
    struct Case {
        const char *source;
        int is_name;
        std::vector<const char *> present;
        const char *expected;
    } cases[] = {
        {"report.txt", 1, {}, "report1.txt"},
        {"report.txt", 1, {"report.txt", "report1.txt"}, "report2.txt"},
        {"report.txt", 1, {"report1.txt", "report2.txt", "report4.txt"}, "report3.txt"},
        {"photo12.jpg", 1, {}, "photo13.jpg"},
        {"photo12.jpg", 1, {"photo13.jpg"}, "photo14.jpg"},
        {"r2.0.txt", 1, {}, "r3.0.txt"},
        {"archive.tar.gz", 1, {}, "archive1.tar.gz"},
        {"99", 1, {}, "100"},
        {"x9", 1, {}, "x10"},
        {"a1b.txt", 1, {}, "a1b1.txt"},
        {".profile", 1, {}, ".profile1"},
        {"07.txt", 1, {}, "8.txt"},
        {"7", 1, {"8"}, "9"},
        {".5", 1, {}, ".6"},
        {"a.5", 1, {}, "a1.5"},
        {"x", 1, {}, "x1"},
        {"ftp://host/dir/photo12.jpg?size=2", 0, {}, "photo13.jpg"},
        {"/some/where/report.txt", 0, {"report1.txt"}, "report2.txt"},
        // Too large for an int: the digits are part of the name.
        {"x2147483646.txt", 1, {}, "x2147483647.txt"},
        {"x2147483646.txt", 1, {"x2147483647.txt"}, "x21474836461.txt"},
        {"x2147483647.txt", 1, {}, "x21474836471.txt"},
        {"x99999999999.txt", 1, {}, "x999999999991.txt"},
        {"0002147483648", 1, {}, "00021474836481"},
        {"ftp://host/dir/", 0, {}, NULL},
        {"", 1, {}, NULL},
        {"", 0, {}, NULL},
        {NULL, 1, {}, NULL},
        {NULL, 0, {}, NULL},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.source ? c.source : "NULL") + " is_name " +
                     std::to_string(c.is_name));
        temp_dir dir;
        for (const char *name : c.present)
            write_file(dir / name, "");
        std::string prefix = dir.path + "/";
        char *got = file_ext_file_get_new_name(c.source, prefix.c_str(), c.is_name);
        EXPECT_EQ(take(got), c.expected ? c.expected : "(null)");
    }
}

TEST(NewName, DanglingLinksAreFreeAndTheDirectoryMustExist) {
    CriticalLog log;
    temp_dir dir;
    std::string prefix = dir.path + "/";
    ASSERT_EQ(symlink("nowhere", (dir / "report1.txt").c_str()), 0);
    ASSERT_EQ(symlink(".", (dir / "report2.txt").c_str()), 0);
    EXPECT_EQ(take(file_ext_file_get_new_name("report.txt", prefix.c_str(), 1)), "report1.txt");
    ASSERT_EQ(unlink((dir / "report1.txt").c_str()), 0);
    write_file(dir / "report1.txt", "");
    EXPECT_EQ(take(file_ext_file_get_new_name("report.txt", prefix.c_str(), 1)), "report3.txt");

    // A directory reached through a link is fine; anything else gives null.
    ASSERT_EQ(symlink(dir.path.c_str(), (dir / "link").c_str()), 0);
    std::string through_link = dir / "link/";
    EXPECT_EQ(take(file_ext_file_get_new_name("report.txt", through_link.c_str(), 1)),
              "report3.txt");
    std::string file = dir / "report1.txt";
    std::string missing = dir / "missing/";
    EXPECT_EQ(take(file_ext_file_get_new_name("a.txt", file.c_str(), 1)), "(null)");
    EXPECT_EQ(take(file_ext_file_get_new_name("a.txt", missing.c_str(), 1)), "(null)");
    EXPECT_EQ(take(file_ext_file_get_new_name("a.txt", NULL, 1)), "(null)");
    EXPECT_TRUE(log.criticals.empty());
}

TEST(DynamicPath, RelativeFromOneDirectoryToAPath) {
    struct {
        const char *from, *to, *expected;
    } cases[] = {
        {"/a/b", "/a/c/d.html", "./../c/d.html"},
        {"/a", "/a/b/c", "./b/c"},
        {"/a/b/c", "/a/b", "./../"},
        {"/a/b/x", "/a/bc", "./../../bc"},
        {"/", "/a", "./a"},
        {"/a/b", "/a/b", "./"},
        {"/", "/", "./"},
        {"/a/", "/a/b", "./b"},
        {"/a/b/", "/a/c", "./../c"},
        {"/a//b", "/a/c", "./../../c"},
        {"/x/y/z", "/a", "./../../../a"},
        {"/a/b", "/", "./../../"},
        {"a/b", "/a", NULL},
        {"/a", "a", NULL},
        {"", "/a", NULL},
        {"/a", "", NULL},
    };
    CriticalLog log;
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.from) + " -> " + c.to);
        EXPECT_EQ(take(file_ext_make_dynamic_path(c.from, c.to)),
                  c.expected ? c.expected : "(null)");
    }
    EXPECT_TRUE(log.criticals.empty());
    EXPECT_EQ(file_ext_make_dynamic_path(NULL, "/a"), nullptr);
    EXPECT_EQ(file_ext_make_dynamic_path("/a", NULL), nullptr);
    ASSERT_EQ(log.criticals.size(), 2u);
    EXPECT_TRUE(IsCheckMessage(log.criticals[0], "file_ext.cc", "file_ext_make_dynamic_path",
                               "from != NULL", "file_ext_path.cc"));
    EXPECT_TRUE(IsCheckMessage(log.criticals[1], "file_ext.cc", "file_ext_make_dynamic_path",
                               "to != NULL", "file_ext_path.cc"));
}

TEST(StaticPath, ResolvesLeadingDotSegmentsAgainstABase) {
    struct {
        const char *source, *str, *expected;
    } cases[] = {
        {"/a/b/", "../c/d.html", "/a/c/d.html"},
        {"/a/b", "../../x", "/x"},
        {"/a/b", "./x", "/a/b/x"},
        {"/a/b", "..", "/a/b/.."},
        {"/a/b", ".x", "/a/b/.x"},
        {"/a/b", "/x", "/a/b/x"},
        {"/a", "../../x", NULL},
        {"/a", "../", ""},
        {"/a/b", "x/../y", "/a/b/x/../y"},
        {"", "x", "/x"},
        {"", "../x", NULL},
        {"/a/b", "", "/a/b"},
        {"/a/b/", "", "/a/b"},
        {"/a/b//", "../x", "/a/b/x"},
        {"/", "x", NULL},
        {"/a/b", "./../x", "/a/x"},
        {"/a/b", ".././x", "/a/x"},
        {"/a/b", "./", "/a/b"},
        {"/a/b", "...", "/a/b/..."},
        {"/a/b", ".../x", "/a/b/.../x"},
        {"/a/b", "../", "/a"},
        {"/a/b", "./.", "/a/b/."},
        {"/a/b", "../..", "/a/.."},
        {"a/b", "../x", "a/x"},
        {"ab", "../x", NULL},
        {"a", "x", "a/x"},
    };
    CriticalLog log;
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string("'") + c.source + "' + '" + c.str + "'");
        EXPECT_EQ(take(file_ext_make_static_path(c.source, c.str)),
                  c.expected ? c.expected : "(null)");
    }
    EXPECT_TRUE(log.criticals.empty());
    EXPECT_EQ(file_ext_make_static_path(NULL, "x"), nullptr);
    EXPECT_EQ(file_ext_make_static_path("/a", NULL), nullptr);
    ASSERT_EQ(log.criticals.size(), 2u);
    EXPECT_TRUE(IsCheckMessage(log.criticals[0], "file_ext.cc", "file_ext_make_static_path",
                               "source != NULL", "file_ext_path.cc"));
    EXPECT_TRUE(IsCheckMessage(log.criticals[1], "file_ext.cc", "file_ext_make_static_path",
                               "str != NULL", "file_ext_path.cc"));
}

}  // namespace
