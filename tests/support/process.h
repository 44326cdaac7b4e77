// Helpers for tests that start real programs: temporary directories, child
// processes with their output on pipes, and waiting on output, files and
// exits with a deadline instead of fixed sleeps.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

using std::chrono_literals::operator""ms;
using std::chrono_literals::operator""s;

// A directory under $TMPDIR (or /tmp) with the given mode, removed with its
// content at the end (even parts a test left unreadable).
struct temp_dir {
    std::string path;
    explicit temp_dir(mode_t mode = 0755);
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
    std::string operator/(const std::string &name) const {
        return path + "/" + name;
    }
};

struct spawn_options {
    // NAME=VALUE added to (or replacing in) the environment; a bare NAME
    // removes it.
    std::vector<std::string> env;
    bool clear_env = false;     // `env` is the whole environment
    bool capture = true;        // standard output and error on pipes
    bool merge_stderr = false;  // standard error on the output pipe
    // Instead of a pipe (or, uncaptured, the test's own stream): a file,
    // truncated first. The same name for both makes them share it.
    std::string out_file, err_file;
    std::string in_file;       // standard input (empty: /dev/null)
    bool as_nobody = false;    // run as the unprivileged user through setpriv
    std::string own_pid_file;  // written with the child's own pid before exec
    std::string cwd;           // the child's working directory (empty: ours)
};

// A started program. Standard input is /dev/null unless `in_file` says. The destructor kills
// (SIGKILL) and reaps it if it still runs.
struct child {
    pid_t pid = -1;                   // kept after the child is reaped
    int out = -1, err = -1;           // read ends of the pipes, -1 once at end of file
    std::string out_text, err_text;   // everything read so far
    size_t out_pos = 0, err_pos = 0;  // how far read_line and drain consumed
    std::string pending;              // output read but not yet split into lines
    std::vector<std::string> lines;   // every output line so far (a last
                                      // unterminated one too, at end of file)
    int wait_status = -1;             // set once reaped
    child() = default;
    child(const child &) = delete;
    child &operator=(const child &) = delete;
    child(child &&other) noexcept;
    child &operator=(child &&other) noexcept;
    ~child();
};

// Starts argv[0] (a path, or a name looked up on PATH).
child spawn(const std::vector<std::string> &argv, const spawn_options &options = {});

// Reads what the pipes hold, waiting at most `timeout` for something.
void pump(child &c, std::chrono::milliseconds timeout);
// Next line of standard output, without its line break; false when none
// came within `timeout` or the output ended.
bool read_line(child &c, std::string &line, std::chrono::milliseconds timeout);
// Waits until an output line (any so far, from the first) satisfies
// `match`; returns it, or "" on time-out or end of output.
std::string wait_line(child &c, const std::function<bool(const std::string &)> &match,
                      std::chrono::milliseconds timeout);
// The commonest `match`: the file exists and holds something.
inline bool non_empty(const std::string &text) {
    return !text.empty();
}
// Reads until both pipes close or the deadline; returns what read_line and
// drain had not yet taken of standard output, then of standard error.
std::string drain(child &c, std::chrono::milliseconds timeout);
// Waits for the child to end; returns its wait status, or -1 on time-out.
// Keeps reading its pipes meanwhile so that it never blocks on them.
int wait_exit(child &c, std::chrono::milliseconds timeout);
// Kills (SIGKILL) and reaps a child still running; closes its pipes.
void kill_child(child &c);

struct program_result {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;
    std::string err;
};
// Runs a program to its end, its output captured.
program_result run_program(const std::vector<std::string> &argv, const spawn_options &options = {});

// Runs `fn` in a child process under the unprivileged user "nobody" and
// gives its result (0..255), or -1 when the child could not run it. Needs
// root; the caller skips otherwise.
int as_nobody(const std::function<int()> &fn);

// Waits until the file's text satisfies `match`; false on time-out.
bool wait_for_file(const std::string &path, const std::function<bool(const std::string &)> &match,
                   std::chrono::milliseconds timeout);

// Writes `content` to `path` atomically (write, then rename), making parent
// directories first, so that a program reading it never sees half of it.
bool write_file(const std::string &path, const std::string &content);
std::string read_file(const std::string &path);
bool file_exists(const std::string &path);

// The build's program directory (the programs under test).
std::string bin_dir();
