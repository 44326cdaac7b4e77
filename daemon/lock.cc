// The single-instance lock: a file holding the running daemon's pid. A new
// daemon replaces a running one; a lock of a process that is gone, or that
// belongs to another program now, is simply replaced.
#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "pyxo_paths.h"
#include "pyxod.h"

int lock_parse_pid(const char *text, long *pid) {
    const char *p = text;
    while (g_ascii_isspace(*p))
        p++;
    const char *digits = p;
    if (*digits == '+' || *digits == '-')
        digits++;
    if (!g_ascii_isdigit(*digits))
        return 0;
    errno = 0;
    long value = strtol(p, NULL, 10);
    // No process has a number this large; the kernel would never read it
    // back the way it was written either.
    if (errno == ERANGE || value > INT_MAX || value < INT_MIN)
        value = -1;
    *pid = value;
    return 1;
}

int lock_read_pid(const char *path, long *pid) {
    FILE *f = fopen(path, "r");
    if (f == NULL)
        return -1;
    // A pid is a few digits; what comes after it is ignored anyway, so a
    // huge or binary file costs no more than its first line's worth.
    char text[64];
    size_t n = fread(text, 1, sizeof text - 1, f);
    text[n] = '\0';
    fclose(f);
    return lock_parse_pid(text, pid);
}

// 1 when the status file of `pid` has a line that names pyxod, in any letter
// case. -1 when there is no such process.
static int is_pyxod(long pid) {
    char path[64];
    g_snprintf(path, sizeof path, "/proc/%ld/status", pid);
    FILE *f = fopen(path, "r");
    if (f == NULL)
        return -1;
    size_t size = 256;
    char *line = (char *)g_malloc0(size);
    int found = 0;
    while (!found && getline(&line, &size, f) != -1 && !feof(f)) {
        char *lower = g_ascii_strdown(line, -1);
        found = g_strrstr(lower, "pyxod") != NULL;
        g_free(lower);
    }
    g_free(line);
    fclose(f);
    return found;
}

// Sends SIGTERM up to three times, a second apart, until the old daemon is
// gone; one that outlives that gets SIGQUIT.
static void terminate_old_daemon(pid_t pid) {
    for (int attempt = 1;; attempt++) {
        if (kill(pid, SIGTERM) == -1)
            return;
        sleep(1);
        if (attempt == 3) {
            kill(pid, SIGQUIT);
            logprintf(LOG_WARNING, "Previous daemon fail to exit safely\n");
            return;
        }
    }
}

int register_process(void) {
    const char *path = pyxo_lock_file();
    while (access(path, F_OK) == 0) {
        long pid = 0;
        int got = lock_read_pid(path, &pid);
        if (got < 0) {
            logprintf(LOG_ERR, "Can't access the lock file, permission denied, abort");
            go_signal(SIGTERM);
            return 0;
        }
        if (got == 0) {
            logprintf(LOG_WARNING, "Bad lock file format, just remove");
            unlink(path);
            continue;
        }
        // Our own pid in the lock is a stale lock whose number came round to
        // us: signalling it would stop this very daemon. Ids of no process
        // (0, negative, too large) are stale too; kill() would take them as
        // process groups.
        int named = pid > 0 && pid != (long)getpid() ? is_pyxod(pid) : -1;
        if (named < 0) {
            unlink(path);
            continue;
        }
        if (named)
            terminate_old_daemon((pid_t)pid);
        unlink(path);
        break;
    }

    FILE *f = fopen(path, "w");
    if (f == NULL) {
        logprintf(LOG_WARNING, "Can't create the lock file ( %d ), abort", errno);
        return 0;
    }
    fprintf(f, "%d", (int)getpid());
    fclose(f);
    return 1;
}
