#include "x_session.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

extern char **environ;

namespace {

double now_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

std::vector<char *> c_strings(const std::vector<std::string> &words) {
    std::vector<char *> out;
    for (const std::string &w : words)
        out.push_back(const_cast<char *>(w.c_str()));
    out.push_back(nullptr);
    return out;
}

// fork + exec with the given standard streams; -1 for "leave as is".
pid_t spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env, int in_fd,
            int out_fd, int err_fd, int keep_fd = -1) {
    std::vector<char *> cargv = c_strings(argv);
    std::vector<char *> cenv = c_strings(env);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    // A test killed before its tear-down must not leave X servers behind.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent)
        _exit(127);
    if (in_fd >= 0)
        dup2(in_fd, 0);
    if (out_fd >= 0)
        dup2(out_fd, 1);
    if (err_fd >= 0)
        dup2(err_fd, 2);
    if (keep_fd >= 0)
        fcntl(keep_fd, F_SETFD, 0);
    execvpe(cargv[0], cargv.data(), cenv.data());
    _exit(127);
}

std::vector<std::string> own_env() {
    std::vector<std::string> env;
    for (char **e = environ; *e; e++)
        env.push_back(*e);
    return env;
}

void stop_child(pid_t &pid) {
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    double deadline = now_s() + 5;
    while (waitpid(pid, nullptr, WNOHANG) == 0) {
        if (now_s() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            break;
        }
        usleep(10000);
    }
    pid = -1;
}

}  // namespace

bool x_session_start(x_session &x, std::string &why) {
    char tmpl[] = "/tmp/pyxo-dialog-test-XXXXXX";
    if (!mkdtemp(tmpl)) {
        why = std::string("mkdtemp: ") + strerror(errno);
        return false;
    }
    x.dir = tmpl;

    // Xvfb picks a free display itself and writes its number once it is
    // ready, so parallel tests never race for one.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        why = "pipe failed";
        return false;
    }
    int log = open((x.dir + "/xvfb.log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    x.xvfb = spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "800x600x24",
                    "-nolisten", "tcp"},
                   own_env(), devnull, log, log, fds[1]);
    close(fds[1]);
    std::string number;
    double deadline = now_s() + 30;
    while (number.find('\n') == std::string::npos && now_s() < deadline) {
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
        close(log);
        close(devnull);
        return false;
    }
    x.display = ":" + number.substr(0, number.find('\n'));

    int wm_log = open((x.dir + "/openbox.log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    x.wm = spawn({"openbox", "--sm-disable"}, x_session_env(x), devnull, wm_log, wm_log);
    close(wm_log);
    close(log);
    close(devnull);

    // openbox announces itself on the root window first...
    deadline = now_s() + 30;
    for (;;) {
        bool ok = false;
        x_session_run(x, {"wmctrl", "-m"}, ok);
        if (ok)
            break;
        if (now_s() > deadline) {
            why = "openbox did not start: " + read_file(x.dir + "/openbox.log");
            return false;
        }
        usleep(50000);
    }
    // ...but a window mapped in the moments after that can be left unmapped
    // for good, its map request dropped while openbox is still starting. It
    // is ready once a probe window of ours actually shows.
    for (int attempt = 0; attempt < 10; attempt++) {
        int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
        pid_t probe = spawn({"xmessage", "-timeout", "20", "ready?"}, x_session_env(x), null_fd,
                            null_fd, null_fd);
        close(null_fd);
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
    if (!x.dir.empty()) {
        std::string cmd = "rm -rf '" + x.dir + "'";
        if (system(cmd.c_str()) != 0) {
        }
        x.dir.clear();
    }
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
    int fds[2];
    ok = false;
    if (pipe2(fds, O_CLOEXEC) != 0)
        return "";
    int devnull = open("/dev/null", O_RDWR | O_CLOEXEC);
    // xdotool reads the text to type in the locale's encoding.
    pid_t pid = spawn(full, x_session_env(x, {"LC_ALL=C.UTF-8"}), devnull, fds[1], devnull);
    close(fds[1]);
    close(devnull);
    std::string out;
    char buf[256];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        out.append(buf, n);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return out;
}

dialog_run dialog_start(const std::string &program, const std::vector<std::string> &args,
                        const std::vector<std::string> &env, const std::string &dir) {
    static int serial = 0;
    dialog_run run;
    serial++;
    run.out_path = dir + "/out." + std::to_string(serial);
    run.err_path = dir + "/err." + std::to_string(serial);
    int out = open(run.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err = open(run.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());
    run.pid = spawn(argv, env, devnull, out, err);
    close(out);
    close(err);
    close(devnull);
    return run;
}

int dialog_wait(dialog_run &run, double timeout_s) {
    double deadline = now_s() + timeout_s;
    int status = 0;
    for (;;) {
        pid_t done = waitpid(run.pid, &status, WNOHANG);
        if (done == run.pid)
            break;
        if (now_s() > deadline) {
            stop_child(run.pid);
            return -1;
        }
        usleep(10000);
    }
    run.pid = -1;
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}
