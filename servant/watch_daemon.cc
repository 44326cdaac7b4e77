#include "watch_daemon.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

pid_t watch_daemon_start(const std::string &path, const std::vector<std::string> &flags,
                         const char *ior, const sigset_t *old_mask, bool detaches,
                         bool quiet_stdout) {
    if (detaches && prctl(PR_SET_CHILD_SUBREAPER, 1) != 0)
        return -1;
    std::vector<char *> argv;
    argv.push_back((char *)path.c_str());
    for (const std::string &f : flags)
        argv.push_back((char *)f.c_str());
    argv.push_back((char *)ior);
    argv.push_back(NULL);
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    sigprocmask(SIG_SETMASK, old_mask, NULL);
    if (quiet_stdout)
        dup2(STDERR_FILENO, STDOUT_FILENO);
    execv(path.c_str(), argv.data());
    fprintf(stderr, "pyxo-watch: cannot start %s: %s\n", path.c_str(), strerror(errno));
    _exit(127);
}

bool watch_daemon_is_detached_from(pid_t pid, pid_t starter) {
    if (pid <= 0 || pid == starter)
        return false;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line, name;
    long ppid = -1, real_uid = -1, effective_uid = -1;
    while (std::getline(status, line)) {
        if (line.rfind("Name:\t", 0) == 0)
            name = line.substr(6);
        sscanf(line.c_str(), "PPid: %ld", &ppid);
        sscanf(line.c_str(), "Uid: %ld %ld", &real_uid, &effective_uid);
    }
    return name == "pyxod" && real_uid == (long)getuid() && effective_uid == (long)geteuid() &&
           (ppid == starter || ppid == getpid());
}

int watch_status_of(int wait_status) {
    if (WIFEXITED(wait_status))
        return WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status))
        return 128 + WTERMSIG(wait_status);
    return 1;
}
