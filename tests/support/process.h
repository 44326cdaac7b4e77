// Helpers for tests that start real programs: temporary directories, child
// processes with their output on pipes, and waiting on output, files and
// exits with a deadline instead of fixed sleeps.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// A directory under $TMPDIR (or /tmp), removed with its content at the end.
struct temp_dir {
    std::string path;
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
    std::string operator/(const std::string &name) const {
        return path + "/" + name;
    }
};

// A started program. Its standard output and error are read through pipes;
// the destructor kills it (SIGKILL) if it still runs.
struct child {
    pid_t pid = -1;
    int out = -1, err = -1;
    std::string out_buf, err_buf;
    int wait_status = -1;  // set once reaped
    child() = default;
    child(const child &) = delete;
    child &operator=(const child &) = delete;
    child(child &&other) noexcept;
    child &operator=(child &&other) noexcept;
    ~child();
};

// Starts argv[0] (a path) with `env` added to (or replacing in) the
// environment. Standard input is /dev/null.
child spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env = {});

// Next line of the child's standard output (or error), without its line
// break; false when none came within `timeout_ms` or the stream ended.
bool read_line(child &c, std::string &line, int timeout_ms);
bool read_err_line(child &c, std::string &line, int timeout_ms);
// Everything left on standard output / error until both close or the deadline.
std::string drain(child &c, int timeout_ms);

// Waits for the child to end; returns its wait status, or -1 on time-out.
int wait_exit(child &c, int timeout_ms);

// Waits until `path` exists (and is not empty); false on time-out.
bool wait_for_file(const std::string &path, int timeout_ms);
// Waits until the file's content contains `text`; false on time-out.
bool wait_for_text(const std::string &path, const std::string &text, int timeout_ms);

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);

// The build's program directory (the programs under test).
std::string bin_dir();
