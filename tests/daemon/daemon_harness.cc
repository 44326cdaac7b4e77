#include "daemon_harness.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>

extern char **environ;

static double now() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

std::string pyxod_path() {
    return std::string(PYXO_BIN_DIR) + "/pyxod";
}

child spawn(const std::vector<std::string> &argv, const spawn_options &options) {
    std::vector<std::string> args;
    if (options.as_nobody) {
        args = {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"};
    }
    args.insert(args.end(), argv.begin(), argv.end());
    // Later settings of a name replace earlier ones (getenv takes the first).
    std::vector<std::string> env;
    for (char **e = environ; *e; e++)
        env.push_back(*e);
    for (const std::string &add : options.env) {
        std::string name = add.substr(0, add.find('=') + 1);
        env.erase(std::remove_if(env.begin(), env.end(),
                                 [&](const std::string &e) { return e.rfind(name, 0) == 0; }),
                  env.end());
        env.push_back(add);
    }

    int fds[2] = {-1, -1};
    if (options.capture && pipe2(fds, O_CLOEXEC) != 0)
        abort();
    child c;
    c.pid = fork();
    if (c.pid == 0) {
        // The test process may block signals of its own; the program must
        // start with none blocked and default actions, as from a shell.
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
        if (options.capture) {
            dup2(fds[1], 1);
            if (options.merge_stderr)
                dup2(fds[1], 2);
        }
        std::vector<char *> a, e;
        for (auto &s : args)
            a.push_back(const_cast<char *>(s.c_str()));
        a.push_back(nullptr);
        for (auto &s : env)
            e.push_back(const_cast<char *>(s.c_str()));
        e.push_back(nullptr);
        execve(a[0], a.data(), e.data());
        _exit(127);
    }
    if (options.capture) {
        close(fds[1]);
        c.out = fds[0];
    }
    return c;
}

bool pump(child &c, int ms) {
    if (c.out < 0)
        return false;
    struct pollfd p = {c.out, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0)
        return true;
    char buf[65536];
    ssize_t n = read(c.out, buf, sizeof buf);
    if (n <= 0) {
        if (n < 0 && errno == EINTR)
            return true;
        close(c.out);
        c.out = -1;
        if (!c.pending.empty())
            c.lines.push_back(c.pending), c.pending.clear();
        return false;
    }
    c.pending.append(buf, (size_t)n);
    size_t nl;
    while ((nl = c.pending.find('\n')) != std::string::npos) {
        c.lines.push_back(c.pending.substr(0, nl));
        c.pending.erase(0, nl + 1);
    }
    return true;
}

std::string wait_line(child &c, const std::function<bool(const std::string &)> &match,
                      double seconds) {
    double end = now() + seconds;
    size_t seen = 0;
    for (;;) {
        for (; seen < c.lines.size(); seen++)
            if (match(c.lines[seen]))
                return c.lines[seen];
        double left = end - now();
        if (left <= 0)
            return "";
        if (!pump(c, (int)(left * 1000) + 1) && c.out < 0) {
            for (; seen < c.lines.size(); seen++)
                if (match(c.lines[seen]))
                    return c.lines[seen];
            return "";
        }
    }
}

void drain(child &c, double seconds) {
    double end = now() + seconds;
    while (c.out >= 0 && now() < end)
        pump(c, 100);
}

int wait_exit(child &c, double seconds) {
    double end = now() + seconds;
    for (;;) {
        int status;
        pid_t r = waitpid(c.pid, &status, WNOHANG);
        if (r == c.pid) {
            c.pid = -1;
            return status;
        }
        if (r < 0 || now() >= end)
            return -1;
        // Keep the pipe from filling while we wait.
        if (c.out >= 0)
            pump(c, 20);
        else
            usleep(20000);
    }
}

void kill_child(child &c) {
    if (c.pid > 0) {
        kill(c.pid, SIGKILL);
        waitpid(c.pid, NULL, 0);
        c.pid = -1;
    }
    if (c.out >= 0)
        close(c.out), c.out = -1;
}

fixture_tree::fixture_tree() {
    const char *base = getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/pyxod-test-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == NULL)
        abort();
    dir = buf.data();
    scsi = dir + "/scsi";
    lock = dir + "/pyxod.lock";
    log = dir + "/pyxod.log";
    mkdir(scsi.c_str(), 0755);
}

fixture_tree::~fixture_tree() {
    std::string cmd = "chmod -R u+rwX '" + dir + "' 2>/dev/null; rm -rf '" + dir + "'";
    if (system(cmd.c_str()) != 0) {
    }
}

std::vector<std::string> fixture_tree::env() const {
    return {"PYXOD_PROC_SCSI=" + scsi, "PYXOD_LOCK_FILE=" + lock, "PYXOD_LOG_FILE=" + log};
}

static void make_parents(const std::string &path) {
    for (size_t i = 1; i < path.size(); i++)
        if (path[i] == '/')
            mkdir(path.substr(0, i).c_str(), 0755);
}

void write_file(const std::string &path, const std::string &text) {
    make_parents(path);
    std::string tmp = path + ".tmp~";
    {
        std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
        f << text;
    }
    if (rename(tmp.c_str(), path.c_str()) != 0)
        abort();
}

std::string read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

bool file_exists(const std::string &path) {
    return access(path.c_str(), F_OK) == 0;
}

std::string usb_host_file(int host, const std::string &guid, const std::string &attached) {
    std::string t = "   Host scsi" + std::to_string(host) + ": usb-storage\n";
    t += "       Vendor: Generic\n      Product: Flash Disk\nSerial Number: " + guid + "\n";
    t += "     Protocol: Transparent SCSI\n    Transport: Bulk\n";
    t += "         GUID: " + guid + "\n";
    if (!attached.empty())
        t += "     Attached: " + attached + "\n";
    return t;
}

bool wait_file(const std::string &path, const std::function<bool(const std::string &)> &match,
               double seconds) {
    double end = now() + seconds;
    for (;;) {
        if (match(read_file(path)))
            return true;
        if (now() >= end)
            return false;
        usleep(20000);
    }
}

std::vector<std::string> log_messages(const std::string &path) {
    static const std::regex stamp(
        "^[A-Z][a-z]{2} [ 123][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}: ");
    std::vector<std::string> out;
    std::istringstream in(read_file(path));
    std::string line;
    while (std::getline(in, line)) {
        std::smatch m;
        if (std::regex_search(line, m, stamp))
            out.push_back(line.substr(m.length(0)));
        else
            out.push_back("|" + line);
    }
    return out;
}

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

watch start_watch(const fixture_tree &tree) {
    watch w;
    std::string ior_file = tree.dir + "/ior";
    w.proc = spawn({std::string(PYXO_BIN_DIR) + "/pyxo-watch", "--no-daemon", "--json",
                    "--ior-file", ior_file});
    // The file appears (by rename) once the servant is ready to receive.
    if (!wait_file(
            ior_file, [](const std::string &t) { return t.rfind("IOR:", 0) == 0; }, 20))
        return w;
    w.ior = read_file(ior_file);
    while (!w.ior.empty() && (w.ior.back() == '\n' || w.ior.back() == ' '))
        w.ior.pop_back();
    return w;
}

child start_daemon(const fixture_tree &tree, const std::vector<std::string> &args,
                   const std::string &ior, const spawn_options &extra) {
    std::vector<std::string> argv = {pyxod_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    if (!ior.empty())
        argv.push_back(ior);
    spawn_options o = extra;
    std::vector<std::string> env = tree.env();
    o.env.insert(o.env.begin(), env.begin(), env.end());
    return spawn(argv, o);
}

static bool json_field(const std::string &line, const std::string &name, std::string *value) {
    std::string key = "\"" + name + "\":";
    size_t p = line.find(key);
    if (p == std::string::npos)
        return false;
    p += key.size();
    size_t e = p;
    if (line[p] == '"') {
        e = line.find('"', p + 1);
        if (e == std::string::npos)
            return false;
        *value = line.substr(p + 1, e - p - 1);
        return true;
    }
    while (e < line.size() && line[e] != ',' && line[e] != '}')
        e++;
    *value = line.substr(p, e - p);
    return true;
}

bool parse_report(const std::string &line, report *r) {
    std::string v;
    if (!json_field(line, "op", &v) || v != "media_changed")
        return false;
    if (!json_field(line, "serial", &r->serial))
        return false;
    if (!json_field(line, "attached", &v))
        return false;
    r->attached = v == "true";
    int *fields[] = {&r->s_bus, &r->s_channel, &r->s_id, &r->s_lun};
    const char *names[] = {"s_bus", "s_channel", "s_id", "s_lun"};
    for (int i = 0; i < 4; i++) {
        if (!json_field(line, names[i], &v))
            return false;
        *fields[i] = atoi(v.c_str());
    }
    return true;
}

bool wait_report(child &w, const std::string &serial, double seconds, report *r) {
    double end = now() + seconds;
    for (;;) {
        w.used.resize(w.lines.size(), false);
        for (size_t i = 0; i < w.lines.size(); i++) {
            report got;
            if (!w.used[i] && parse_report(w.lines[i], &got) && got.serial == serial) {
                w.used[i] = true;
                if (r)
                    *r = got;
                return true;
            }
        }
        double left = end - now();
        if (left <= 0)
            return false;
        if (!pump(w, (int)(left * 1000) + 1) && w.out < 0)
            return false;
    }
}

std::string status_text(int status) {
    if (status == -1)
        return "still running";
    if (WIFEXITED(status))
        return "exit " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return "signal " + std::to_string(WTERMSIG(status));
    return "status " + std::to_string(status);
}

spawn_options merged(const std::vector<std::string> &env) {
    spawn_options o;
    o.env = env;
    o.merge_stderr = true;
    return o;
}

spawn_options nobody_merged() {
    spawn_options o = merged();
    o.as_nobody = true;
    return o;
}

spawn_options uncaptured() {
    spawn_options o;
    o.capture = false;
    return o;
}
