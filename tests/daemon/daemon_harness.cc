#include "daemon_harness.h"

#include <regex.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <sstream>

std::string pyxod_path() {
    return bin_dir() + "/pyxod";
}

fixture_tree::fixture_tree() : root(0700), dir(root.path) {
    scsi = dir + "/scsi";
    lock = dir + "/pyxod.lock";
    log = dir + "/pyxod.log";
    mkdir(scsi.c_str(), 0755);
}

std::vector<std::string> fixture_tree::env() const {
    return {"PYXOD_PROC_SCSI=" + scsi, "PYXOD_LOCK_FILE=" + lock, "PYXOD_LOG_FILE=" + log};
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

std::vector<std::string> log_messages(const std::string &path) {
    // POSIX regex: GCC 12 warns falsely about std::regex in the sanitizer build.
    static regex_t stamp;
    static bool compiled =
        regcomp(&stamp, "^[A-Z][a-z]{2} [ 123][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}: ",
                REG_EXTENDED) == 0;
    std::vector<std::string> out;
    std::istringstream in(read_file(path));
    std::string line;
    while (std::getline(in, line)) {
        regmatch_t m;
        if (compiled && regexec(&stamp, line.c_str(), 1, &m, 0) == 0)
            out.push_back(line.substr(m.rm_eo));
        else
            out.push_back("|" + line);
    }
    return out;
}

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

watch start_watch(const fixture_tree &tree, std::vector<std::string> args) {
    watch w;
    std::string ior_file = tree.dir + "/ior";
    args.insert(args.begin(),
                {bin_dir() + "/pyxo-watch", "--no-daemon", "--json", "--ior-file", ior_file});
    w.proc = spawn(args);
    // The file appears (by rename) once the servant is ready to receive.
    if (!wait_for_file(
            ior_file, [](const std::string &t) { return t.rfind("IOR:", 0) == 0; }, 20s))
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

bool wait_report(watch &w, const std::string &serial, std::chrono::milliseconds timeout,
                 report *r) {
    auto end = std::chrono::steady_clock::now() + timeout;
    const std::vector<std::string> &lines = w.proc.lines;
    for (;;) {
        w.used.resize(lines.size(), false);
        for (size_t i = 0; i < lines.size(); i++) {
            report got;
            if (!w.used[i] && parse_report(lines[i], &got) && got.serial == serial) {
                w.used[i] = true;
                if (r)
                    *r = got;
                return true;
            }
        }
        auto now = std::chrono::steady_clock::now();
        if (now >= end || w.proc.out < 0)
            return false;
        pump(w.proc, std::chrono::duration_cast<std::chrono::milliseconds>(end - now) + 1ms);
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
