// What the units of the media-watch daemon share: its process-wide handles,
// logging, the stop routine, the lock, the table of known media and the two
// sources that feed it (the /proc/scsi scan and sysfs).
//
// Everything here runs on the daemon's main thread only. Signals never run
// code asynchronously: they are blocked and collected by the start-up's waits
// and the poll loop's pause (see signals.cc).
#pragma once

#include <regex.h>
#include <stdio.h>
#include <syslog.h>

#include <glib.h>

#include "pyxo_corba.h"

// Set up by the start-up, released once by exit_daemon (signals.cc).
extern CORBA::ORB_ptr orb;
extern PYXO::servant_ptr servant;
extern PYXO_Environment ev;
extern char *ior;  // the servant's IOR as given, kept for the life of the process
extern regex_t *r_host;
extern regex_t *r_id;
extern regex_t *r_status;

// log.cc owns the log's destinations: the log file, syslog and the console
// copy on standard output, which is on until LOG_NO_CONSOLE.
enum { LOG_TO_FILE, LOG_TO_SYSLOG, LOG_NO_CONSOLE };
// Adds one destination at once, as its option asks: opens the log file for
// appending (a GLib warning "Can't open log file\n" and no log file when it
// cannot be opened), opens the syslog connection, or stops the console copy.
void log_open(int destination);
// Closes the log file and syslog; logprintf writes no more to them.
void log_close(void);
// printf-style message at a syslog priority to the log file, syslog and
// standard output, as the options chose.
void logprintf(int level, const char *format, ...) G_GNUC_PRINTF(2, 3);
// The log file line for `message` at `level` logged at `when`, without the
// line break. Newly allocated; free with g_free.
char *log_file_line(int level, time_t when, const char *message);

// signals.cc
// Blocks SIGCHLD, SIGINT, SIGTERM and SIGQUIT in the calling thread, so every
// thread started later (the ORB's) inherits the mask. 1 on success.
int signals_block(void);
// Waits up to `seconds` for one of the four signals. Returns the signal
// taken, or 0 when the time ran out.
int signals_pause(int seconds);
// The same, and also wakes when `fd` (if not -1) has something to read:
// then it returns SIGNALS_FD_READY.
enum { SIGNALS_FD_READY = -1 };
int signals_wait(int seconds, int fd);
// Acts on a signal taken from the blocked set: SIGCHLD reaps one child and
// returns, a terminating signal stops the daemon with status 7, 0 does
// nothing.
void signals_take(int sig);
// Waits `seconds` in full, reaping children meanwhile; a terminating signal
// stops the daemon at once. For the start-up's waits, which must not leave
// the daemon deaf to SIGTERM.
void signals_sleep(int seconds);
// Takes every signal already pending, without waiting, as signals_take does.
void signals_take_pending(void);
// Releases everything the daemon holds, once, however often it is called.
void exit_daemon(void);
// Removes the lock file while it still names this process.
void free_process(void);
// The stop routine for a direct call: SIGCHLD reaps one child and returns;
// any other signal runs the shutdown and then ends the process by that
// signal's default action. The daemon's own failures call go_signal(SIGTERM).
void go_signal(int sig);
// A terminating signal taken by the pause: the shutdown, then exit status 7.
[[noreturn]] void stop_on_signal(int sig);

// lock.cc: takes over the lock file. 1 when it now holds our pid, 0 when it
// could not be written (the caller stops). Stops the daemon itself when an
// existing lock file cannot be read.
int register_process(void);
// The process id a lock file's text names: leading blanks and a sign, then
// decimal digits; whatever follows is ignored. 1 and *pid set when the text
// begins with a number; a number beyond the range of int gives *pid = -1
// (no process has it). 0 when it holds no number.
int lock_parse_pid(const char *text, long *pid);
// Reads the lock file at `path`, never blocking: 1 with *pid set, 0 when it
// holds no number, -1 when it cannot be opened, -2 when it is not a regular
// file (errno EISDIR for a directory, EINVAL for anything else). With 1 or
// 0 the file stays open as *held, for lock_remove; the caller closes it.
int lock_read_pid(const char *path, long *pid, int *held);
// Removes the lock file at `path` while it is still the file open as `held`
// (the one lock_read_pid read): 1 when removed or already gone, 0 when
// another file has taken its place (left alone), -1 with errno when it
// cannot be removed.
int lock_remove(const char *path, int held);

// scan.cc
enum scan_line_kind { SCAN_LINE_NONE, SCAN_LINE_HOST, SCAN_LINE_GUID, SCAN_LINE_STATUS };
// Compiles the three line patterns into r_host, r_id, r_status.
void scan_compile_patterns(void);
// Classifies one line (with its line break, if any; the line ends at its
// first NUL byte) and, for a match, sets *value to the offsets of the
// sub-expression's text in `line`. The patterns must be compiled.
scan_line_kind scan_classify_line(const char *line, regmatch_t *value);
// Examines one host file: 1 when a report went to the servant, else 0. A
// failed report stops the daemon.
int check_disk_state(const char *path);
// One pass over the scsi tree `root`: every regular file of every directory
// directly under it goes to check_disk_state. 0 when `root` cannot be
// opened, else 1. Returns the number of reports sent in *reports if set.
int scan_tree(const char *root, int *reports);

// media.cc: the table of known media and the one report routine.
// Creates the empty table, before the first pass.
void media_open(void);
// Destroys every stored record and the table, once.
void media_close(void);
// Takes `fresh` (a record with a serial) and compares it with the stored
// record of its serial on `attached` and s_bus: a first sighting is stored,
// a change updates the stored record; either is logged ("Media %s state
// changed : %s") and sent with media_changed. Takes ownership of `fresh`.
// 1 when a report went to the servant, else 0. A failed report stops the
// daemon.
int media_update(PYXO::media_ST *fresh);
// 1 when media_update(fresh) would report, without changing anything.
int media_changes(const PYXO::media_ST *fresh);
// Reports as Removed, with its last address, every known attached medium
// whose serial is not in the set `seen`. Returns the number of reports.
int media_sweep(GHashTable *seen);

// sysfs.cc: the other source, SCSI hosts of the USB storage drivers under
// sysfs, read through libudev and woken by its scsi_host events.
// Sets up udev and its event monitor; a monitor that cannot be had is
// logged once as a warning, and the passes alone go on. 0 when udev itself
// cannot be used.
int sysfs_open(void);
// The monitor's descriptor to wait on, or -1 without a monitor.
int sysfs_monitor_fd(void);
// Takes the events waiting on the monitor (a bounded number at a time) and
// remembers the hosts they remove for the next pass. Returns how many.
int sysfs_take_events(void);
// One pass: every USB storage host goes to media_update under the identity
// it holds, then every known attached medium whose host is gone is reported
// Removed. The number of reports sent goes to *reports if set.
void sysfs_pass(int *reports);
// Releases udev and the monitor, once.
void sysfs_close(void);
