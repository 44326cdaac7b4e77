// Helpers for tests that run the real pyxod against the real console servant
// (pyxo-watch --no-daemon --json), each test in a fixture tree of its own.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "process.h"

// A temporary directory with scsi/, and the paths for the lock and log files.
struct fixture_tree {
    temp_dir root;  // private to its owner: 0700
    std::string dir, scsi, lock, log;
    fixture_tree();
    std::vector<std::string> env() const;  // PYXOD_* set to this tree
};

// The text of a USB storage host file: its host line, other lines the driver
// writes, a GUID line, and an attachment line when `attached` is "Yes"/"No".
std::string usb_host_file(int host, const std::string &guid, const std::string &attached);
// Lines of a log file with their "Mon dd hh:mm:ss yyyy: " stamp removed; the
// stamp's form is checked on the way (a line without it is kept as it is,
// and marked with a leading '|').
std::vector<std::string> log_messages(const std::string &path);
bool contains(const std::string &text, const std::string &part);

// The console servant and the IOR it wrote, ready to receive.
struct watch {
    child proc;
    std::string ior;
    std::vector<bool> used;  // output lines already returned by wait_report
};
// With `args` (ORB options) after its own.
watch start_watch(const fixture_tree &tree, std::vector<std::string> args = {});
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
// at most `timeout`.
bool wait_report(watch &w, const std::string &serial, std::chrono::milliseconds timeout, report *r);

std::string pyxod_path();
std::string status_text(int status);  // "exit 7", "signal 15"

// Common spawn options: stdout and stderr on one pipe (with extra
// environment), the same as the unprivileged user, output not captured.
spawn_options merged(const std::vector<std::string> &env = {});
spawn_options nobody_merged();
spawn_options uncaptured();
