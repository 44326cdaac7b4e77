// What pyxo-watch writes: its lines on standard output, and the IOR file.
#pragma once

#include <string>

// Prints one line on standard output and flushes it; safe from any thread.
// Once a write has failed nothing more is printed and false is returned.
bool watch_output_line(const std::string &line);
// Standard output was found closed (its reader is gone) without a write.
void watch_output_closed();
// The errno of the first failed write (EPIPE for a closed reader), 0 while
// standard output works.
int watch_output_error();

// Writes `ior` and a line break to `file` through a new temporary file in the
// same directory, renamed over it: a reader sees all of it or nothing, and no
// link planted at either name is written through. false with errno set when
// it fails.
bool watch_write_ior_file(const std::string &file, const char *ior);
