// Per-application lock files and starting a web browser.
#include "file_ext.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <glib.h>

#include "pyxo_check.h"
#include "pyxo_paths.h"
#include "pyxo_proc_status.h"

// Programs of this system carry this word in their name.
static const char holder_word[] = "pyxo";

static const char *const browser_list[] = {"mozilla", "galeon", "netscape", "konqueror", NULL};

// The lock directory is writable by every user: a name must stay a single
// entry in it, so that no caller can be led to truncate another file.
static char *lock_path(const char *app_name) {
    if (app_name[0] == '\0' || strcmp(app_name, ".") == 0 || strcmp(app_name, "..") == 0 ||
        strchr(app_name, '/') != NULL)
        return NULL;
    return g_strconcat(pyxo_lock_dir(), app_name, NULL);
}

// Opens only a regular file, without following a symbolic link planted in
// the lock directory and without blocking on a planted FIFO.
static FILE *open_lock(const char *path, int flags, const char *mode) {
    int fd = open(path, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0)
        return NULL;
    struct stat st;
    FILE *f = NULL;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        f = fdopen(fd, mode);
    if (f == NULL)
        close(fd);
    return f;
}

// The leading decimal number of the lock file's first line; 0 when there is
// none or it does not fit an int.
static int read_holder(FILE *f) {
    size_t size = 256;
    char *line = (char *)malloc(size);
    int pid = 0;
    if (getline(&line, &size, f) > 0) {
        char *end;
        errno = 0;
        long value = strtol(line, &end, 10);
        if (end != line && errno == 0 && value >= INT_MIN && value <= INT_MAX)
            pid = (int)value;
    }
    free(line);
    return pid;
}

static int holder_of(const char *path) {
    FILE *f = open_lock(path, O_RDONLY, "r");
    if (f == NULL)
        return 0;
    int pid = read_holder(f);
    fclose(f);
    // Whether some complete line of the process's status holds the word.
    int live = pyxo_proc_status(pid, [](const char *line, bool at_end) {
        return !at_end && strstr(line, holder_word) != NULL;
    });
    if (live < 0) {
        // The holder is gone: the lock is stale.
        if (access(path, R_OK | W_OK) == 0)
            unlink(path);
        return 0;
    }
    return live ? pid : 0;
}

int file_ext_lock_app_status(const char *app_name) {
    pyxo_return_val_if_fail(app_name != NULL, 0);
    char *path = lock_path(app_name);
    if (path == NULL)
        return 0;
    int pid = holder_of(path);
    g_free(path);
    return pid;
}

int file_ext_lock_app(const char *app_name) {
    pyxo_return_val_if_fail(app_name != NULL, 0);
    char *path = lock_path(app_name);
    if (path == NULL)
        return 0;
    int locked = 0;
    if (holder_of(path) == 0) {
        FILE *f = open_lock(path, O_WRONLY | O_CREAT | O_TRUNC, "w");
        if (f != NULL) {
            fprintf(f, "%d\n", (int)getpid());
            locked = fclose(f) == 0;
        }
    }
    g_free(path);
    return locked;
}

int file_ext_Unlock_app(const char *app_name) {
    pyxo_return_val_if_fail(app_name != NULL, 0);
    char *path = lock_path(app_name);
    if (path == NULL)
        return 0;
    int removed = access(path, R_OK | W_OK) == 0 && unlink(path) == 0;
    g_free(path);
    return removed;
}

int file_ext_launch_browser(const char *url) {
    pyxo_return_val_if_fail(url != NULL, 0);
    for (const char *const *name = browser_list; *name != NULL; name++) {
        char *found = g_find_program_in_path(*name);
        if (found == NULL)
            continue;
        g_free(found);
        char *argv[] = {(char *)*name, (char *)url, NULL};
        return g_spawn_async(NULL, argv, NULL, G_SPAWN_SEARCH_PATH, NULL, NULL, NULL, NULL) ? 1 : 0;
    }
    return 0;
}
