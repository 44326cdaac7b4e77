#include <stdlib.h>
#include <time.h>

#include <gtest/gtest.h>

#include "pyxod.h"

TEST(LogFileLine, CtimeWithoutWeekdayThenPrefixAndMessage) {
    setenv("TZ", "UTC", 1);
    tzset();
    const time_t when = 1796586238;  // Sun Dec  6 19:43:58 2026 UTC
    struct {
        int level;
        const char *line;
    } cases[] = {
        {LOG_WARNING, "Dec  6 19:43:58 2026: WARNING: Bad lock file format, just remove"},
        {LOG_ERR, "Dec  6 19:43:58 2026: ERROR: Bad lock file format, just remove"},
        {LOG_INFO, "Dec  6 19:43:58 2026: Bad lock file format, just remove"},
        {LOG_CRIT, "Dec  6 19:43:58 2026: ALERT: Bad lock file format, just remove"},
    };
    for (const auto &c : cases) {
        char *line = log_file_line(c.level, when, "Bad lock file format, just remove");
        EXPECT_STREQ(line, c.line);
        g_free(line);
    }
}
