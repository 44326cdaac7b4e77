// Precondition checks for the public functions of the utility library and
// the media record helpers.
//
// A failed check logs, at critical level and without a log domain,
//   file <unit>: line <n> (<function>): assertion `<expression>' failed
// and returns at once from the calling function. GLib's own
// g_return_val_if_fail words its message differently and names the whole
// C++ signature, so callers rely on this text instead.
#pragma once

#include <glib.h>

// The file name without its directories, as the unit is known to users.
constexpr const char *pyxo_check_base_name(const char *path) {
    const char *base = path;
    for (const char *p = path; *p; p++)
        if (*p == '/')
            base = p + 1;
    return base;
}

// A unit split over several files names itself (its build rules define
// PYXO_CHECK_UNIT for each of them); any other file is its own unit.
#ifndef PYXO_CHECK_UNIT
#define PYXO_CHECK_UNIT pyxo_check_base_name(__FILE__)
#endif

// The expression's text is taken by the outer macros, before NULL or any
// other macro in it is expanded.
#define PYXO_CHECK_FAILED_(text)                                                      \
    g_log(NULL, G_LOG_LEVEL_CRITICAL, "file %s: line %d (%s): assertion `%s' failed", \
          PYXO_CHECK_UNIT, __LINE__, __func__, text)

#define pyxo_return_val_if_fail(expr, val) \
    do {                                   \
        if (G_UNLIKELY(!(expr))) {         \
            PYXO_CHECK_FAILED_(#expr);     \
            return (val);                  \
        }                                  \
    } while (0)

#define pyxo_return_if_fail(expr)      \
    do {                               \
        if (G_UNLIKELY(!(expr))) {     \
            PYXO_CHECK_FAILED_(#expr); \
            return;                    \
        }                              \
    } while (0)
