// The programs a user asks pyxo-watch to run for each volume that comes
// (--on-attach) and goes (--on-remove): never through a shell, the volume's
// values in the environment and the medium's JSON line on standard input,
// at most 4 at once, never holding up a report.
//
// The follow-up worker queues runs; the main thread starts them, learns of
// their ends through watch_children and ends those past --hook-timeout.
#pragma once

#include <signal.h>

#include <memory>
#include <string>
#include <vector>

#include "watch_medium.h"

// Sets the programs up: the command given for each event (empty: none) and
// its words, the time limit in seconds (0: none), the signal mask programs
// start with, and `wake`, which makes the main loop call watch_hooks_run
// soon (safe from any thread).
struct watch_hooks_setup {
    std::string attach, remove;
    std::vector<std::string> attach_words, remove_words;
    long timeout = 0;
    const sigset_t *mask = nullptr;
    void (*wake)() = nullptr;
};
// Takes the value of --on-attach or --on-remove (COMMAND: split into words
// as a shell would, quotes respected, with no expansion of any kind) or of
// --hook-timeout (`option` without its dashes) into `setup`. False, with
// the reason in `problem`, for an empty COMMAND, one with unbalanced quotes
// or a time that is not a whole number of seconds from 1.
bool watch_hooks_option(const char *option, const char *value, watch_hooks_setup &setup,
                        std::string &problem);
void watch_hooks_start(const watch_hooks_setup &setup);
// Whether a program is set for attach (or remove) at all.
bool watch_hooks_wanted(bool attach);

// What the runs for the volumes of one medium line get: the line's JSON
// object and each volume's values. Shared by the runs and by the follow-up,
// which keeps it for the medium's removal.
struct watch_hooks_medium;
typedef std::shared_ptr<const watch_hooks_medium> watch_hooks_medium_ptr;
watch_hooks_medium_ptr watch_hooks_describe(const char *serial, const watch_disk &disk,
                                            const std::string &json_line);
// Queues one run per volume of `medium`; a run of a volume waits until every
// run of the same device queued before it has ended. Safe from any thread.
void watch_hooks_queue(bool attach, const watch_hooks_medium_ptr &medium);

// For the main loop, once per pass: tells the ends of programs, starts those
// whose turn has come, ends those past their time. Returns the milliseconds
// until it must be called again (-1: not before something happens).
int watch_hooks_run();
// At exit: tells the ends not yet told, and drops the programs still waiting
// their turn (said in one line). Running programs are left to run.
void watch_hooks_stop();
