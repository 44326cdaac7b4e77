// The lines pyxo-watch prints for each call it receives.
#pragma once

#include <time.h>

#include <string>

#include "PYXO.hh"

enum watch_format { WATCH_TEXT, WATCH_JSON };

// Each returns one line, without its line break.
std::string watch_daemon_attached_line(watch_format format, time_t when, long pid);
std::string watch_media_changed_line(watch_format format, time_t when, const PYXO::media_ST &media);
std::string watch_command_line(watch_format format, time_t when, unsigned long cmd);

// The enumerator's name ("ICONIFY", ...), or "unknown" for a value past EXIT.
const char *watch_command_name(unsigned long cmd);

// `text` as a JSON string literal, quotes included.
std::string watch_json_string(const char *text);
