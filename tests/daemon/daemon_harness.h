// Helpers for tests that run the real pyxod against the real console servant
// (pyxo-watch --no-daemon --json), each test in a fixture tree of its own.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// A started program whose standard output (and error, when merged) is read
// through a pipe.
struct child {
    pid_t pid = -1;
    int out = -1;                    // read end of the pipe, -1 once at end of file
    std::string pending;             // read but not yet split into lines
    std::vector<std::string> lines;  // every complete line read so far
    std::vector<bool> used;          // lines already returned by wait_report
};

struct spawn_options {
    std::vector<std::string> env;  // NAME=VALUE, added to the environment
    bool merge_stderr = false;
    bool as_nobody = false;  // run as the unprivileged user through setpriv
    bool capture = true;
    std::string own_pid_file;  // written with the child's own pid before exec
};

// Starts argv[0] (a path) with the given options.
child spawn(const std::vector<std::string> &argv, const spawn_options &options = {});
// Reads what is there, waiting at most `ms` for more. false at end of file.
bool pump(child &c, int ms);
// Waits until a line for which `match` holds arrives, at most `seconds`.
// Returns it, or "" on timeout / end of output.
std::string wait_line(child &c, const std::function<bool(const std::string &)> &match,
                      double seconds);
// Reads the rest of the output until end of file, at most `seconds`.
void drain(child &c, double seconds);
// Waits for the process to end, at most `seconds`; returns its wait status,
// or -1 on timeout.
int wait_exit(child &c, double seconds);
// Kills (SIGKILL) and reaps a child still running.
void kill_child(child &c);

// A temporary directory with scsi/, and the paths for the lock and log files.
struct fixture_tree {
    std::string dir, scsi, lock, log;
    fixture_tree();
    ~fixture_tree();
    std::vector<std::string> env() const;  // PYXOD_* set to this tree
};

// Writes `text` to `path` atomically (write, then rename), making parent
// directories first.
void write_file(const std::string &path, const std::string &text);
std::string read_file(const std::string &path);
bool file_exists(const std::string &path);
// The text of a USB storage host file: its host line, other lines the driver
// writes, a GUID line, and an attachment line when `attached` is "Yes"/"No".
std::string usb_host_file(int host, const std::string &guid, const std::string &attached);
// Waits until the file's text satisfies `match`, at most `seconds`.
bool wait_file(const std::string &path, const std::function<bool(const std::string &)> &match,
               double seconds);
// Lines of a log file with their "Mon dd hh:mm:ss yyyy: " stamp removed; the
// stamp's form is checked on the way (a line without it is kept as it is,
// and marked with a leading '|').
std::vector<std::string> log_messages(const std::string &path);
bool contains(const std::string &text, const std::string &part);

// The console servant and the IOR it wrote, ready to receive.
struct watch {
    child proc;
    std::string ior;
};
watch start_watch(const fixture_tree &tree);
// The daemon, with `args` before the IOR (`ior` empty: none appended).
child start_daemon(const fixture_tree &tree, const std::vector<std::string> &args,
                   const std::string &ior, const spawn_options &extra = {});

// One parsed media_changed JSON line.
struct report {
    std::string serial;
    bool attached = false;
    int s_bus = 0, s_channel = 0, s_id = 0, s_lun = 0;
};
bool parse_report(const std::string &line, report *r);
// Waits for the first media_changed line of `serial` not returned before,
// at most `seconds`.
bool wait_report(child &watch_proc, const std::string &serial, double seconds, report *r);

std::string pyxod_path();
std::string status_text(int status);  // "exit 7", "signal 15"

// Common spawn options: stdout and stderr on one pipe (with extra
// environment), the same as the unprivileged user, output not captured.
spawn_options merged(const std::vector<std::string> &env = {});
spawn_options nobody_merged();
spawn_options uncaptured();
