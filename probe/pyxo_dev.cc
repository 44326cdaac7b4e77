// pyxo_dev <device>: prints the filesystem type found on a block device.
// pyxo_dev --export <device>: prints it with the volume's label, UUID,
// version and usage as shell assignments.

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include <glib.h>

#include "mount_guess_fstype.h"
#include "volume_info.h"

namespace {

// Single quotes keep every byte as it is for a POSIX shell; a quote itself
// ends them, is escaped, and opens them again.
void put_assignment(std::string *out, const char *key, const std::string &value) {
    *out += key;
    *out += "='";
    for (char c : value) {
        if (c == '\'')
            *out += "'\\''";
        else
            *out += c;
    }
    *out += "'\n";
}

// A result the caller never receives must not pass for one: a script would
// take the status alone as the answer.
int flushed() {
    if (fflush(stdout) != 0 || ferror(stdout)) {
        if (errno == 0)
            errno = EIO;
        perror("standard output");
        return 255;
    }
    return 0;
}

int export_volume(const char *device) {
    volume_info info;
    if (!volume_info_read(device, &info))
        return 255;
    std::string out;
    put_assignment(&out, "TYPE", info.type);
    put_assignment(&out, "USAGE", info.usage);
    if (!info.label.empty())
        put_assignment(&out, "LABEL", info.label);
    if (!info.uuid.empty())
        put_assignment(&out, "UUID", info.uuid);
    if (!info.version.empty())
        put_assignment(&out, "VERSION", info.version);
    errno = 0;
    fwrite(out.data(), 1, out.size(), stdout);
    return flushed();
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 3 && strcmp(argv[1], "--export") == 0)
        return export_volume(argv[2]);
    if (argc != 2) {
        fputs("Return type of file system...\n\npyxo_dev <device>\n", stdout);
        return 0;
    }
    const char *type = do_guess_fstype(argv[1]);
    if (type == nullptr)
        return 255;
    errno = 0;
    g_print("device type : %s\n", type);
    return flushed();
}
