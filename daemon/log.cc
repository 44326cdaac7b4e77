#include <stdarg.h>
#include <string.h>
#include <time.h>

#include "pyxo_paths.h"
#include "pyxod.h"

// The destinations, as the options chose them. Only this file opens,
// writes and closes them.
static int use_daemonized = 0;
static int use_syslog = 0;
static FILE *log_f = NULL;

void log_open(int destination) {
    switch (destination) {
        case LOG_TO_FILE:
            log_f = fopen(pyxo_log_file(), "a");
            if (log_f == NULL)
                g_log(NULL, G_LOG_LEVEL_WARNING, "Can't open log file\n");
            break;
        case LOG_TO_SYSLOG:
            use_syslog = 1;
            openlog(g_get_prgname(), LOG_PID | LOG_CONS | LOG_PERROR, LOG_DAEMON);
            break;
        case LOG_NO_CONSOLE:
            use_daemonized = 1;
            break;
    }
}

void log_close(void) {
    if (log_f != NULL) {
        fclose(log_f);
        log_f = NULL;
    }
    if (use_syslog)
        closelog();
}

static const char *prefix(int level) {
    switch (level) {
        case LOG_ERR:
            return "ERROR: ";
        case LOG_WARNING:
            return "WARNING: ";
        case LOG_INFO:
            return "";
        default:
            return "ALERT: ";
    }
}

char *log_file_line(int level, time_t when, const char *message) {
    char stamp[64];
    struct tm tm;
    // ctime()'s text without the weekday and without its line break; the
    // reentrant form keeps the shared static buffer out of it.
    if (localtime_r(&when, &tm) == NULL || asctime_r(&tm, stamp) == NULL)
        g_strlcpy(stamp, "??? ??? ?? ??:??:?? ????\n", sizeof stamp);
    size_t len = strlen(stamp);
    if (len > 0 && stamp[len - 1] == '\n')
        stamp[len - 1] = '\0';
    const char *date = strlen(stamp) > 4 ? stamp + 4 : stamp;
    return g_strconcat(date, ": ", prefix(level), message, NULL);
}

void logprintf(int level, const char *format, ...) {
    va_list args;
    if (log_f != NULL) {
        va_start(args, format);
        char *message = g_strdup_vprintf(format, args);
        va_end(args);
        char *line = log_file_line(level, time(NULL), message);
        fprintf(log_f, "%s\n", line);
        fflush(log_f);
        g_free(line);
        g_free(message);
    }
    if (use_syslog) {
        va_start(args, format);
        vsyslog(level, format, args);
        va_end(args);
    }
    if (!use_daemonized) {
        fputs(prefix(level), stdout);
        va_start(args, format);
        vprintf(format, args);
        va_end(args);
        putchar('\n');
        fflush(stdout);
    }
}
