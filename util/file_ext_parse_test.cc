#include "file_ext.h"

#include <gtest/gtest.h>

#include "checks.h"
#include "process.h"

namespace {

struct Case {
    const char *in;
    const char *out;  // null: no result
};

// Runs `parse` on every case; the result must match and must be a fresh
// string (freeing it under the sanitizers or valgrind proves that).
void check_table(char *(*parse)(const char *), const char *name, const std::vector<Case> &cases) {
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(name) + "(" + (c.in ? c.in : "NULL") + ")");
        char *got = parse(c.in);
        if (c.out == NULL) {
            EXPECT_EQ(got, nullptr) << got;
        } else {
            ASSERT_NE(got, nullptr);
            EXPECT_STREQ(got, c.out);
            EXPECT_NE(got, c.in);
        }
        g_free(got);
    }
}

TEST(ParseUrl, Protocol) {
    CriticalLog log;
    check_table(file_ext_file_get_protocol, "get_protocol",
                {
                    {"ftp://host/a", "ftp:"},
                    {"file:/tmp/x", "file:"},
                    {"C:/x", "C:"},
                    {"http://host/dir/x.html?q=a:/b", "http:"},
                    {"a.b:/x", "a.b:"},
                    {"x-y+z:/", "x-y+z:"},
                    {"\xc3\xa9t\xc3\xa9:/x", "\xc3\xa9t\xc3\xa9:"},
                    {"/abs/path", "file://"},
                    {"/", "file://"},
                    {"news:comp", NULL},
                    {"a.b:", NULL},
                    {"x:", NULL},
                    {".x:/y", NULL},
                    {":/x", NULL},
                    {"@x:/y", NULL},
                    {"#x:/y", NULL},
                    {"?x:/y", NULL},
                    {"user@host:/x", NULL},
                    {"a#b:/x", NULL},
                    {"a?b:/x", NULL},
                    {"a/b:/x", NULL},
                    {"ftp", NULL},
                    {"f", NULL},
                    {"", NULL},
                    {NULL, NULL},
                });
    EXPECT_TRUE(log.criticals.empty());
}

TEST(ParseUrl, FileName) {
    CriticalLog log;
    check_table(file_ext_file_get_file_name, "get_file_name",
                {
                    {"ftp://host/dir/Report.PDF?x=1", "Report.PDF"},
                    {"ftp://host", "host"},
                    {"ftp://host/", NULL},
                    {"/a/..", NULL},
                    {"/a/...", "..."},
                    {".profile", ".profile"},
                    {"ftp://host/dir/", NULL},
                    {"ftp://host/dir/x.", "x."},
                    {"x.tar.gz?y/z.c", "x.tar.gz"},
                    {"doc.txt#top/x", "doc.txt"},
                    {"/a/.", NULL},
                    {".", NULL},
                    {"..", NULL},
                    {"/a/.b", ".b"},
                    {"/a/..b", "..b"},
                    {"/a/b..", "b.."},
                    {"a//b", "b"},
                    {"/a/b//", NULL},
                    {"name", "name"},
                    {"#x", NULL},
                    {"?x", NULL},
                    {"", NULL},
                    {NULL, NULL},
                });
    EXPECT_TRUE(log.criticals.empty());
}

TEST(ParseUrl, Extension) {
    CriticalLog log;
    check_table(file_ext_file_extract_ext, "extract_ext",
                {
                    {"Archive.TAR.GZ", ".tar.gz"},
                    {"a..b", ".b"},
                    {"name.", NULL},
                    {".profile", NULL},
                    {"..b", ".b"},
                    {"dir.d/file", NULL},
                    {"doc.txt#top", ".txt"},
                    {"x.tar.gz?y/z.c", ".tar.gz"},
                    {"ftp://host/dir/", NULL},
                    {"ftp://host/dir/x.", NULL},
                    {"ftp://host/pub/Report.Final.PDF", ".final.pdf"},
                    {"/dir/.hidden.Conf", ".conf"},
                    {"a.b/", NULL},
                    {"a.b.", ".b."},
                    {"x.\xc3\x89", ".\xc3\x89"},
                    {"noext", NULL},
                    {".", NULL},
                    {"", NULL},
                    {NULL, NULL},
                });
    EXPECT_TRUE(log.criticals.empty());
}

TEST(ParseUrl, FileNameWithoutExtension) {
    CriticalLog log;
    check_table(file_ext_file_extract_file_name, "extract_file_name",
                {
                    {"ftp://host/pub/Report.Final.PDF", "Report"},
                    {"a..b", "a."},
                    {".profile", ".profile"},
                    {"ftp://host/dir/", NULL},
                    {"ftp://host/dir/x.", "x."},
                    {"x.tar.gz?y/z.c", "x"},
                    {"/dir/Doc.TXT", "Doc"},
                    {"/dir/.hidden.Conf", ".hidden"},
                    {"/a/..", NULL},
                    {"", NULL},
                });
    EXPECT_TRUE(log.criticals.empty());

    EXPECT_EQ(file_ext_file_extract_file_name(NULL), nullptr);
    ASSERT_EQ(log.criticals.size(), 1u);
    EXPECT_TRUE(IsCheckMessage(log.criticals[0], "file_ext.cc", "file_ext_file_extract_file_name",
                               "url != NULL", "file_ext_parse.cc"));
}

}  // namespace
