// A private X display for one test: Xvfb on a free display number, openbox
// on it (so that closing a window reaches the client as a delete request),
// and helpers to start pyxo-dialog there and drive it with xdotool.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "process.h"

struct x_session {
    std::unique_ptr<temp_dir> tmp;
    std::string dir;      // tmp's path, until x_session_stop removes it
    std::string display;  // ":N"
    child xvfb;
    child wm;
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
    child proc;
    std::string out_path;
    std::string err_path;
};

// Starts the program with standard output and error going to files in
// `dir`, or standard output to `out` when given.
dialog_run dialog_start(const std::string &program, const std::vector<std::string> &args,
                        const std::vector<std::string> &env, const std::string &dir,
                        const std::string &out = "");

// Waits up to `timeout` for the program to end; returns the status a shell
// would see, or -1 after killing it on timeout.
int dialog_wait(dialog_run &run, std::chrono::milliseconds timeout);
