// The single-instance lock: a file holding the running daemon's pid. A new
// daemon replaces a running one; a lock of a process that is gone, or that
// belongs to another program now, is simply replaced.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
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
    // Never blocks: a FIFO planted at the path would hang a plain open.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0)
        st.st_mode = 0;
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return -2;
    }
    // A pid is a few digits; what comes after it is ignored anyway, so a
    // huge or binary file costs no more than its first line's worth.
    char text[64];
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    text[n > 0 ? n : 0] = '\0';
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
// gone; one that outlives that gets SIGQUIT. A SIGTERM of our own meanwhile
// stops this start-up at once.
static void terminate_old_daemon(pid_t pid) {
    for (int attempt = 1;; attempt++) {
        if (kill(pid, SIGTERM) == -1)
            return;
        signals_sleep(1);
        if (attempt == 3) {
            kill(pid, SIGQUIT);
            logprintf(LOG_WARNING, "Previous daemon fail to exit safely\n");
            return;
        }
    }
}

// A lock file that stays would be examined again and again: the start stops.
static void stop_cannot_remove(int error) {
    logprintf(LOG_ERR, "Can't remove the lock file ( %d ), abort", error);
    go_signal(SIGTERM);
}

// Removes the lock file. Gone already (its daemon removed it) is as good as
// removed.
static void remove_lock(const char *path) {
    if (unlink(path) != 0 && errno != ENOENT)
        stop_cannot_remove(errno);
}

// Writes our pid into a new lock file: 0, or the errno of the failure. A
// lock that could not be written whole is removed: without a pid in it the
// shutdown would leave it behind for the next start to warn about.
static int write_lock(const char *path) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0)
        return errno;
    FILE *f = fdopen(fd, "w");
    int error = 0;
    if (f == NULL) {
        error = errno;
        close(fd);
    } else {
        if (fprintf(f, "%d", (int)getpid()) < 0)
            error = errno;
        if (fclose(f) != 0 && error == 0)
            error = errno;
    }
    if (error != 0)
        unlink(path);
    return error;
}

int register_process(void) {
    const char *path = pyxo_lock_file();
    while (access(path, F_OK) == 0) {
        long pid = 0;
        int got = lock_read_pid(path, &pid);
        if (got == -1) {
            logprintf(LOG_ERR, "Can't access the lock file, permission denied, abort");
            go_signal(SIGTERM);
            return 0;
        }
        if (got == -2) {
            // A directory, FIFO or device is no lock of ours: neither read
            // nor removed.
            stop_cannot_remove(errno);
            return 0;
        }
        if (got == 0) {
            logprintf(LOG_WARNING, "Bad lock file format, just remove");
            remove_lock(path);
            continue;
        }
        // Our own pid in the lock is a stale lock whose number came round to
        // us: signalling it would stop this very daemon. Ids of no process
        // (0, negative, too large) are stale too; kill() would take them as
        // process groups.
        int named = pid > 0 && pid != (long)getpid() ? is_pyxod(pid) : -1;
        if (named < 0) {
            remove_lock(path);
            continue;
        }
        if (named)
            terminate_old_daemon((pid_t)pid);
        remove_lock(path);
        break;
    }

    int error = write_lock(path);
    if (error != 0) {
        logprintf(LOG_WARNING, "Can't create the lock file ( %d ), abort", error);
        return 0;
    }
    return 1;
}
