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
#include "pyxo_proc_status.h"
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

int lock_read_pid(const char *path, long *pid, int *held) {
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
    text[n > 0 ? n : 0] = '\0';
    *held = fd;
    return lock_parse_pid(text, pid);
}

int lock_remove(const char *path, int held) {
    // Another start that judged the same file may have removed it and put
    // its own lock there meanwhile: that one is not ours to remove. The
    // file judged is still open, so no new file can have its inode number.
    // The path is followed as the reading followed it. Between this check
    // and the unlink a start of the same round could still slip its lock in
    // and lose it; that needs this process to be held up right here while
    // the other removes the file, writes a new one and links it.
    struct stat judged, now;
    if (fstat(held, &judged) != 0)
        return -1;
    if (stat(path, &now) != 0)
        return errno == ENOENT ? 1 : -1;  // gone already: as good as removed
    if (now.st_dev != judged.st_dev || now.st_ino != judged.st_ino)
        return 0;
    if (unlink(path) != 0)
        return errno == ENOENT ? 1 : -1;
    return 1;
}

// 1 when the status file of `pid` has a line that names pyxod, in any letter
// case. -1 when there is no such process.
static int is_pyxod(long pid) {
    bool found = false;
    // A line that ends the file is not examined.
    int read = pyxo_proc_status(pid, [&](const char *line, bool at_end) {
        if (at_end)
            return true;
        char *lower = g_ascii_strdown(line, -1);
        found = g_strrstr(lower, "pyxod") != NULL;
        g_free(lower);
        return found;
    });
    return read < 0 ? -1 : found;
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

// Puts a lock file holding our pid at `path` in one step: the pid is
// written whole into a file of its own beside it, which is then linked to
// the path. No start ever sees a lock without its pid, and a link never
// replaces a lock that another start put there first. 0, EEXIST when a file
// is at the path, or the errno of the failure.
static int publish_lock(const char *path) {
    // The mode a plain create gives, as the file had before it was written
    // aside. Nothing but this thread runs yet to see the umask changed.
    mode_t mask = umask(0);
    umask(mask);
    char *temp = g_strconcat(path, ".XXXXXX", NULL);
    int fd = mkostemp(temp, O_CLOEXEC);
    int error = fd < 0 ? errno : 0;
    FILE *f = fd < 0 ? NULL : fdopen(fd, "w");
    if (fd >= 0 && f == NULL) {
        error = errno;
        close(fd);
    }
    if (f != NULL) {
        if (fprintf(f, "%d", (int)getpid()) < 0 || fchmod(fd, 0666 & ~mask) != 0)
            error = errno;
        if (fclose(f) != 0 && error == 0)
            error = errno;
    }
    if (error == 0 && link(temp, path) != 0)
        error = errno;
    if (fd >= 0)
        unlink(temp);
    g_free(temp);
    return error;
}

// Each round removes a lock, or finds that another start put its own in
// place meanwhile (then terminated in the next round, as any running
// daemon is). Starts racing one another use a round each time one of them
// wins; the bound only keeps a path that never takes a lock (a dangling
// symbolic link: absent to access(), present to link()) from spinning.
static const int takeover_rounds = 16;

int register_process(void) {
    const char *path = pyxo_lock_file();
    int error = EEXIST;
    for (int round = 0; round < takeover_rounds && error == EEXIST; round++) {
        if (access(path, F_OK) != 0) {
            error = publish_lock(path);
            continue;
        }
        long pid = 0;
        int held = -1;
        int got = lock_read_pid(path, &pid, &held);
        if (got == -1 && errno == ENOENT)
            continue;  // its daemon removed it since access() saw it
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
        if (got == 0)
            logprintf(LOG_WARNING, "Bad lock file format, just remove");
        // Our own pid in the lock is a stale lock whose number came round to
        // us: signalling it would stop this very daemon. Ids of no process
        // (0, negative, too large) are stale too; kill() would take them as
        // process groups.
        int named = got == 1 && pid > 0 && pid != (long)getpid() ? is_pyxod(pid) : -1;
        if (named > 0)
            terminate_old_daemon((pid_t)pid);
        int removed = lock_remove(path, held);
        int error_removing = errno;
        close(held);
        if (removed < 0) {
            stop_cannot_remove(error_removing);
            return 0;
        }
        // Malformed or stale: examined again. Replaced: written at once.
        if (removed > 0 && named >= 0)
            error = publish_lock(path);
    }
    if (error != 0) {
        logprintf(LOG_WARNING, "Can't create the lock file ( %d ), abort", error);
        return 0;
    }
    return 1;
}
