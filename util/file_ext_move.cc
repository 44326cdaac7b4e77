// Placing a file under a new name in another directory.
#include "file_ext.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <glib.h>

#include "pyxo_check.h"

enum { copy_buffer_size = 10240 };

// The data of `in` onto `out`: 0, or 100 + errno of the failed read or write.
static int copy_data(int in, int out) {
    char *buffer = (char *)g_malloc(copy_buffer_size);
    int result = 0;
    for (;;) {
        ssize_t got = read(in, buffer, copy_buffer_size);
        if (got < 0) {
            result = 100 + errno;
            break;
        }
        if (got == 0)
            break;
        ssize_t put = write(out, buffer, got);
        if (put != got) {
            // A short write without an error means the file system is full.
            result = 100 + (put < 0 ? errno : ENOSPC);
            break;
        }
    }
    g_free(buffer);
    return result;
}

// Copies source into a target that must not exist yet. O_EXCL keeps a file
// that appeared since the caller looked, and refuses a planted symbolic link.
static int copy_file(const char *source, const char *target, mode_t mode) {
    int in = open(source, O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return 100 + errno;
    int out = open(target, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0) {
        int error = errno;
        close(in);
        return 100 + error;
    }
    // A target whose permissions or data may be wrong must not be taken for
    // the copy; one partly written by a failed read or write stays, as
    // callers have always found it.
    bool remove_target = false;
    int result;
    // The umask must not narrow the copy's permissions.
    if (fchmod(out, mode & 0777) != 0) {
        result = 100 + errno;
        remove_target = true;
    } else {
        result = copy_data(in, out);
    }
    close(in);
    // On NFS or under a quota the data may fail to reach the disk only here.
    if (close(out) != 0 && result == 0) {
        result = 100 + errno;
        remove_target = true;
    }
    if (remove_target)
        unlink(target);
    return result;
}

static int place(const char *source, const char *target, const char *target_dir) {
    struct stat from;
    if (stat(source, &from) != 0 || !S_ISREG(from.st_mode) || access(source, R_OK) != 0)
        return 4;
    struct stat to;
    if (stat(target, &to) == 0)
        return to.st_dev == from.st_dev && to.st_ino == from.st_ino ? 3 : 5;
    struct stat dir;
    if (stat(target_dir, &dir) != 0)
        return 4;
    if (dir.st_dev == from.st_dev)
        return link(source, target) == 0 ? 0 : 100 + errno;
    return copy_file(source, target, from.st_mode);
}

int file_ext_move(const char *source_path, const char *source_name, const char *target_path,
                  const char *target_name) {
    pyxo_return_val_if_fail(source_path != NULL, 1);
    pyxo_return_val_if_fail(source_name != NULL, 1);
    pyxo_return_val_if_fail(target_path != NULL, 2);
    pyxo_return_val_if_fail(target_name != NULL, 2);
    char *source = g_strconcat(source_path, "/", source_name, NULL);
    char *target = g_strconcat(target_path, "/", target_name, NULL);
    int result = place(source, target, target_path);
    g_free(source);
    g_free(target);
    return result;
}
