// The one reader of a process's status file, /proc/PID/status, for those
// that judge a process by it: the daemon's lock (is the process it names a
// pyxod?), the application locks (is the holder a program of ours?) and
// pyxo-watch (is this the daemon it started?). Each keeps its own rule; this
// only reads. Inline, so that it stays out of the installed library's
// exported names and every program that needs it has it.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#include <functional>

// Calls `line` with each line of /proc/`pid`/status as getline reads it
// (with its line break, where it has one) and whether the file ended with
// that read, until `line` returns true. -1 when the file cannot be opened
// (there is no such process), 1 when `line` stopped the reading, else 0.
inline int pyxo_proc_status(long pid,
                            const std::function<bool(const char *line, bool at_end)> &line) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%ld/status", pid);
    FILE *f = fopen(path, "re");
    if (f == NULL)
        return -1;
    size_t size = 256;
    char *text = (char *)calloc(1, size);
    int stopped = 0;
    while (!stopped && text != NULL && getline(&text, &size, f) != -1)
        stopped = line(text, feof(f) != 0);
    free(text);
    fclose(f);
    return stopped;
}
