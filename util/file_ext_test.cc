#include "file_ext.h"

#include <gtest/gtest.h>

TEST(FileQueries, Placeholder) {
    EXPECT_EQ(file_ext_file_get_file_type("/"), 0x4000);
}
