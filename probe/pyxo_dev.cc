// pyxo_dev <device>: prints the filesystem type found on a block device.

#include <errno.h>
#include <stdio.h>

#include <glib.h>

#include "mount_guess_fstype.h"

int main(int argc, char **argv) {
    if (argc != 2) {
        fputs("Return type of file system...\n\npyxo_dev <device>\n", stdout);
        return 0;
    }
    const char *type = do_guess_fstype(argv[1]);
    if (type == nullptr)
        return 255;
    errno = 0;
    g_print("device type : %s\n", type);
    // A result the caller never receives must not pass for one: a script
    // would take the status alone as the answer.
    if (fflush(stdout) != 0 || ferror(stdout)) {
        if (errno == 0)
            errno = EIO;
        perror("standard output");
        return 255;
    }
    return 0;
}
