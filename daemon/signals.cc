// The daemon's life and death. omniORB runs threads of its own, and a handler
// that logs, frees or talks to the ORB could interrupt any of them, so no
// handler runs at all: the four signals are blocked before the ORB starts,
// the start-up's waits and the poll loop's pause take them with sigtimedwait
// (or read them from a signalfd, beside the udev monitor of the sysfs
// source), and ordinary code on the main thread runs the shutdown, once.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "pyxo_paths.h"
#include "pyxod.h"

CORBA::ORB_ptr orb = CORBA::ORB::_nil();
PYXO::servant_ptr servant = PYXO::servant::_nil();
PYXO_Environment ev;
char *ior = NULL;

static void watched_signals(sigset_t *set) {
    sigemptyset(set);
    sigaddset(set, SIGCHLD);
    sigaddset(set, SIGINT);
    sigaddset(set, SIGTERM);
    sigaddset(set, SIGQUIT);
}

int signals_block(void) {
    sigset_t set;
    watched_signals(&set);
    return pthread_sigmask(SIG_BLOCK, &set, NULL) == 0;
}

static struct timespec monotonic_now(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

// Nanoseconds from now until `deadline`; negative once it has passed.
static long long nanoseconds_until(const struct timespec *deadline) {
    struct timespec now = monotonic_now();
    return (deadline->tv_sec - now.tv_sec) * 1000000000LL + (deadline->tv_nsec - now.tv_nsec);
}

// Waits until `deadline` for one of the four signals: the signal taken, or 0
// once the deadline has passed.
static int wait_until(const struct timespec *deadline) {
    sigset_t set;
    watched_signals(&set);
    for (;;) {
        long long rest = nanoseconds_until(deadline);
        if (rest < 0)
            rest = 0;  // still take a signal that is already pending
        struct timespec left = {(time_t)(rest / 1000000000LL), (long)(rest % 1000000000LL)};
        int sig = sigtimedwait(&set, NULL, &left);
        if (sig > 0)
            return sig;
        // EINTR comes from something else (a debugger, a stop): wait out the rest.
        if (errno != EINTR || rest == 0)
            return 0;
    }
}

static struct timespec deadline_in(int seconds) {
    struct timespec deadline = monotonic_now();
    deadline.tv_sec += seconds;
    return deadline;
}

int signals_pause(int seconds) {
    struct timespec deadline = deadline_in(seconds);
    return wait_until(&deadline);
}

int signals_wait(int seconds, int fd) {
    // The four signals stay blocked: they are read from a descriptor in the
    // same poll as `fd`, never delivered.
    static int signals_fd = -1;
    if (signals_fd < 0) {
        sigset_t set;
        watched_signals(&set);
        signals_fd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
        if (signals_fd < 0)
            return signals_pause(seconds);  // no wake-up by fd; the passes go on
    }
    struct timespec deadline = deadline_in(seconds);
    for (;;) {
        long long rest = nanoseconds_until(&deadline);
        if (rest <= 0)
            return 0;
        struct pollfd fds[2] = {{signals_fd, POLLIN, 0}, {fd, POLLIN, 0}};
        int n = poll(fds, fd >= 0 ? 2 : 1, (int)((rest + 999999) / 1000000));
        if (n < 0 && errno != EINTR)
            return 0;
        if (n <= 0)
            continue;  // interrupted (a debugger, a stop), or the time ran out
        struct signalfd_siginfo info;
        if ((fds[0].revents & POLLIN) && read(signals_fd, &info, sizeof info) == sizeof info)
            return (int)info.ssi_signo;
        if (fd >= 0 && (fds[1].revents & (POLLIN | POLLERR)))
            return SIGNALS_FD_READY;
        if (fd >= 0 && (fds[1].revents & (POLLHUP | POLLNVAL)))
            fd = -1;  // it will never say more: wait for signals and the time alone
    }
}

void signals_take(int sig) {
    if (sig == SIGCHLD)
        go_signal(SIGCHLD);
    else if (sig != 0)
        stop_on_signal(sig);
}

void signals_sleep(int seconds) {
    struct timespec deadline = deadline_in(seconds);
    int sig;
    while ((sig = wait_until(&deadline)) != 0)
        signals_take(sig);
}

void signals_take_pending(void) {
    struct timespec none = {0, 0};
    int sig;
    while ((sig = wait_until(&none)) != 0)
        signals_take(sig);
}

void free_process(void) {
    // Only our own lock goes: an old daemon that shuts down late, after a new
    // one took the lock over, must not remove the new daemon's file.
    const char *path = pyxo_lock_file();
    long pid = 0;
    int held = -1;
    int got = lock_read_pid(path, &pid, &held);
    if (got == 1 && pid == (long)getpid())
        lock_remove(path, held);
    if (got >= 0)
        close(held);
}

void exit_daemon(void) {
    static int done = 0;
    if (done)
        return;
    done = 1;

    logprintf(LOG_INFO, "Exit");
    log_close();
    sysfs_close();
    media_close();
    if (!CORBA::is_nil(servant)) {
        PYXO_servant_release(servant, &ev);
        servant = PYXO::servant::_nil();
    }
    if (!CORBA::is_nil(orb)) {
        PYXO_ORB_destroy(orb, &ev);
        orb = CORBA::ORB::_nil();
    }
    free_process();
}

static void reap_one_child(void) {
    // Never blocks: the signal may stand for a child that only stopped.
    waitpid(-1, NULL, WNOHANG);
}

void go_signal(int sig) {
    if (sig == SIGCHLD) {
        reap_one_child();
        return;
    }
    exit_daemon();
    signal(sig, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    pthread_sigmask(SIG_UNBLOCK, &set, NULL);
    raise(sig);
    exit(7);
}

void stop_on_signal(int sig) {
    (void)sig;
    exit_daemon();
    // The signal was taken, not delivered: nothing is left pending.
    exit(7);
}
