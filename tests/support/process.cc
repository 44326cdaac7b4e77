#include "process.h"

#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <new>
#include <sstream>
#include <stdexcept>

#ifndef PYXO_TEST_BIN_DIR
#error "PYXO_TEST_BIN_DIR must name the directory of the programs under test"
#endif

std::string bin_dir() {
    return PYXO_TEST_BIN_DIR;
}

static long now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

temp_dir::temp_dir() {
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/pyxo-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        throw std::runtime_error("mkdtemp failed");
    path = buf.data();
    chmod(path.c_str(), 0755);
}

temp_dir::~temp_dir() {
    std::string cmd = "rm -rf '" + path + "'";
    if (system(cmd.c_str()) != 0)
        fprintf(stderr, "could not remove %s\n", path.c_str());
}

child::child(child &&o) noexcept
    : pid(o.pid),
      out(o.out),
      err(o.err),
      out_buf(std::move(o.out_buf)),
      err_buf(std::move(o.err_buf)),
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
    if (pid > 0 && wait_status == -1) {
        kill(pid, SIGKILL);
        waitpid(pid, NULL, 0);
    }
    if (out >= 0)
        close(out);
    if (err >= 0)
        close(err);
}

child spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env) {
    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    child c;
    c.pid = fork();
    if (c.pid == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, NULL);
        int null_fd = open("/dev/null", O_RDONLY);
        dup2(null_fd, 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        for (const std::string &e : env)
            putenv(strdup(e.c_str()));
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(strdup(a.c_str()));
        args.push_back(NULL);
        execv(args[0], args.data());
        fprintf(stderr, "exec %s: %s\n", args[0], strerror(errno));
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    c.out = out_pipe[0];
    c.err = err_pipe[0];
    return c;
}

// Reads what is there into buf; false at end of stream.
static bool fill(int &fd, std::string &buf, int timeout_ms) {
    if (fd < 0)
        return false;
    struct pollfd p = {fd, POLLIN, 0};
    int r = poll(&p, 1, timeout_ms < 0 ? 0 : timeout_ms);
    if (r <= 0)
        return r == 0;
    char chunk[4096];
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0) {
        close(fd);
        fd = -1;
        return false;
    }
    buf.append(chunk, n);
    return true;
}

static bool line_from(int &fd, std::string &buf, std::string &line, int timeout_ms) {
    long deadline = now_ms() + timeout_ms;
    for (;;) {
        size_t nl = buf.find('\n');
        if (nl != std::string::npos) {
            line = buf.substr(0, nl);
            buf.erase(0, nl + 1);
            return true;
        }
        long left = deadline - now_ms();
        if (left <= 0 || !fill(fd, buf, (int)left))
            return false;
    }
}

bool read_line(child &c, std::string &line, int timeout_ms) {
    return line_from(c.out, c.out_buf, line, timeout_ms);
}

bool read_err_line(child &c, std::string &line, int timeout_ms) {
    return line_from(c.err, c.err_buf, line, timeout_ms);
}

std::string drain(child &c, int timeout_ms) {
    long deadline = now_ms() + timeout_ms;
    while ((c.out >= 0 || c.err >= 0) && now_ms() < deadline) {
        fill(c.out, c.out_buf, 20);
        fill(c.err, c.err_buf, 20);
    }
    std::string all = c.out_buf + c.err_buf;
    c.out_buf.clear();
    c.err_buf.clear();
    return all;
}

int wait_exit(child &c, int timeout_ms) {
    if (c.wait_status != -1)
        return c.wait_status;
    long deadline = now_ms() + timeout_ms;
    do {
        int ws;
        pid_t r = waitpid(c.pid, &ws, WNOHANG);
        if (r == c.pid)
            return c.wait_status = ws;
        usleep(10 * 1000);
    } while (now_ms() < deadline);
    return -1;
}

bool wait_for_file(const std::string &path, int timeout_ms) {
    long deadline = now_ms() + timeout_ms;
    do {
        struct stat st;
        if (stat(path.c_str(), &st) == 0 && st.st_size > 0)
            return true;
        usleep(10 * 1000);
    } while (now_ms() < deadline);
    return false;
}

bool wait_for_text(const std::string &path, const std::string &text, int timeout_ms) {
    long deadline = now_ms() + timeout_ms;
    do {
        if (read_file(path).find(text) != std::string::npos)
            return true;
        usleep(20 * 1000);
    } while (now_ms() < deadline);
    return false;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}
