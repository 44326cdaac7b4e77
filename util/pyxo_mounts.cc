#include "pyxo_mounts.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <fstream>
#include <sstream>

// The kernel writes a space, tab, line break and backslash in a path as an
// octal escape (\040, \011, \012, \134).
static std::string unescaped(const std::string &field) {
    std::string out;
    for (size_t i = 0; i < field.size(); i++) {
        if (field[i] == '\\' && i + 4 <= field.size() &&
            field.find_first_not_of("01234567", i + 1) >= i + 4) {
            out += (char)strtol(field.substr(i + 1, 3).c_str(), NULL, 8);
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

std::vector<pyxo_mount> pyxo_mounts_read(const char *path) {
    std::vector<pyxo_mount> table;
    std::ifstream in(path);
    // ID PARENT MAJOR:MINOR ROOT MOUNT-POINT OPTIONS [OPTIONAL...] - FSTYPE SOURCE SUPER-OPTIONS
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string id, parent, numbers, root, point, word, fstype, source;
        unsigned major, minor;
        if (!(fields >> id >> parent >> numbers >> root >> point) ||
            sscanf(numbers.c_str(), "%u:%u", &major, &minor) != 2)
            continue;
        while (fields >> word && word != "-") {
        }
        if (word != "-" || !(fields >> fstype >> source))
            continue;
        table.push_back({makedev(major, minor), unescaped(point)});
    }
    return table;
}

std::vector<std::string> pyxo_mounts_of(const std::vector<pyxo_mount> &table, dev_t device) {
    std::vector<std::string> points;
    for (const pyxo_mount &m : table)
        if (m.device == device)
            points.push_back(m.mount_point);
    return points;
}

dev_t pyxo_dev_number(const char *text) {
    unsigned major_number, minor_number;
    int end = 0;
    if (text == NULL || sscanf(text, "%u:%u%n", &major_number, &minor_number, &end) != 2 ||
        text[end] != '\0')
        return 0;
    return makedev(major_number, minor_number);
}

std::vector<dev_t> pyxo_swap_devices(const char *path) {
    std::vector<dev_t> devices;
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);  // the heading
    while (std::getline(in, line)) {
        std::string name = unescaped(line.substr(0, line.find_first_of(" \t")));
        struct stat st;
        if (stat(name.c_str(), &st) == 0 && S_ISBLK(st.st_mode))
            devices.push_back(st.st_rdev);
    }
    return devices;
}
