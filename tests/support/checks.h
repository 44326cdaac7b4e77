// Helpers shared by tests: capturing GLib's precondition messages (and,
// from process.h, running code as an unprivileged user).
#pragma once

#include <grp.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <glib.h>
#include <gtest/gtest.h>

#include "process.h"

// Collects what GLib logs while it lives. Precondition failures must come
// as critical messages without a log domain; anything else is kept apart.
class CriticalLog {
  public:
    CriticalLog() {
        g_log_set_default_handler(&CriticalLog::handler, this);
    }
    ~CriticalLog() {
        g_log_set_default_handler(g_log_default_handler, NULL);
    }
    CriticalLog(const CriticalLog &) = delete;
    CriticalLog &operator=(const CriticalLog &) = delete;

    std::vector<std::string> criticals;
    std::vector<std::string> others;

  private:
    static void handler(const gchar *domain, GLogLevelFlags level, const gchar *message,
                        gpointer data) {
        CriticalLog *self = static_cast<CriticalLog *>(data);
        if (domain == NULL && (level & G_LOG_LEVEL_MASK) == G_LOG_LEVEL_CRITICAL)
            self->criticals.push_back(message);
        else
            self->others.push_back(std::string(domain ? domain : "") + ": " + message);
    }
};

// Checks one precondition message: its exact wording, naming the unit
// `file`, and that the line it names in `source` (by default `file`; under
// PYXO_CHECK_SOURCE_DIR) is the check of `expr`.
inline ::testing::AssertionResult IsCheckMessage(const std::string &message, const char *file,
                                                 const char *func, const char *expr,
                                                 const char *source = nullptr) {
    char name[128], function[128], expression[256];
    int line = 0;
    int end = 0;
    if (sscanf(message.c_str(), "file %127[^:]: line %d (%127[^)]): assertion `%255[^']' failed%n",
               name, &line, function, expression, &end) != 4 ||
        end != (int)message.size())
        return ::testing::AssertionFailure() << "not a precondition message: " << message;
    std::string expected = std::string("file ") + file + ": line " + std::to_string(line) + " (" +
                           func + "): assertion `" + expr + "' failed";
    if (message != expected)
        return ::testing::AssertionFailure() << message << "\n  expected " << expected;
    if (source == nullptr)
        source = file;
    std::ifstream in(std::string(PYXO_CHECK_SOURCE_DIR) + "/" + source);
    std::string text;
    for (int i = 0; i < line && std::getline(in, text); i++) {
    }
    if (text.find(std::string("if_fail(") + expr) == std::string::npos)
        return ::testing::AssertionFailure()
               << source << ":" << line << " is not the check of " << expr << ": " << text;
    return ::testing::AssertionSuccess();
}
