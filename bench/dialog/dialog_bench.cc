// Time from start to a mapped window: pyxo-dialog against zenity --info,
// side by side on one private display, taking turns so that both meet the
// same load. Prints the medians and their ratio; never fails.
//
// Usage: dialog_bench [RUNS]   (default 20 per program)
#include <X11/Xlib.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "x_session.h"

namespace {

double now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// The same moment xdotool search --sync --onlyvisible waits for, without its
// polling interval: the first ordinary (not override-redirect) window mapped
// on the root, which is the window manager's frame around the dialog.
double wait_for_map(Display *display, double start, double timeout_ms) {
    int fd = ConnectionNumber(display);
    for (;;) {
        while (XPending(display)) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == MapNotify && !event.xmap.override_redirect)
                return now_ms() - start;
        }
        double left = start + timeout_ms - now_ms();
        if (left <= 0)
            return -1;
        pollfd p = {fd, POLLIN, 0};
        poll(&p, 1, (int)left);
    }
}

void drain(Display *display) {
    XSync(display, False);
    while (XPending(display)) {
        XEvent event;
        XNextEvent(display, &event);
    }
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace

int main(int argc, char **argv) {
    int runs = argc > 1 ? atoi(argv[1]) : 20;
    if (runs < 1)
        runs = 1;

    x_session x;
    std::string why;
    if (!x_session_start(x, why)) {
        fprintf(stderr, "dialog_bench: %s\n", why.c_str());
        return 0;
    }
    Display *display = XOpenDisplay(x.display.c_str());
    if (!display) {
        fprintf(stderr, "dialog_bench: cannot open %s\n", x.display.c_str());
        x_session_stop(x);
        return 0;
    }
    XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
    drain(display);

    struct contender {
        const char *name;
        std::vector<std::string> argv;
        std::vector<double> ms;
    };
    contender all[] = {
        {"pyxo-dialog", {PYXO_DIALOG, "-t", "info", "-m", "Backup done."}, {}},
        {"zenity --info", {"zenity", "--info", "--text", "Backup done."}, {}},
    };
    // Neither pays for a missing accessibility bus.
    std::vector<std::string> env = x_session_env(x, {"NO_AT_BRIDGE=1"});

    // One round each to warm the file and font caches, then the measured
    // rounds, the starting program alternating.
    for (int round = -1; round < runs; round++) {
        for (int k = 0; k < 2; k++) {
            contender &c = all[(round + k + 2) % 2];
            std::vector<std::string> args(c.argv.begin() + 1, c.argv.end());
            double start = now_ms();
            dialog_run run = dialog_start(c.argv[0], args, env, x.dir);
            double ms = wait_for_map(display, start, 30000);
            kill(run.proc.pid, SIGTERM);
            dialog_wait(run, 10s);
            drain(display);
            if (ms < 0) {
                fprintf(stderr, "dialog_bench: %s showed no window\n", c.name);
                continue;
            }
            if (round >= 0)
                c.ms.push_back(ms);
        }
    }

    printf("time from start to mapped window, median of %d runs each\n", runs);
    for (const contender &c : all)
        if (!c.ms.empty())
            printf("  %-14s %8.1f ms\n", c.name, median(c.ms));
    if (!all[0].ms.empty() && !all[1].ms.empty())
        printf("  ratio pyxo-dialog / zenity: %.2f\n", median(all[0].ms) / median(all[1].ms));
    XCloseDisplay(display);
    x_session_stop(x);
    return 0;
}
