// What pyxo-watch writes: the IOR file.
#pragma once

#include <string>

// Writes `ior` and a line break to `file` through a new temporary file in the
// same directory, renamed over it: a reader sees all of it or nothing, and no
// link planted at either name is written through. false with errno set when
// it fails.
bool watch_write_ior_file(const std::string &file, const char *ior);
