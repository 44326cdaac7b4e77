// What pyxo-watch writes: its lines on standard output and standard error,
// the daemon's console lines passed on, and the IOR file.
//
// Lines wait in a bounded queue per stream and a thread of its own writes
// each stream, so that no caller ever waits for a reader (a terminal that
// stops reading must not hold up the ORB's threads, the main loop or the
// daemon). While a stream is blocked and its queue full, further lines are
// dropped and counted; the count is said on standard error once the stream
// moves again, or at the end.
#pragma once

#include <chrono>
#include <string>

// Starts the writers. `failed` is called (from a writer) once, when a
// write to standard output fails.
void watch_output_start(void (*failed)());

// Queues one line (without its line break) for standard output; safe from
// any thread, never blocks. Once standard output has failed nothing more is
// queued and false is returned.
bool watch_output_line(const std::string &line);
// The same for standard error.
void watch_output_note(const std::string &line);

// Reads what the daemon's console pipe `fd` holds and queues its complete
// lines for standard output (`to_stdout`) or standard error; `pending`
// keeps a partial line between calls. Returns false at the end of the pipe
// (its last partial line queued).
bool watch_output_relay(int fd, std::string &pending, bool to_stdout);

// Standard output was found closed (its reader is gone) without a write.
void watch_output_closed();
// The errno of the first failed write to standard output (EPIPE for a
// closed reader), 0 while it works.
int watch_output_error();

// Waits until every queued line is written, at most until `deadline`, and
// then says the count of lines dropped and not yet told, where standard
// error takes it without waiting. true when all was written and the writers
// have ended; false when a stream is stuck (its writer may be blocked for
// ever: end the process with _exit then).
bool watch_output_finish(std::chrono::steady_clock::time_point deadline);

// Writes `ior` and a line break to `file` through a new temporary file in the
// same directory, renamed over it: a reader sees all of it or nothing, and no
// link planted at either name is written through. false with errno set when
// it fails.
bool watch_write_ior_file(const std::string &file, const char *ior);
