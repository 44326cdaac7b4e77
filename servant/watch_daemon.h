// The daemon pyxo-watch starts, and which processes it may signal: only the
// daemon it started, never a pid someone else announced.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <string>
#include <vector>

// Starts the daemon at `path` with `flags` and `ior` as the last argument,
// restoring `old_mask` in it. With `detaches` (-d) pyxo-watch first becomes
// the child subreaper, so that the detached daemon becomes its child and its
// real status is reaped. With `quiet_stdout` the daemon's standard output
// goes to our standard error, so that ours carries our lines alone. Returns
// the child's pid, or -1 with errno set.
pid_t watch_daemon_start(const std::string &path, const std::vector<std::string> &flags,
                         const char *ior, const sigset_t *old_mask, bool detaches,
                         bool quiet_stdout);

// Whether `pid` is the daemon that `starter` detached into: a process named
// pyxod, of our own user, whose parent is `starter` or (once `starter` has
// ended) ourselves.
bool watch_daemon_is_detached_from(pid_t pid, pid_t starter);

// The exit status pyxo-watch passes on for a wait status: the exit status,
// or 128 + the signal's number.
int watch_status_of(int wait_status);
