#include "watch_output.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

static std::mutex out_mutex;
static std::atomic<int> out_error{0};

bool watch_output_line(const std::string &line) {
    std::lock_guard<std::mutex> lock(out_mutex);
    if (out_error)
        return false;
    if (fputs(line.c_str(), stdout) == EOF || fputc('\n', stdout) == EOF || fflush(stdout) == EOF) {
        out_error = errno ? errno : EIO;
        return false;
    }
    return true;
}

void watch_output_closed() {
    int none = 0;
    out_error.compare_exchange_strong(none, EPIPE);
}

int watch_output_error() {
    return out_error;
}

bool watch_write_ior_file(const std::string &file, const char *ior) {
    std::string tmp = file + ".XXXXXX";
    int fd = mkstemp(tmp.data());
    if (fd < 0)
        return false;
    // mkstemp makes it private; the IOR is no secret (it is on the daemon's
    // command line), so give it the mode a plain new file would have.
    mode_t mask = umask(0);
    umask(mask);
    FILE *f = fdopen(fd, "w");
    bool ok = f && fchmod(fd, 0666 & ~mask) == 0 && fprintf(f, "%s\n", ior) > 0;
    ok = (f ? fclose(f) == 0 : close(fd) == 0) && ok;
    if (ok && rename(tmp.c_str(), file.c_str()) == 0)
        return true;
    int saved = errno;
    unlink(tmp.c_str());
    errno = saved;
    return false;
}
