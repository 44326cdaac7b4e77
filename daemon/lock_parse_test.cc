#include <gtest/gtest.h>

#include "pyxod.h"

TEST(LockParsePid, ReadsTheLeadingNumberOnly) {
    struct {
        const char *text;
        int got;
        long pid;
    } cases[] = {
        {"1234", 1, 1234},
        {"  42\n", 1, 42},
        {"+7", 1, 7},
        {"-1", 1, -1},
        {"0", 1, 0},
        {"12abc", 1, 12},
        {"2147483647", 1, 2147483647L},
        {"2147483648", 1, -1},  // beyond any pid
        {"99999999999999999999999", 1, -1},
        {"-99999999999", 1, -1},
        {"", 0, 0},
        {"abc", 0, 0},
        {"-", 0, 0},
        {"- 5", 0, 0},
        {"\x01\xfe", 0, 0},
    };
    for (const auto &c : cases) {
        long pid = 0;
        EXPECT_EQ(lock_parse_pid(c.text, &pid), c.got) << c.text;
        EXPECT_EQ(pid, c.pid) << c.text;
    }
}
