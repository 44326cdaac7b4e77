// The lines pyxo-watch prints for each call it receives, and for the medium
// that follows an Attached report. JSON lines are written by json-glib.
#pragma once

#include <time.h>

#include <string>

#include "PYXO.hh"
#include "watch_medium.h"

enum watch_format { WATCH_TEXT, WATCH_JSON };

// Each returns one line, without its line break.
std::string watch_daemon_attached_line(watch_format format, time_t when, long pid);
std::string watch_media_changed_line(watch_format format, time_t when, const PYXO::media_ST &media);
std::string watch_command_line(watch_format format, time_t when, unsigned long cmd);
// What happened to a disk that a medium line tells of after the lines that
// follow its report: nothing (those lines themselves), a disk that appeared
// only later, a card put into its slot or taken out of it.
enum watch_medium_event {
    WATCH_MEDIUM_FIRST,
    WATCH_MEDIUM_LATE,
    WATCH_MEDIUM_INSERTED,
    WATCH_MEDIUM_EJECTED
};
// One disk of the medium `serial`; `note` (or null) tells why it has no
// block device, or why the types of its partitions are unknown. A size
// below 0 is unknown: null in JSON, "size unknown" in text.
std::string watch_medium_line(watch_format format, time_t when, const char *serial,
                              const watch_disk &disk, const char *note,
                              watch_medium_event event = WATCH_MEDIUM_FIRST);

// The enumerator's name ("ICONIFY", ...), or "unknown" for a value past EXIT.
const char *watch_command_name(unsigned long cmd);

// What a person reads about a disk: "SanDisk Cruzer Blade, 15.7 GB — sdb1
// vfat", after the labels of its volumes where they have any ("MY STICK —
// SanDisk ..."), with `note` after it in parentheses, or in place of size
// and partitions when the disk has no block device. Bytes as they came from
// the device.
std::string watch_medium_description(const watch_disk &disk, const char *note);
