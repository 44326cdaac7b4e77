// A private X display for one test: Xvfb on a free display number, openbox
// on it (so that closing a window reaches the client as a delete request),
// and helpers to start pyxo-dialog there and drive it with xdotool.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct x_session {
    std::string dir;      // temporary directory, removed at the end
    std::string display;  // ":N"
    pid_t xvfb = -1;
    pid_t wm = -1;
};

// Starts Xvfb and openbox; returns false (with a reason) when either fails.
bool x_session_start(x_session &x, std::string &why);
void x_session_stop(x_session &x);

// The environment of a program on the display: the caller's own, without
// anything that picks a language or another display.
std::vector<std::string> x_session_env(const x_session &x,
                                       const std::vector<std::string> &extra = {});

// Runs a short helper (xdotool, wmctrl) on the display; returns its
// standard output, or sets ok to false when it fails or hangs.
std::string x_session_run(const x_session &x, const std::vector<std::string> &argv, bool &ok);

struct dialog_run {
    pid_t pid = -1;
    std::string out_path;
    std::string err_path;
};

// Starts the program with standard output and error going to files.
dialog_run dialog_start(const std::string &program, const std::vector<std::string> &args,
                        const std::vector<std::string> &env, const std::string &dir);

// Waits up to timeout_s for the program to end; returns the status a shell
// would see, or -1 after killing it on timeout.
int dialog_wait(dialog_run &run, double timeout_s);

std::string read_file(const std::string &path);
