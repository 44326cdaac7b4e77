// pyxo-watch: the console servant. It implements PYXO::servant, starts the
// daemon with its own IOR and prints every call it receives.
#include <errno.h>
#include <getopt.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "PYXO.hh"
#include "watch_format.h"
#include "watch_orb.h"
#include "watch_output.h"

static watch_format format = WATCH_TEXT;
static std::mutex out_mutex;
static std::atomic<long> attached_pid{0};

static void print_line(const std::string &line) {
    std::lock_guard<std::mutex> lock(out_mutex);
    fputs(line.c_str(), stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

class watch_servant : public POA_PYXO::servant {
  public:
    void daemon_attached(CORBA::Long pid) override {
        attached_pid = pid;
        print_line(watch_daemon_attached_line(format, time(NULL), pid));
    }
    void media_changed(const PYXO::media_ST &media) override {
        print_line(watch_media_changed_line(format, time(NULL), media));
    }
    void servant_remote_command(PYXO::servant::Cmd cmd) override {
        print_line(watch_command_line(format, time(NULL), cmd));
        // The main thread waits for this signal like for Ctrl-C.
        if (cmd == PYXO::servant::EXIT)
            kill(getpid(), SIGUSR1);
    }
};

static void usage(FILE *out) {
    fputs(
        "Usage: pyxo-watch [OPTION]...\n"
        "Watch USB storage media: receive the reports of the pyxo daemon and print them.\n"
        "\n"
        "pyxo-watch serves the PYXO::servant interface on 127.0.0.1 only, starts pyxod\n"
        "with its own IOR as the last argument and prints one line per call received:\n"
        "daemon_attached (the daemon's pid), media_changed (serial, Attached or Removed,\n"
        "SCSI host number) and servant_remote_command (the command's name).\n"
        "\n"
        "  -d, --daemonize      start pyxod with -d (it detaches; pyxo-watch follows it\n"
        "                       by the pid it announces)\n"
        "  -l, --use_log        start pyxod with -l (log file)\n"
        "  -s, --use_syslog     start pyxod with -s (syslog)\n"
        "      --daemon PATH    the pyxod to start (default: pyxod beside pyxo-watch)\n"
        "      --no-daemon      start no daemon; just serve and print\n"
        "      --json           print one JSON object per line, with the fields op, pid,\n"
        "                       serial, attached, s_bus, s_channel, s_id, s_lun, cmd\n"
        "      --ior-file FILE  write the IOR to FILE once ready to receive (removed at\n"
        "                       exit); without it the IOR is printed on standard error\n"
        "  -h, --help           show this help\n"
        "\n"
        "pyxo-watch ends when the daemon ends, with the daemon's exit status (128 + the\n"
        "signal's number when it was killed). Ctrl-C or SIGTERM first stop the daemon with\n"
        "SIGTERM; so does servant_remote_command(EXIT). With --no-daemon it ends with\n"
        "status 0 on Ctrl-C, SIGTERM or EXIT.\n"
        "The environment variables PYXOD_PROC_SCSI, PYXOD_LOCK_FILE and PYXOD_LOG_FILE\n"
        "are passed on to pyxod.\n",
        out);
}

static std::string daemon_beside_us() {
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return "pyxod";
    self[n] = '\0';
    std::string path = self;
    return path.substr(0, path.rfind('/') + 1) + "pyxod";
}

static int status_of(int wait_status) {
    if (WIFEXITED(wait_status))
        return WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status))
        return 128 + WTERMSIG(wait_status);
    return 1;
}

static pid_t start_daemon(const std::string &path, const std::vector<std::string> &flags,
                          const char *ior, const sigset_t *old_mask) {
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    sigprocmask(SIG_SETMASK, old_mask, NULL);
    std::vector<char *> argv;
    argv.push_back((char *)path.c_str());
    for (const std::string &f : flags)
        argv.push_back((char *)f.c_str());
    argv.push_back((char *)ior);
    argv.push_back(NULL);
    execv(path.c_str(), argv.data());
    fprintf(stderr, "pyxo-watch: cannot start %s: %s\n", path.c_str(), strerror(errno));
    _exit(127);
}

static bool alive(pid_t pid) {
    return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
}

int main(int argc, char **argv) {
    // Signals are taken in the main loop only; the ORB's threads inherit the mask.
    sigset_t handled, old_mask;
    sigemptyset(&handled);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGCHLD, SIGUSR1})
        sigaddset(&handled, s);
    sigprocmask(SIG_BLOCK, &handled, &old_mask);
    signal(SIGPIPE, SIG_IGN);

    CORBA::ORB_var orb;
    try {
        orb = watch_orb_init(argc, argv);
    } catch (const CORBA::Exception &e) {
        fprintf(stderr, "pyxo-watch: cannot start the ORB: %s\n", e._name());
        return 1;
    }

    enum { OPT_DAEMON = 256, OPT_NO_DAEMON, OPT_JSON, OPT_IOR_FILE };
    static const struct option long_options[] = {{"daemonize", no_argument, 0, 'd'},
                                                 {"use_log", no_argument, 0, 'l'},
                                                 {"use_syslog", no_argument, 0, 's'},
                                                 {"help", no_argument, 0, 'h'},
                                                 {"daemon", required_argument, 0, OPT_DAEMON},
                                                 {"no-daemon", no_argument, 0, OPT_NO_DAEMON},
                                                 {"json", no_argument, 0, OPT_JSON},
                                                 {"ior-file", required_argument, 0, OPT_IOR_FILE},
                                                 {0, 0, 0, 0}};
    std::vector<std::string> flags;
    std::string daemon_path = daemon_beside_us(), ior_file;
    bool no_daemon = false, detaches = false;
    int c;
    while ((c = getopt_long(argc, argv, "dlsh", long_options, NULL)) != -1) {
        switch (c) {
            case 'd':
                detaches = true;
                flags.push_back("-d");
                break;
            case 'l':
                flags.push_back("-l");
                break;
            case 's':
                flags.push_back("-s");
                break;
            case 'h':
                usage(stdout);
                return 0;
            case OPT_DAEMON:
                daemon_path = optarg;
                break;
            case OPT_NO_DAEMON:
                no_daemon = true;
                break;
            case OPT_JSON:
                format = WATCH_JSON;
                break;
            case OPT_IOR_FILE:
                ior_file = optarg;
                break;
            default:
                usage(stderr);
                return 2;
        }
    }
    if (optind < argc) {
        fprintf(stderr, "pyxo-watch: unexpected argument '%s'\n", argv[optind]);
        usage(stderr);
        return 2;
    }

    CORBA::String_var ior;
    try {
        CORBA::Object_var obj = orb->resolve_initial_references("RootPOA");
        PortableServer::POA_var poa = PortableServer::POA::_narrow(obj);
        PortableServer::Servant_var<watch_servant> impl = new watch_servant;
        PortableServer::ObjectId_var id = poa->activate_object(impl);
        CORBA::Object_var ref = poa->id_to_reference(id);
        ior = orb->object_to_string(ref);
        PortableServer::POAManager_var manager = poa->the_POAManager();
        manager->activate();
    } catch (const CORBA::Exception &e) {
        fprintf(stderr, "pyxo-watch: cannot serve: %s\n", e._name());
        return 1;
    }

    if (!ior_file.empty()) {
        if (!watch_write_ior_file(ior_file, ior)) {
            fprintf(stderr, "pyxo-watch: cannot write %s: %s\n", ior_file.c_str(), strerror(errno));
            return 1;
        }
        if (format == WATCH_TEXT)
            fprintf(stderr, "pyxo-watch: IOR written to %s\n", ior_file.c_str());
    } else {
        fprintf(stderr, "pyxo-watch: IOR %s\n", (const char *)ior);
    }

    pid_t child = 0;
    if (!no_daemon) {
        child = start_daemon(daemon_path, flags, ior, &old_mask);
        if (child < 0) {
            fprintf(stderr, "pyxo-watch: fork: %s\n", strerror(errno));
            return 1;
        }
    }

    // The daemon we answer for: our child, or after -d the process it
    // detached into, known by the pid it announced.
    int status = 0;
    bool child_gone = no_daemon, stopping = false;
    time_t detached_at = 0;
    for (;;) {
        struct timespec tick = {0, 500 * 1000 * 1000};
        int sig = sigtimedwait(&handled, NULL, &tick);
        if (sig == SIGCHLD || sig < 0) {
            int ws;
            if (!child_gone && waitpid(child, &ws, WNOHANG) == child) {
                child_gone = true;
                status = status_of(ws);
                // A detaching daemon's first process ends with 0 at once.
                if (!(detaches && status == 0 && !stopping))
                    break;
                detached_at = time(NULL);
            }
            if (child_gone && !no_daemon && detaches) {
                if (attached_pid ? !alive(attached_pid) : time(NULL) - detached_at > 15) {
                    if (!attached_pid) {
                        fprintf(stderr, "pyxo-watch: the detached pyxod never announced itself\n");
                        status = 1;
                    }
                    break;
                }
            }
            continue;
        }
        if (no_daemon || stopping)
            break;
        // Ctrl-C, SIGTERM, SIGHUP or the EXIT command: stop the daemon first.
        stopping = true;
        pid_t target = !child_gone ? child : (pid_t)attached_pid;
        if (alive(target))
            kill(target, SIGTERM);
        if (child_gone) {
            for (int i = 0; i < 100 && alive(target); i++)
                usleep(50 * 1000);
            break;
        }
    }

    if (!no_daemon && format == WATCH_TEXT)
        fprintf(stderr, "pyxo-watch: pyxod ended with status %d\n", status);
    if (!ior_file.empty())
        unlink(ior_file.c_str());
    try {
        orb->destroy();
    } catch (const CORBA::Exception &) {
    }
    return status;
}
