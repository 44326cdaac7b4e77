#include "file_ext.h"

#include <errno.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <glib.h>

int file_ext_file_get_file_type(const char *path) {
    struct stat st;
    if (path == NULL || stat(path, &st) != 0)
        return -1;
    return (int)(st.st_mode & S_IFMT);
}

int file_ext_file_protocol_is_local(const char *protocol) {
    if (protocol == NULL)
        return 1;
    if (g_ascii_strcasecmp(protocol, "file:") == 0)
        return 1;
    if (g_ascii_strcasecmp(protocol, "files:") == 0)
        return 1;
    return protocol[0] == '/';
}

int file_ext_check_for_process(int pid) {
    // kill() with a negative id would address a whole process group.
    if (pid <= 0)
        return 0;
    char path[50];
    g_snprintf(path, sizeof path, "/proc/%d", pid);
    if (access(path, F_OK) == 0)
        return 1;
    // Without /proc, ask the kernel. SIGCONT is harmless to a running process.
    if (kill(pid, SIGCONT) != -1)
        return 1;
    return errno != ESRCH;
}
