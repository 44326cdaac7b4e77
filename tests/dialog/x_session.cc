#include "x_session.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

// The session's own programs (Xvfb, openbox, xdotool) stay out of a
// umockdev testbed the test may run in: they have no use for its /sys and
// /dev, and its preload in the X server has made clients fail to connect.
bool testbed_variable(const std::string &e) {
    return e.compare(0, 11, "LD_PRELOAD=") == 0 || e.compare(0, 12, "UMOCKDEV_DIR") == 0;
}

std::vector<std::string> own_env() {
    std::vector<std::string> env;
    for (char **e = environ; *e; e++)
        if (!testbed_variable(*e))
            env.push_back(*e);
    return env;
}

std::vector<std::string> session_env(const x_session &x,
                                     const std::vector<std::string> &extra = {}) {
    std::vector<std::string> env;
    for (const std::string &e : x_session_env(x, extra))
        if (!testbed_variable(e))
            env.push_back(e);
    return env;
}

// A program on the display with the given environment (all of it) and
// standard output and error going to `log`.
child spawn_logged(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                   const std::string &log) {
    spawn_options o;
    o.env = env;
    o.clear_env = true;
    o.out_file = o.err_file = log;
    return spawn(argv, o);
}

// Asks politely first: SIGTERM, then SIGKILL after 5 seconds.
void stop_child(child &c) {
    if (c.pid > 0 && c.wait_status == -1) {
        kill(c.pid, SIGTERM);
        wait_exit(c, 5s);
    }
    kill_child(c);
}

}  // namespace

bool x_session_start(x_session &x, std::string &why) {
    x.tmp = std::make_unique<temp_dir>(0700);
    x.dir = x.tmp->path;

    // Xvfb picks a free display itself and writes its number once it is
    // ready, so parallel tests never race for one. Only the writing end of
    // the pipe may reach it.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        why = "pipe failed";
        return false;
    }
    fcntl(fds[1], F_SETFD, 0);
    x.xvfb = spawn_logged({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0",
                           "800x600x24", "-nolisten", "tcp"},
                          own_env(), x.dir + "/xvfb.log");
    close(fds[1]);
    std::string number;
    auto deadline = std::chrono::steady_clock::now() + 30s;
    while (number.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd p = {fds[0], POLLIN, 0};
        if (poll(&p, 1, 200) <= 0)
            continue;
        char buf[32];
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0)
            break;
        number.append(buf, n);
    }
    close(fds[0]);
    if (number.find('\n') == std::string::npos) {
        why = "Xvfb did not start: " + read_file(x.dir + "/xvfb.log");
        return false;
    }
    x.display = ":" + number.substr(0, number.find('\n'));

    // openbox announces itself on the root window first. Under load it has
    // been seen to give up on a display that Xvfb had just announced: it is
    // started again, a few times, when it ends before announcing itself.
    deadline = std::chrono::steady_clock::now() + 30s;
    for (int starts = 0;;) {
        if (x.wm.pid <= 0 || wait_exit(x.wm, 0ms) != -1) {
            if (starts++ == 5) {
                why = "openbox did not start: " + read_file(x.dir + "/openbox.log");
                return false;
            }
            x.wm =
                spawn_logged({"openbox", "--sm-disable"}, session_env(x), x.dir + "/openbox.log");
        }
        bool ok = false;
        x_session_run(x, {"wmctrl", "-m"}, ok);
        if (ok)
            break;
        if (std::chrono::steady_clock::now() > deadline) {
            why = "openbox did not start: " + read_file(x.dir + "/openbox.log");
            return false;
        }
        usleep(50000);
    }
    // ...but a window mapped in the moments after that can be left unmapped
    // for good, its map request dropped while openbox is still starting. It
    // is ready once a probe window of ours actually shows.
    for (int attempt = 0; attempt < 10; attempt++) {
        child probe =
            spawn_logged({"xmessage", "-timeout", "20", "ready?"}, session_env(x), "/dev/null");
        bool ok = false;
        x_session_run(x,
                      {"timeout", "3", "xdotool", "search", "--sync", "--onlyvisible",
                       "--classname", "xmessage"},
                      ok);
        stop_child(probe);
        if (ok)
            return true;
    }
    why = "openbox never showed a window: " + read_file(x.dir + "/openbox.log");
    return false;
}

void x_session_stop(x_session &x) {
    stop_child(x.wm);
    stop_child(x.xvfb);
    x.tmp.reset();
    x.dir.clear();
}

std::vector<std::string> x_session_env(const x_session &x, const std::vector<std::string> &extra) {
    static const char *const drop[] = {
        "DISPLAY=", "XAUTHORITY=", "LANG=", "LANGUAGE=", "LC_", "HOME=", "XDG_"};
    std::vector<std::string> env;
    for (const std::string &e : own_env()) {
        bool keep = true;
        for (const char *d : drop)
            if (e.compare(0, strlen(d), d) == 0)
                keep = false;
        if (keep)
            env.push_back(e);
    }
    env.push_back("DISPLAY=" + x.display);
    // A home of its own keeps a user's gtkrc and openbox settings out.
    env.push_back("HOME=" + x.dir);
    for (const std::string &e : extra)
        env.push_back(e);
    return env;
}

std::string x_session_run(const x_session &x, const std::vector<std::string> &argv, bool &ok) {
    std::vector<std::string> full = {"timeout", "60"};
    full.insert(full.end(), argv.begin(), argv.end());
    spawn_options o;
    // xdotool reads the text to type in the locale's encoding.
    o.env = session_env(x, {"LC_ALL=C.UTF-8"});
    o.clear_env = true;
    o.err_file = "/dev/null";
    program_result r = run_program(full, o);
    ok = r.status == 0;
    return r.out;
}

dialog_run dialog_start(const std::string &program, const std::vector<std::string> &args,
                        const std::vector<std::string> &env, const std::string &dir,
                        const std::string &out) {
    static int serial = 0;
    dialog_run run;
    serial++;
    run.out_path = out.empty() ? dir + "/out." + std::to_string(serial) : out;
    run.err_path = dir + "/err." + std::to_string(serial);
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());
    spawn_options o;
    o.env = env;
    o.clear_env = true;
    o.out_file = run.out_path;
    o.err_file = run.err_path;
    run.proc = spawn(argv, o);
    return run;
}

int dialog_wait(dialog_run &run, std::chrono::milliseconds timeout) {
    int status = wait_exit(run.proc, timeout);
    if (status == -1) {
        stop_child(run.proc);
        return -1;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}
