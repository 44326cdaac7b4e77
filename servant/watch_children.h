// The child processes of pyxo-watch. Its main loop reaps every child that
// ends, orphans given to it as the child subreaper (with -d) included, so no
// other unit may wait for a child of its own: it registers the child's pid
// here instead and learns of its end through its callback.
#pragma once

#include <sys/types.h>

// Told a registered child's wait status. Called in the main thread (or in
// the registering thread, see watch_children_add), without any lock held:
// it must be short and must not block.
typedef void (*watch_child_ended)(pid_t pid, int wait_status, void *data);

// Registers a child just started: call it right after fork. A child that
// has ended and been reaped before it was registered is told at once, in
// the calling thread (the last 32 ends of unregistered children are kept
// for that).
void watch_children_add(pid_t pid, watch_child_ended ended, void *data);
// Forgets a registered child (its end will pass untold), e.g. one abandoned.
void watch_children_forget(pid_t pid);
// Whether `pid` is registered and has not ended.
bool watch_children_known(pid_t pid);

// Reaps every child that has ended, without waiting, and tells the
// registered ones. For the main loop, on SIGCHLD.
void watch_children_reap();
