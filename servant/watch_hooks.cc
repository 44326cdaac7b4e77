#include "watch_hooks.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <list>
#include <mutex>
#include <set>

#include <glib.h>

#include "watch_children.h"
#include "watch_output.h"

extern char **environ;

using steady = std::chrono::steady_clock;

// Programs that count at once; a program that has run this long no longer
// counts, so that hung ones cannot hold up the rest for good.
static const size_t max_counted = 4;
static const std::chrono::seconds counted_for{60};
// Between SIGTERM at the time limit and SIGKILL.
static const std::chrono::seconds kill_grace{5};
// Runs waiting their turn; past this (a storm of sticks) new ones are dropped.
static const size_t max_waiting = 1024;

// The environment of a run, in this order; values "" where unknown.
static const char *const names[] = {"PYXO_EVENT",  "PYXO_SERIAL", "PYXO_DISK", "PYXO_DEVICE",
                                    "PYXO_FSTYPE", "PYXO_LABEL",  "PYXO_UUID", "PYXO_VENDOR",
                                    "PYXO_MODEL",  "PYXO_SIZE"};
enum { SERIAL = 1, DISK, DEVICE, FSTYPE, LABEL, UUID, VENDOR, MODEL, SIZE, NAMES };

struct watch_hooks_medium {
    std::string json;  // with its line break
    // Per volume, the values of names[SERIAL..], the event's left out.
    std::vector<std::vector<std::string>> volumes;
};

struct run {
    bool attach;
    watch_hooks_medium_ptr medium;
    size_t volume;
    // Once started (main thread only):
    pid_t pid = 0;
    steady::time_point started, signalled;
    int signals = 0;  // sent at the time limit: 1 SIGTERM, 2 SIGKILL too
    bool ended = false;
    int wait_status = 0;
    run(bool attach, watch_hooks_medium_ptr medium, size_t volume)
        : attach(attach), medium(std::move(medium)), volume(volume) {}
    const std::string &device() const {
        return medium->volumes[volume][DEVICE - 1];
    }
};

static watch_hooks_setup setup;
static std::vector<std::string> base_env;  // ours, without the names above
static std::mutex waiting_mutex;           // guards the two below
static std::deque<run> waiting;
static bool stopped = false;
static std::list<run> running;  // main thread only

bool watch_hooks_option(const char *option, const char *value, watch_hooks_setup &chosen,
                        std::string &problem) {
    if (strcmp(option, "hook-timeout") == 0) {
        char *end;
        errno = 0;
        chosen.timeout = strtol(value, &end, 10);
        if (isdigit((unsigned char)*value) && *end == '\0' && errno == 0 && chosen.timeout >= 1 &&
            chosen.timeout <= 1000000000)
            return true;
        problem = std::string("--hook-timeout takes a whole number of seconds from 1, not '") +
                  value + "'";
        return false;
    }
    bool attach = strcmp(option, "on-attach") == 0;
    gchar **argv = NULL;
    GError *error = NULL;
    if (!g_shell_parse_argv(value, NULL, &argv, &error)) {
        problem = std::string("--") + option + " '" + value + "': " + error->message;
        g_error_free(error);
        return false;
    }
    (attach ? chosen.attach : chosen.remove) = value;
    (attach ? chosen.attach_words : chosen.remove_words).assign(argv, argv + g_strv_length(argv));
    g_strfreev(argv);
    return true;
}

void watch_hooks_start(const watch_hooks_setup &chosen) {
    setup = chosen;
    for (char **e = environ; *e; e++) {
        bool ours = false;
        for (const char *name : names)
            ours |= strncmp(*e, name, strlen(name)) == 0 && (*e)[strlen(name)] == '=';
        if (!ours)
            base_env.push_back(*e);
    }
}

bool watch_hooks_wanted(bool attach) {
    return !(attach ? setup.attach_words : setup.remove_words).empty();
}

watch_hooks_medium_ptr watch_hooks_describe(const char *serial, const watch_disk &disk,
                                            const std::string &json_line) {
    auto medium = std::make_shared<watch_hooks_medium>();
    medium->json = json_line + "\n";
    if (disk.device.empty())
        return medium;  // no block device: no volume to act on
    for (const watch_partition &p : disk.partitions)
        medium->volumes.push_back({serial, disk.device, p.device, p.fstype, p.label, p.uuid,
                                   disk.vendor, disk.model,
                                   disk.size >= 0 ? std::to_string(disk.size) : ""});
    return medium;
}

static const char *event_name(bool attach) {
    return attach ? "on-attach" : "on-remove";
}

// One line on standard error about a run: "pyxo-watch: on-attach /dev/sdb1:
// COMMAND: what".
static void say(const run &r, const std::string &what) {
    watch_output_note(std::string("pyxo-watch: ") + event_name(r.attach) + " " + r.device() + ": " +
                      (r.attach ? setup.attach : setup.remove) + ": " + what);
}

void watch_hooks_queue(bool attach, const watch_hooks_medium_ptr &medium) {
    if (!medium || !watch_hooks_wanted(attach))
        return;
    std::lock_guard<std::mutex> lock(waiting_mutex);
    if (stopped)
        return;
    for (size_t v = 0; v < medium->volumes.size(); v++) {
        run r(attach, medium, v);
        if (waiting.size() >= max_waiting)
            say(r, "not run: " + std::to_string(max_waiting) + " programs already wait their turn");
        else
            waiting.push_back(std::move(r));
    }
    if (setup.wake)
        setup.wake();
}

static void ended(pid_t, int wait_status, void *data) {
    run *r = (run *)data;
    r->ended = true;
    r->wait_status = wait_status;
}

// Starts `r` with standard input a pipe that already holds the JSON line
// and its end, so that no write ever waits for the program (nor for one
// that never reads). The child does nothing but what posix_spawn does
// between its fork and exec: the ORB's threads may hold any lock.
static int start(run &r) {
    const std::vector<std::string> &words = r.attach ? setup.attach_words : setup.remove_words;
    std::vector<std::string> values = {r.attach ? "attach" : "remove"};
    const auto &volume = r.medium->volumes[r.volume];
    values.insert(values.end(), volume.begin(), volume.end());
    std::vector<std::string> ours;
    for (int i = 0; i < NAMES; i++)
        ours.push_back(std::string(names[i]) + "=" + values[i]);
    std::vector<char *> argv, envp;
    for (const std::string &w : words)
        argv.push_back((char *)w.c_str());
    for (const std::string &e : base_env)
        envp.push_back((char *)e.c_str());
    for (const std::string &e : ours)
        envp.push_back((char *)e.c_str());
    argv.push_back(NULL);
    envp.push_back(NULL);

    int in[2];
    if (pipe2(in, O_CLOEXEC | O_NONBLOCK) != 0)
        return errno;
    const std::string &line = r.medium->json;
    if (line.size() > 4096)
        fcntl(in[1], F_SETPIPE_SZ, (int)line.size());
    // Only a line longer than a pipe may hold (pipe-max-size) is cut short.
    ssize_t written = write(in[1], line.data(), line.size());
    close(in[1]);
    if (written != (ssize_t)line.size())
        say(r, "its standard input holds " + std::to_string(std::max<ssize_t>(written, 0)) +
                   " bytes of the " + std::to_string(line.size()) + " of the medium's line");
    fcntl(in[0], F_SETFL, 0);  // a program may expect to block on its input

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // A session of its own: no terminal's signals, and its group to end.
    posix_spawnattr_setflags(&attr,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setsigmask(&attr, setup.mask);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);  // which pyxo-watch ignores
    posix_spawnattr_setsigdefault(&attr, &defaults);
    int error = posix_spawnp(&r.pid, argv[0], &actions, &attr, argv.data(), envp.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    return error;
}

static void signal_group(pid_t pid, int sig) {
    if (kill(-pid, sig) != 0)
        kill(pid, sig);  // it left its group
}

// The one line for a program that failed or was ended.
static void tell_end(const run &r) {
    int ws = r.wait_status, sig = WIFSIGNALED(ws) ? WTERMSIG(ws) : 0;
    if (ws == 0)
        return;
    std::string past =
        r.signals ? ", past --hook-timeout " + std::to_string(setup.timeout) + " s" : "";
    say(r, WIFEXITED(ws)
               ? "exit status " + std::to_string(WEXITSTATUS(ws))
               : "ended by signal " + std::to_string(sig) + " (" + strsignal(sig) + ")" + past);
}

int watch_hooks_run() {
    auto now = steady::now();
    auto due = steady::time_point::max();
    size_t counted = 0;
    std::set<std::string> busy;  // devices with a run that has not ended
    for (auto it = running.begin(); it != running.end();) {
        run &r = *it;
        if (r.ended) {
            tell_end(r);
            it = running.erase(it);
            continue;
        }
        // Not yet reaped, so its pid and group are still its own.
        auto limit = r.started + std::chrono::seconds(setup.timeout);
        if (setup.timeout > 0 && r.signals == 0 && now >= limit) {
            signal_group(r.pid, SIGTERM);
            r.signals = 1;
            r.signalled = now;
        } else if (r.signals == 1 && now >= r.signalled + kill_grace) {
            signal_group(r.pid, SIGKILL);
            r.signals = 2;
        }
        if (setup.timeout > 0 && r.signals == 0)
            due = std::min(due, limit);
        if (r.signals == 1)
            due = std::min(due, r.signalled + kill_grace);
        if (now < r.started + counted_for) {
            counted++;
            due = std::min(due, r.started + counted_for);
        }
        busy.insert(r.device());
        ++it;
    }
    std::vector<run> turn;
    {
        std::lock_guard<std::mutex> lock(waiting_mutex);
        for (auto it = waiting.begin();
             it != waiting.end() && counted + turn.size() < max_counted;) {
            bool free = busy.insert(it->device()).second;
            if (free) {
                turn.push_back(std::move(*it));
                it = waiting.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (run &r : turn) {
        int error = start(r);
        if (error != 0) {
            say(r, std::string("cannot start: ") + strerror(error));
            // What waits behind it may go on the next pass.
            due = now;
            continue;
        }
        r.started = now;
        running.push_back(std::move(r));
        watch_children_add(running.back().pid, ended, &running.back());
        due = std::min(due, now + counted_for);
        if (setup.timeout > 0)
            due = std::min(due, now + std::chrono::seconds(setup.timeout));
    }
    if (due == steady::time_point::max())
        return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - steady::now());
    return (int)std::clamp<long long>(left.count() + 1, 0, 60000);
}

void watch_hooks_stop() {
    size_t dropped;
    {
        std::lock_guard<std::mutex> lock(waiting_mutex);
        stopped = true;
        dropped = waiting.size();
        waiting.clear();
    }
    for (const run &r : running)
        if (r.ended)
            tell_end(r);
    // Those still running go on in their own sessions; their ends, should
    // they come before ours, are reaped by nobody in particular.
    for (const run &r : running)
        watch_children_forget(r.pid);
    if (dropped)
        watch_output_note("pyxo-watch: " + std::to_string(dropped) + " program run" +
                          (dropped == 1 ? "" : "s") +
                          " waiting their turn dropped at exit (--on-attach, --on-remove)");
}
