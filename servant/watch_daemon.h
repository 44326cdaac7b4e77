// The daemon pyxo-watch starts, and which processes it may signal: only the
// daemon it started, never a pid someone else announced.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <string>
#include <vector>

// Starts the daemon at `path` with `flags` and `ior` as the last argument,
// `env` added to its environment (NAME=VALUE, replacing a variable of that
// name), restoring `old_mask` in it. Its standard output and standard error
// are pipes whose read ends (non-blocking) are stored in console[0] and
// console[1]: pyxo-watch passes its lines on, so the daemon never waits for
// a reader. With `detaches` (-d) pyxo-watch first becomes the child
// subreaper, so that the detached daemon becomes its child and its real
// status is reaped. Returns the child's pid once it runs the daemon, or -1
// with errno set (the exec's own failure included).
pid_t watch_daemon_start(const std::string &path, const std::vector<std::string> &flags,
                         const char *ior, const std::vector<std::string> &env,
                         const sigset_t *old_mask, bool detaches, int console[2]);

// For a user who is not root and has set neither PYXOD_LOCK_FILE nor
// PYXOD_LOG_FILE: the daemon's lock and log files in a directory of the
// user's own (made 0700), as environment settings for watch_daemon_start.
// Empty for root, or when the directory cannot be made (`problem` then
// says why).
std::vector<std::string> watch_daemon_user_files(std::string &problem);

// Whether `pid` is the daemon that `starter` detached into: a process named
// pyxod, of our own user, whose parent is `starter` or (once `starter` has
// ended) ourselves.
bool watch_daemon_is_detached_from(pid_t pid, pid_t starter);
// Looks among the processes for the one `starter` detached into (ended or
// not, as long as it has not been reaped), for when it has not announced
// itself; 0 when there is none.
pid_t watch_daemon_find_detached(pid_t starter);

// The exit status pyxo-watch passes on for a wait status: the exit status,
// or 128 + the signal's number.
int watch_status_of(int wait_status);
