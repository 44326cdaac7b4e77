// pyxo-eject [--unmount] DEVICE: flushes a USB storage medium and removes
// it from the system, so that it can be pulled out safely.
#include <getopt.h>
#include <libudev.h>
#include <stdio.h>

#include "eject.h"

static const char usage[] =
    "Usage: pyxo-eject [--unmount] DEVICE\n"
    "Flush a USB storage medium and remove it, so that it can be pulled out.\n"
    "DEVICE is a disk (/dev/sdb), one of its partitions, or a stick's name as\n"
    "pyxo-watch prints it.\n"
    "\n"
    "  -u, --unmount  unmount its mounted volumes first\n"
    "  -h, --help     show this help and exit\n";

int main(int argc, char **argv) {
    static const struct option options[] = {
        {"unmount", no_argument, 0, 'u'}, {"help", no_argument, 0, 'h'}, {0, 0, 0, 0}};
    bool unmount = false;
    for (int c; (c = getopt_long(argc, argv, "uh", options, NULL)) != -1;) {
        if (c == 'u') {
            unmount = true;
        } else if (c == 'h') {
            fputs(usage, stdout);
            return EJECT_DONE;
        } else {
            fputs(usage, stderr);
            return EJECT_USAGE;
        }
    }
    if (optind + 1 != argc || argv[optind][0] == '\0') {
        fputs(usage, stderr);
        return EJECT_USAGE;
    }
    struct udev *udev = udev_new();
    eject_medium medium;
    std::string why;
    std::vector<std::string> said;
    eject_status status = eject_find(udev, argv[optind], &medium, &why);
    if (status == EJECT_DONE)
        status = eject_remove(medium, unmount, &said);
    else
        said.push_back(why);
    if (udev != NULL)
        udev_unref(udev);
    for (const std::string &line : said)
        fprintf(status == EJECT_DONE ? stdout : stderr, "%s%s\n",
                status == EJECT_DONE ? "" : "pyxo-eject: ", line.c_str());
    if (fflush(stdout) != 0 && status == EJECT_DONE) {
        perror("pyxo-eject: standard output");
        return EJECT_FAILED;
    }
    return status;
}
