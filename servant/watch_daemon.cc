#include "watch_daemon.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "pyxo_paths.h"
#include "pyxo_proc_status.h"
#include "watch_children.h"

extern char **environ;

pid_t watch_daemon_start(const std::string &path, const std::vector<std::string> &flags,
                         const char *ior, const std::vector<std::string> &env,
                         const sigset_t *old_mask, bool detaches, int console[2]) {
    if (detaches && prctl(PR_SET_CHILD_SUBREAPER, 1) != 0)
        return -1;
    // Everything the child needs is made here: after fork, while the ORB's
    // threads hold their locks, it may only call async-signal-safe functions.
    std::vector<char *> argv, envp;
    argv.push_back((char *)path.c_str());
    for (const std::string &f : flags)
        argv.push_back((char *)f.c_str());
    argv.push_back((char *)ior);
    argv.push_back(NULL);
    for (const std::string &e : env)
        envp.push_back((char *)e.c_str());
    for (char **e = environ; *e; e++) {
        bool replaced = false;
        for (const std::string &set : env)
            replaced |= strncmp(*e, set.c_str(), set.find('=') + 1) == 0;
        if (!replaced)
            envp.push_back(*e);
    }
    envp.push_back(NULL);

    // The daemon's standard output and error, and a pipe that carries the
    // errno of a failed exec (a successful one closes it).
    int out[2] = {-1, -1}, err[2] = {-1, -1}, failure[2] = {-1, -1};
    auto close_all = [&] {
        int saved = errno;
        for (int fd : {out[0], out[1], err[0], err[1], failure[0], failure[1]})
            if (fd >= 0)
                close(fd);
        errno = saved;
    };
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 ||
        pipe2(failure, O_CLOEXEC) != 0) {
        close_all();
        return -1;
    }
    pid_t pid = fork();
    if (pid == 0) {
        sigprocmask(SIG_SETMASK, old_mask, NULL);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        execve(path.c_str(), argv.data(), envp.data());
        int error = errno;
        (void)!write(failure[1], &error, sizeof error);
        _exit(127);
    }
    int error = pid < 0 ? errno : 0;
    close(failure[1]);
    failure[1] = -1;
    if (pid > 0 && read(failure[0], &error, sizeof error) == (ssize_t)sizeof error)
        waitpid(pid, NULL, 0);
    if (error) {
        errno = error;
        close_all();
        return -1;
    }
    close(out[1]), close(err[1]), close(failure[0]);
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    fcntl(err[0], F_SETFL, O_NONBLOCK);
    console[0] = out[0];
    console[1] = err[0];
    return pid;
}

// Makes `dir` (its parent too) a directory of our own, mode 0700: a link
// or another user's directory planted there is refused.
static bool make_private_dir(const std::string &dir) {
    mkdir(dir.substr(0, dir.rfind('/')).c_str(), 0700);
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0)
        return false;
    if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid()) {
        errno = EPERM;
        return false;
    }
    return chmod(dir.c_str(), 0700) == 0;
}

std::vector<std::string> watch_daemon_user_files(std::string &problem) {
    std::vector<std::string> env;
    auto set = [](const char *name) {
        const char *value = secure_getenv(name);
        return value && *value;
    };
    bool lock_set = set("PYXOD_LOCK_FILE"), log_set = set("PYXOD_LOG_FILE");
    if (geteuid() == 0 || (lock_set && log_set))
        return env;
    std::string dir;
    const char *runtime = getenv("XDG_RUNTIME_DIR"), *home = getenv("HOME");
    if (runtime && *runtime == '/') {
        dir = std::string(runtime) + "/" PYXO_USER_RUNTIME_DIR;
    } else {
        struct passwd *pw = home && *home == '/' ? NULL : getpwuid(geteuid());
        if (pw)
            home = pw->pw_dir;
        if (home == NULL || *home != '/') {
            problem = "no home directory";
            return env;
        }
        dir = std::string(home) + "/" PYXO_USER_CACHE_DIR;
    }
    if (!make_private_dir(dir)) {
        problem = dir + ": " + strerror(errno);
        return env;
    }
    if (!lock_set)
        env.push_back("PYXOD_LOCK_FILE=" + dir + "/" PYXO_USER_LOCK_NAME);
    if (!log_set)
        env.push_back("PYXOD_LOG_FILE=" + dir + "/" PYXO_USER_LOG_NAME);
    return env;
}

bool watch_daemon_is_detached_from(pid_t pid, pid_t starter) {
    if (pid <= 0 || pid == starter)
        return false;
    std::string name;
    long ppid = -1, real_uid = -1, effective_uid = -1;
    pyxo_proc_status(pid, [&](const char *line, bool) {
        if (strncmp(line, "Name:\t", 6) == 0)
            name = std::string(line + 6, strcspn(line + 6, "\n"));
        sscanf(line, "PPid: %ld", &ppid);
        sscanf(line, "Uid: %ld %ld", &real_uid, &effective_uid);
        return false;
    });
    return name == "pyxod" && real_uid == (long)getuid() && effective_uid == (long)geteuid() &&
           (ppid == starter || ppid == getpid());
}

pid_t watch_daemon_find_detached(pid_t starter) {
    DIR *proc = opendir("/proc");
    if (proc == NULL)
        return 0;
    pid_t found = 0;
    while (struct dirent *d = readdir(proc)) {
        pid_t pid = (pid_t)atol(d->d_name);
        if (watch_daemon_is_detached_from(pid, starter) && !watch_children_known(pid)) {
            found = pid;
            break;
        }
    }
    closedir(proc);
    return found;
}

int watch_status_of(int wait_status) {
    if (WIFEXITED(wait_status))
        return WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status))
        return 128 + WTERMSIG(wait_status);
    return 1;
}
