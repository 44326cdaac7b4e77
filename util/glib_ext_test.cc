#include "glib_ext.h"

#include <limits.h>

#include <gtest/gtest.h>

#include "checks.h"
#include "process.h"

#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/asan_interface.h>
#endif

namespace {

// A value the stack may or may not release. When the stack released it,
// AddressSanitizer has it poisoned; when the stack kept it, writing to it
// and freeing it here must be clean (a double free or use after free would
// be reported), and a value the stack should have released but did not is
// reported as a leak by LeakSanitizer or by the valgrind run of this test.
void expect_released(gpointer value, bool released, const char *what) {
    SCOPED_TRACE(what);
    if (released) {
#ifdef __SANITIZE_ADDRESS__
        EXPECT_TRUE(__asan_address_is_poisoned(value)) << "value was not released";
#endif
        return;
    }
#ifdef __SANITIZE_ADDRESS__
    EXPECT_FALSE(__asan_address_is_poisoned(value)) << "value was released";
#endif
    static_cast<char *>(value)[0] = 'x';
    g_free(value);
}

bool owned(gint type) {
    return type >= 7 && type <= 14;
}

const gint kTags[] = {G_MININT, -1, 0, 6, 7, 8, 10, 13, 14, 15, 100, G_MAXINT};

TEST(GExtStack, PushPeekPopInLastInFirstOutOrder) {
    CriticalLog log;
    GExtStack *stack = gext_stack_new();
    ASSERT_NE(stack, nullptr);
    EXPECT_EQ(stack->stack, nullptr);
    EXPECT_TRUE(gext_stack_is_empty(stack));

    gext_stack_push(stack, GINT_TO_POINTER('A'), 3);
    gext_stack_push(stack, GINT_TO_POINTER('B'), 9);
    EXPECT_FALSE(gext_stack_is_empty(stack));
    EXPECT_EQ(gext_stack_get_top(stack), GINT_TO_POINTER('B'));
    EXPECT_EQ(gext_stack_get_top_type(stack), 9);
    EXPECT_EQ(gext_stack_deep(stack), 2);
    // Peeking changes nothing.
    EXPECT_EQ(gext_stack_get_top(stack), GINT_TO_POINTER('B'));
    EXPECT_EQ(gext_stack_deep(stack), 2);

    // Integers tagged 9 must not be freed even when values are released.
    EXPECT_TRUE(gext_stack_pop(stack, FALSE));
    EXPECT_EQ(gext_stack_get_top(stack), GINT_TO_POINTER('A'));
    EXPECT_EQ(gext_stack_get_top_type(stack), 3);
    EXPECT_EQ(gext_stack_deep(stack), 1);
    EXPECT_TRUE(gext_stack_pop(stack, TRUE));
    EXPECT_TRUE(gext_stack_is_empty(stack));
    EXPECT_EQ(stack->stack, nullptr);
    gext_stack_free(stack, TRUE);
    EXPECT_TRUE(log.criticals.empty());
}

TEST(GExtStack, KeepsAnyTagAndNullValuesUnchanged) {
    GExtStack *stack = gext_stack_new();
    for (gint tag : kTags)
        gext_stack_push(stack, NULL, tag);
    EXPECT_EQ(gext_stack_deep(stack), (gint)G_N_ELEMENTS(kTags));
    for (size_t i = G_N_ELEMENTS(kTags); i-- > 0;) {
        EXPECT_EQ(gext_stack_get_top(stack), nullptr);
        EXPECT_EQ(gext_stack_get_top_type(stack), kTags[i]);
        // g_free(NULL) is harmless, so owned null values pop cleanly too.
        EXPECT_TRUE(gext_stack_pop(stack, TRUE));
    }
    gext_stack_free(stack, TRUE);
}

TEST(GExtStack, PopReleasesOnlyValuesTaggedSevenToFourteenWhenAsked) {
    for (gboolean free_values : {gboolean(TRUE), gboolean(FALSE)}) {
        for (gint tag : kTags) {
            GExtStack *stack = gext_stack_new();
            gpointer value = g_strdup("value");
            gext_stack_push(stack, value, tag);
            EXPECT_TRUE(gext_stack_pop(stack, free_values));
            std::string what =
                "tag " + std::to_string(tag) + " free_values " + std::to_string(free_values);
            expect_released(value, free_values && owned(tag), what.c_str());
            gext_stack_free(stack, FALSE);
        }
    }
}

TEST(GExtStack, EmptyPopXAndFreeReleaseOwnedValuesOnly) {
    enum Way { kEmpty, kPopX, kFree };
    for (Way way : {kEmpty, kPopX, kFree}) {
        for (gboolean free_values : {gboolean(TRUE), gboolean(FALSE)}) {
            GExtStack *stack = gext_stack_new();
            std::vector<std::pair<gpointer, gint>> values;
            for (gint tag : kTags) {
                values.emplace_back(g_strdup("value"), tag);
                gext_stack_push(stack, values.back().first, tag);
            }
            if (way == kEmpty) {
                gext_stack_empty_stack(stack, free_values);
                EXPECT_TRUE(gext_stack_is_empty(stack));
            } else if (way == kPopX) {
                EXPECT_TRUE(gext_stack_pop_x(stack, G_N_ELEMENTS(kTags), free_values));
                EXPECT_TRUE(gext_stack_is_empty(stack));
            }
            // Every link and element goes with the record: LeakSanitizer and
            // valgrind see any that stays behind.
            gext_stack_free(stack, free_values);
            for (auto &[value, tag] : values) {
                std::string what = "way " + std::to_string(way) + " tag " + std::to_string(tag) +
                                   " free_values " + std::to_string(free_values);
                expect_released(value, free_values && owned(tag), what.c_str());
            }
        }
    }
}

TEST(GExtStack, PopXRemovesExactlyNOrReportsTheEmptyStack) {
    struct Case {
        gint depth, n;
        gboolean result;
        gint left;
        int messages;
    } cases[] = {
        {3, 2, TRUE, 1, 0},  {3, 3, TRUE, 0, 0},   {3, 0, TRUE, 3, 0},
        {3, 5, FALSE, 0, 1}, {3, -1, FALSE, 3, 0}, {1, 1, TRUE, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("depth " + std::to_string(c.depth) + " n " + std::to_string(c.n));
        CriticalLog log;
        GExtStack *stack = gext_stack_new();
        for (gint i = 1; i <= c.depth; i++)
            gext_stack_push(stack, GINT_TO_POINTER(i), i);
        EXPECT_EQ(gext_stack_pop_x(stack, c.n, FALSE), c.result);
        EXPECT_EQ(g_list_length(stack->stack), (guint)c.left);
        if (c.left > 0) {
            EXPECT_EQ(gext_stack_get_top_type(stack), c.left);
        }
        ASSERT_EQ(log.criticals.size(), (size_t)c.messages);
        if (c.messages) {
            EXPECT_TRUE(IsCheckMessage(log.criticals[0], "glib_ext.cc", "gext_stack_pop",
                                       "stack->stack != NULL"));
        }
        gext_stack_free(stack, FALSE);
    }
}

TEST(GExtStack, EmptyStackAnswersNeutrallyWithMessages) {
    CriticalLog log;
    GExtStack *stack = gext_stack_new();
    EXPECT_TRUE(gext_stack_is_empty(stack));
    gext_stack_empty_stack(stack, TRUE);
    EXPECT_TRUE(log.criticals.empty()) << "is_empty and empty_stack must be quiet";

    EXPECT_EQ(gext_stack_deep(stack), 0);
    EXPECT_EQ(gext_stack_get_top(stack), nullptr);
    EXPECT_EQ(gext_stack_get_top_type(stack), 0);
    EXPECT_FALSE(gext_stack_pop(stack, TRUE));
    EXPECT_FALSE(gext_stack_pop_x(stack, 0, TRUE));
    const char *functions[] = {"gext_stack_deep", "gext_stack_get_top", "gext_stack_get_top_type",
                               "gext_stack_pop", "gext_stack_pop_x"};
    ASSERT_EQ(log.criticals.size(), G_N_ELEMENTS(functions));
    for (size_t i = 0; i < G_N_ELEMENTS(functions); i++)
        EXPECT_TRUE(
            IsCheckMessage(log.criticals[i], "glib_ext.cc", functions[i], "stack->stack != NULL"));
    EXPECT_TRUE(log.others.empty());
    gext_stack_free(stack, TRUE);
    EXPECT_EQ(log.criticals.size(), G_N_ELEMENTS(functions));
}

TEST(GExtStack, NullStackIsReportedByEveryOperation) {
    CriticalLog log;
    gext_stack_free(NULL, TRUE);
    gext_stack_empty_stack(NULL, TRUE);
    gext_stack_push(NULL, NULL, 7);
    EXPECT_FALSE(gext_stack_pop(NULL, TRUE));
    EXPECT_FALSE(gext_stack_pop_x(NULL, 1, TRUE));
    EXPECT_EQ(gext_stack_get_top(NULL), nullptr);
    EXPECT_EQ(gext_stack_get_top_type(NULL), 0);
    EXPECT_TRUE(gext_stack_is_empty(NULL));
    EXPECT_EQ(gext_stack_deep(NULL), 0);
    const char *functions[] = {
        "gext_stack_free",         "gext_stack_empty_stack", "gext_stack_push",
        "gext_stack_pop",          "gext_stack_pop_x",       "gext_stack_get_top",
        "gext_stack_get_top_type", "gext_stack_is_empty",    "gext_stack_deep"};
    ASSERT_EQ(log.criticals.size(), G_N_ELEMENTS(functions));
    for (size_t i = 0; i < G_N_ELEMENTS(functions); i++)
        EXPECT_TRUE(IsCheckMessage(log.criticals[i], "glib_ext.cc", functions[i], "stack != NULL"));
}

}  // namespace
