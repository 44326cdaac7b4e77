#include "process.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <new>
#include <sstream>
#include <stdexcept>

#ifndef PYXO_TEST_BIN_DIR
#error "PYXO_TEST_BIN_DIR must name the directory of the programs under test"
#endif

extern char **environ;

using std::chrono::milliseconds;
using std::chrono::steady_clock;

std::string bin_dir() {
    return PYXO_TEST_BIN_DIR;
}

static int left_ms(steady_clock::time_point end) {
    auto left = std::chrono::duration_cast<milliseconds>(end - steady_clock::now()).count();
    return left < 0 ? 0 : (int)left;
}

temp_dir::temp_dir(mode_t mode) {
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/pyxo-test-XXXXXX";
    if (!mkdtemp(tmpl.data()))
        throw std::runtime_error("mkdtemp failed");
    path = tmpl;
    chmod(path.c_str(), mode);
}

temp_dir::~temp_dir() {
    std::string cmd = "chmod -R u+rwX '" + path + "' 2>/dev/null; rm -rf '" + path + "'";
    if (system(cmd.c_str()) != 0)
        fprintf(stderr, "could not remove %s\n", path.c_str());
}

child::child(child &&o) noexcept
    : pid(o.pid),
      out(o.out),
      err(o.err),
      out_text(std::move(o.out_text)),
      err_text(std::move(o.err_text)),
      out_pos(o.out_pos),
      err_pos(o.err_pos),
      pending(std::move(o.pending)),
      lines(std::move(o.lines)),
      wait_status(o.wait_status) {
    o.pid = -1;
    o.out = o.err = -1;
}

child &child::operator=(child &&o) noexcept {
    if (this != &o) {
        this->~child();
        new (this) child(std::move(o));
    }
    return *this;
}

child::~child() {
    kill_child(*this);
}

// Opens a file for one of the child's streams, or -1 for none.
static int output_file(const std::string &path) {
    if (path.empty())
        return -1;
    return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

child spawn(const std::vector<std::string> &argv, const spawn_options &options) {
    std::vector<std::string> args;
    if (options.as_nobody)
        args = {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"};
    args.insert(args.end(), argv.begin(), argv.end());
    // Later settings of a name replace earlier ones (getenv takes the first).
    std::vector<std::string> env;
    if (!options.clear_env)
        for (char **e = environ; *e; e++)
            env.push_back(*e);
    for (const std::string &add : options.env) {
        std::string name = add.substr(0, add.find('=')) + "=";
        env.erase(std::remove_if(env.begin(), env.end(),
                                 [&](const std::string &e) { return e.rfind(name, 0) == 0; }),
                  env.end());
        if (add.find('=') != std::string::npos)
            env.push_back(add);
    }

    int out_fd = output_file(options.out_file);
    int err_fd = options.err_file == options.out_file ? -1 : output_file(options.err_file);
    int out_pipe[2] = {-1, -1}, err_pipe[2] = {-1, -1};
    if (options.capture) {
        if ((out_fd < 0 && pipe2(out_pipe, O_CLOEXEC) != 0) ||
            (err_fd < 0 && !options.merge_stderr && options.err_file.empty() &&
             pipe2(err_pipe, O_CLOEXEC) != 0))
            throw std::runtime_error("pipe failed");
    }
    std::vector<char *> a, e;
    for (auto &s : args)
        a.push_back(const_cast<char *>(s.c_str()));
    a.push_back(nullptr);
    for (auto &s : env)
        e.push_back(const_cast<char *>(s.c_str()));
    e.push_back(nullptr);

    child c;
    pid_t parent = getpid();
    c.pid = fork();
    if (c.pid < 0)
        throw std::runtime_error("fork failed");
    if (c.pid == 0) {
        // A test killed before its tear-down must leave nothing running.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(127);
        // The test process may block or catch signals of its own; the
        // program must start with none blocked and default actions, as from
        // a shell.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, NULL);
        for (int s = 1; s < 32; s++)
            signal(s, SIG_DFL);
        if (!options.own_pid_file.empty()) {
            FILE *f = fopen(options.own_pid_file.c_str(), "w");
            if (f)
                fprintf(f, "%d", (int)getpid()), fclose(f);
        }
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0)
            _exit(127);
        int null_fd =
            open(options.in_file.empty() ? "/dev/null" : options.in_file.c_str(), O_RDONLY);
        dup2(null_fd, 0);
        int to_out = out_fd >= 0 ? out_fd : out_pipe[1];
        if (to_out >= 0)
            dup2(to_out, 1);
        if (err_fd >= 0)
            dup2(err_fd, 2);
        else if (options.err_file == options.out_file && out_fd >= 0)
            dup2(out_fd, 2);
        else if (options.merge_stderr && to_out >= 0)
            dup2(to_out, 2);
        else if (err_pipe[1] >= 0)
            dup2(err_pipe[1], 2);
        execvpe(a[0], a.data(), e.data());
        fprintf(stderr, "exec %s: %s\n", a[0], strerror(errno));
        _exit(127);
    }
    for (int fd : {out_fd, err_fd, out_pipe[1], err_pipe[1]})
        if (fd >= 0)
            close(fd);
    c.out = out_pipe[0];
    c.err = err_pipe[0];
    return c;
}

static void split_lines(child &c, bool at_end) {
    size_t nl;
    while ((nl = c.pending.find('\n')) != std::string::npos) {
        c.lines.push_back(c.pending.substr(0, nl));
        c.pending.erase(0, nl + 1);
    }
    if (at_end && !c.pending.empty())
        c.lines.push_back(c.pending), c.pending.clear();
}

void pump(child &c, milliseconds timeout) {
    struct pollfd p[2] = {{c.out, POLLIN, 0}, {c.err, POLLIN, 0}};
    if (c.out < 0 && c.err < 0)
        return;
    int r = poll(p, 2, (int)timeout.count());
    if (r <= 0)
        return;
    int *fds[2] = {&c.out, &c.err};
    std::string *texts[2] = {&c.out_text, &c.err_text};
    for (int i = 0; i < 2; i++) {
        if (p[i].fd < 0 || p[i].revents == 0)
            continue;
        char buf[65536];
        ssize_t n = read(p[i].fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            close(*fds[i]);
            *fds[i] = -1;
            if (i == 0)
                split_lines(c, true);
            continue;
        }
        texts[i]->append(buf, (size_t)n);
        if (i == 0) {
            c.pending.append(buf, (size_t)n);
            split_lines(c, false);
        }
    }
}

bool read_line(child &c, std::string &line, milliseconds timeout) {
    auto end = steady_clock::now() + timeout;
    for (;;) {
        size_t nl = c.out_text.find('\n', c.out_pos);
        if (nl != std::string::npos) {
            line = c.out_text.substr(c.out_pos, nl - c.out_pos);
            c.out_pos = nl + 1;
            return true;
        }
        if (c.out < 0 || steady_clock::now() >= end)
            return false;
        pump(c, milliseconds(left_ms(end)));
    }
}

std::string wait_line(child &c, const std::function<bool(const std::string &)> &match,
                      milliseconds timeout) {
    auto end = steady_clock::now() + timeout;
    size_t seen = 0;
    for (;;) {
        for (; seen < c.lines.size(); seen++)
            if (match(c.lines[seen]))
                return c.lines[seen];
        if (c.out < 0 || steady_clock::now() >= end)
            return "";
        pump(c, milliseconds(left_ms(end) + 1));
    }
}

std::string drain(child &c, milliseconds timeout) {
    auto end = steady_clock::now() + timeout;
    while ((c.out >= 0 || c.err >= 0) && steady_clock::now() < end)
        pump(c, 100ms);
    std::string rest = c.out_text.substr(c.out_pos) + c.err_text.substr(c.err_pos);
    c.out_pos = c.out_text.size();
    c.err_pos = c.err_text.size();
    return rest;
}

int wait_exit(child &c, milliseconds timeout) {
    if (c.wait_status != -1 || c.pid <= 0)
        return c.wait_status;
    auto end = steady_clock::now() + timeout;
    for (;;) {
        int status;
        pid_t r = waitpid(c.pid, &status, WNOHANG);
        if (r == c.pid) {
            // What it wrote before it ended is still in the pipes.
            auto state = [&] { return c.out_text.size() + c.err_text.size() + c.out + c.err; };
            for (size_t had = ~(size_t)0; had != state();) {
                had = state();
                pump(c, 0ms);
            }
            return c.wait_status = status;
        }
        if (r < 0 || steady_clock::now() >= end)
            return -1;
        if (c.out >= 0 || c.err >= 0)
            pump(c, 20ms);
        else
            usleep(20000);
    }
}

void kill_child(child &c) {
    if (c.pid > 0 && c.wait_status == -1) {
        kill(c.pid, SIGKILL);
        waitpid(c.pid, &c.wait_status, 0);
    }
    for (int *fd : {&c.out, &c.err})
        if (*fd >= 0)
            close(*fd), *fd = -1;
}

program_result run_program(const std::vector<std::string> &argv, const spawn_options &options) {
    program_result r;
    child c = spawn(argv, options);
    while (c.out >= 0 || c.err >= 0)
        pump(c, milliseconds(-1));
    int status;
    if (waitpid(c.pid, &status, 0) == c.pid) {
        c.wait_status = status;
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    r.out = c.out_text;
    r.err = c.err_text;
    return r;
}

int as_nobody(const std::function<int()> &fn) {
    pid_t child = fork();
    if (child < 0)
        return -1;
    if (child == 0) {
        if (setgroups(0, NULL) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            _exit(255);
        _exit(fn() & 0xff);
    }
    int status;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status) == 255 ? -1 : WEXITSTATUS(status);
}

bool wait_for_file(const std::string &path, const std::function<bool(const std::string &)> &match,
                   milliseconds timeout) {
    auto end = steady_clock::now() + timeout;
    for (;;) {
        if (match(read_file(path)))
            return true;
        if (steady_clock::now() >= end)
            return false;
        usleep(20000);
    }
}

static void make_parents(const std::string &path) {
    for (size_t i = 1; i < path.size(); i++)
        if (path[i] == '/')
            mkdir(path.substr(0, i).c_str(), 0755);
}

bool write_file(const std::string &path, const std::string &content) {
    make_parents(path);
    std::string tmp = path + ".tmp~";
    {
        std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
        f << content;
        f.close();
        if (!f)
            return false;
    }
    return rename(tmp.c_str(), path.c_str()) == 0;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool file_exists(const std::string &path) {
    return access(path.c_str(), F_OK) == 0;
}
