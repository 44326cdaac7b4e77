// pyxo-watch: the console servant. It implements PYXO::servant, starts the
// daemon with its own IOR and prints every call it receives.
#include <errno.h>
#include <getopt.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <stdarg.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "PYXO.hh"
#include "pyxo_paths.h"
#include "watch_children.h"
#include "watch_daemon.h"
#include "watch_followup.h"
#include "watch_format.h"
#include "watch_hooks.h"
#include "watch_medium.h"
#include "watch_orb.h"
#include "watch_output.h"

static watch_format format = WATCH_TEXT;

// The servant's threads hand the main loop what it must act on and wake it
// with SIGUSR2: a failed write (from the output's writer), and with -d the
// detached daemon's pid.
static bool detaches = false;
static std::atomic<pid_t> starter{0};    // the daemon we started: our child
static std::atomic<pid_t> candidate{0};  // with -d, the first fitting announcement

static void wake_main_loop() {
    kill(getpid(), SIGUSR2);
}

// Queued: no thread waits for the reader of standard output.
static void print_line(const std::string &line) {
    watch_output_line(line);
}

// One line of ours on standard error, queued as well.
static void say(const char *fmt, ...) {
    char text[1024];
    va_list args;
    va_start(args, fmt);
    vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    watch_output_note(text);
}

class watch_servant : public POA_PYXO::servant {
  public:
    void daemon_attached(CORBA::Long pid) override {
        print_line(watch_daemon_attached_line(format, time(NULL), pid));
        // Anyone who reaches our port may announce any pid: only the
        // process our daemon detached into is followed.
        pid_t none = 0;
        if (detaches && watch_daemon_is_detached_from(pid, starter) &&
            candidate.compare_exchange_strong(none, pid))
            wake_main_loop();
    }
    void media_changed(const PYXO::media_ST &media) override {
        print_line(watch_media_changed_line(format, time(NULL), media));
        watch_followup_report(media);
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
        "pyxo-watch serves the PYXO::servant interface on a unix socket that only its\n"
        "own user can reach, starts pyxod with its own IOR as the last argument and\n"
        "prints one line per call received:\n"
        "daemon_attached (the daemon's pid), media_changed (serial, Attached or Removed,\n"
        "SCSI host number) and servant_remote_command (the command's name).\n"
        "An Attached report of a USB storage host in sysfs is followed by one medium\n"
        "line per disk once its block device is there (at most 10 s later): its device,\n"
        "maker and model, size, and each partition with its filesystem type, label, UUID\n"
        "and mount points.\n"
        "\n"
        "  -d, --daemonize      start pyxod with -d (it detaches; pyxo-watch reaps it and\n"
        "                       passes its status on all the same)\n"
        "  -l, --use_log        start pyxod with -l (log file)\n"
        "  -s, --use_syslog     start pyxod with -s (syslog)\n"
        "      --daemon PATH    the pyxod to start (default: pyxod beside pyxo-watch)\n"
        "      --no-daemon      start no daemon; just serve and print\n"
        "      --source SOURCE  where pyxod sees media: proc (/proc/scsi, every 3 s),\n"
        "                       sysfs (pyxod --sysfs: /sys/class/scsi_host through udev,\n"
        "                       woken by its events) or auto (the default: sysfs when\n"
        "                       /sys/class/scsi_host exists and PYXOD_PROC_SCSI is not\n"
        "                       set, else proc)\n"
        "      --json           print one JSON object per line, with the fields op, pid,\n"
        "                       serial, attached, s_bus, s_channel, s_id, s_lun, cmd, and\n"
        "                       for op medium device, vendor, model, size, ro, rm,\n"
        "                       pttype, ptuuid, partitions (device, fstype, label, uuid,\n"
        "                       fsver, usage, partuuid, partlabel, mountpoints) and\n"
        "                       note; the daemon's own console\n"
        "                       output then goes to standard error\n"
        "      --notify         also show each Attached medium and each Removed report\n"
        "                       as a desktop notification\n"
        "      --ior-file FILE  write the IOR to FILE once ready to receive (removed at\n"
        "                       exit); without it the IOR is printed on standard error\n"
        "      --on-attach COMMAND  run COMMAND for each volume of each medium line\n"
        "      --on-remove COMMAND  run COMMAND for each volume of a medium removed\n"
        "                       COMMAND is split into words as a shell would, never run\n"
        "                       through one; the volume's values come in the environment\n"
        "                       (PYXO_EVENT, PYXO_SERIAL, PYXO_DISK, PYXO_DEVICE,\n"
        "                       PYXO_FSTYPE, PYXO_LABEL, PYXO_UUID, PYXO_VENDOR,\n"
        "                       PYXO_MODEL, PYXO_SIZE), the medium's JSON line on\n"
        "                       standard input; at most 4 run at once\n"
        "      --hook-timeout SECONDS  end such a program after SECONDS (SIGTERM, SIGKILL\n"
        "                       5 s later); no limit by default\n"
        "  -h, --help           show this help\n"
        "\n"
        "pyxo-watch ends when the daemon ends, with the daemon's exit status (128 + the\n"
        "signal's number when it was killed). Ctrl-C or SIGTERM first stop the daemon with\n"
        "SIGTERM; so do servant_remote_command(EXIT) and a standard output that can no\n"
        "longer be written (its reader gone: quietly; any other error: with a message,\n"
        "and status 1). A daemon that has not ended 1.5 s after SIGTERM is no longer\n"
        "waited for (status 1). With --no-daemon it ends with status 0 on Ctrl-C,\n"
        "SIGTERM or EXIT. The daemon's console output is passed on, on standard output\n"
        "(standard error with --json); lines that a blocked output cannot take are\n"
        "dropped and counted. -ORBendPoint giop:tcp:127.0.0.1: adds an endpoint that\n"
        "other users can reach.\n"
        "The environment variables PYXOD_PROC_SCSI, PYXOD_LOCK_FILE and PYXOD_LOG_FILE\n"
        "are passed on to pyxod. Run by a user other than root, pyxo-watch sets the\n"
        "last two, where they are not set, to files in $XDG_RUNTIME_DIR/pyxo (or\n"
        "~/.cache/pyxo).\n",
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

// The source pyxod is to watch, "proc" or "sysfs", for --source's value;
// NULL for a value it does not take.
static const char *chosen_source(const char *source) {
    if (strcmp(source, "auto") == 0) {
        const char *proc = getenv("PYXOD_PROC_SCSI");
        bool sysfs = access(PYXO_SCSI_HOST_CLASS, F_OK) == 0 && (proc == NULL || *proc == '\0');
        return sysfs ? "sysfs" : "proc";
    }
    if (strcmp(source, "proc") == 0 || strcmp(source, "sysfs") == 0)
        return source;
    return NULL;
}

// How long the daemon has to end after SIGTERM: pyxo-watch itself ends
// within 2 s of the request, stuck output or not.
constexpr std::chrono::milliseconds kDaemonGrace{1500}, kOutputGrace{400};

struct daemon_end {
    bool ended = false;
    int status = 0;
};

static void record_end(pid_t, int wait_status, void *data) {
    daemon_end *end = (daemon_end *)data;
    end->ended = true;
    end->status = watch_status_of(wait_status);
}

// Serves until the daemon has ended and gives its status (-1 when it was
// not waited for any longer): with -d the status of the process it
// detached into, reaped by us as the subreaper. Ctrl-C, SIGTERM, SIGHUP,
// the EXIT command and output that can no longer be written stop the daemon
// with SIGTERM first. Only the daemon we started is ever signalled. The
// daemon's console lines are passed on meanwhile.
static int follow_daemon(const sigset_t *handled, bool no_daemon, const int console[2]) {
    int sfd = signalfd(-1, handled, SFD_NONBLOCK | SFD_CLOEXEC);
    if (sfd < 0) {
        say("pyxo-watch: signalfd: %s", strerror(errno));
        return -1;
    }
    // A reader that has gone shows as an error on standard output without
    // a write: `pyxo-watch | head -1` ends even when no report comes.
    struct pollfd fds[4] = {
        {sfd, POLLIN, 0}, {STDOUT_FILENO, 0, 0}, {console[0], POLLIN, 0}, {console[1], POLLIN, 0}};
    std::string pending[2];
    daemon_end started, detached_end;
    if (!no_daemon)
        watch_children_add(starter, record_end, &started);
    pid_t detached = 0;  // with -d, the process the daemon detached into
    bool detached_signalled = false, stopping = false, output_failed = false;
    auto give_up = std::chrono::steady_clock::time_point::max();
    int status = 0;
    for (;;) {
        using std::chrono::milliseconds;
        // Until the programs of --on-attach and --on-remove need a look, and
        // while stopping, until it is time to give up.
        int timeout = watch_hooks_run();
        if (stopping) {
            int left = std::max(0, (int)std::chrono::duration_cast<milliseconds>(
                                       give_up - std::chrono::steady_clock::now())
                                           .count() +
                                       1);
            timeout = timeout < 0 ? left : std::min(timeout, left);
        }
        if (poll(fds, 4, timeout) < 0 && errno != EINTR) {
            say("pyxo-watch: poll: %s", strerror(errno));
            status = -1;
            break;
        }
        if (fds[1].revents) {
            watch_output_closed();
            fds[1].fd = -1;
        }
        for (int i = 0; i < 2; i++) {
            if (fds[2 + i].revents &&
                !watch_output_relay(fds[2 + i].fd, pending[i], i == 0 && format == WATCH_TEXT)) {
                close(fds[2 + i].fd);
                fds[2 + i].fd = -1;
            }
        }
        bool asked_to_stop = false, child_ended = false;
        struct signalfd_siginfo si;
        while (read(sfd, &si, sizeof si) == (ssize_t)sizeof si) {
            child_ended |= si.ssi_signo == SIGCHLD;
            asked_to_stop |= si.ssi_signo != SIGCHLD && si.ssi_signo != SIGUSR2;
        }
        bool must_stop = asked_to_stop;
        if (watch_output_error() && !output_failed) {
            output_failed = must_stop = true;
            if (watch_output_error() != EPIPE)
                say("pyxo-watch: cannot write standard output: %s", strerror(watch_output_error()));
        }
        // The detached daemon, as it announced itself, or (when it has not)
        // found among our children once its starter has left it to us:
        // looked for before it is reaped, while its /proc entry is there,
        // and again once the starter's end is reaped. Checked here, where
        // children are reaped: a pid we reaped may belong to another process
        // by now.
        auto follow = [&](pid_t pid) {
            if ((detached = pid))
                watch_children_add(detached, record_end, &detached_end);
        };
        if (detaches && !detached && candidate) {
            if (watch_daemon_is_detached_from(candidate, starter))
                follow(candidate);
            else
                candidate = 0;
        }
        if (detaches && !detached && child_ended)
            follow(watch_daemon_find_detached(starter));
        watch_children_reap();
        if (detaches && !detached && started.ended) {
            follow(watch_daemon_find_detached(starter));
            watch_children_reap();
        }
        const daemon_end &daemon = detached ? detached_end : started;
        if (daemon.ended) {
            status = daemon.status;
            break;
        }
        auto now = std::chrono::steady_clock::now();
        if (must_stop) {
            if (no_daemon)
                break;
            if (!stopping && !started.ended)
                kill(starter, SIGTERM);
            // A second request does not wait for the daemon any longer.
            if (stopping && asked_to_stop)
                give_up = now;
            else if (!stopping)
                give_up = now + kDaemonGrace;
            stopping = true;
        }
        if (stopping && detached && !detached_signalled) {
            kill(detached, SIGTERM);
            detached_signalled = true;  // signalled once; its end comes as SIGCHLD
        }
        if (stopping && now >= give_up) {
            say("pyxo-watch: pyxod (pid %d) has not ended; not waiting for it any longer",
                (int)(detached ? detached : starter.load()));
            status = -1;
            break;
        }
    }
    // What the daemon wrote before it ended.
    for (int i = 0; i < 2; i++)
        if (fds[2 + i].fd >= 0)
            watch_output_relay(fds[2 + i].fd, pending[i], i == 0 && format == WATCH_TEXT);
    close(sfd);
    return status;
}

// Everything after the ORB has started; the status to end with.
static int watch(CORBA::ORB_ptr orb, int argc, char **argv, const sigset_t *handled,
                 const sigset_t *old_mask) {
    enum { OPT_DAEMON = 256, OPT_NO_DAEMON, OPT_JSON, OPT_IOR_FILE, OPT_SOURCE, OPT_NOTIFY };
    enum { OPT_ATTACH = OPT_NOTIFY + 1, OPT_REMOVE, OPT_TIME };
    static const struct option long_options[] = {{"daemonize", no_argument, 0, 'd'},
                                                 {"use_log", no_argument, 0, 'l'},
                                                 {"use_syslog", no_argument, 0, 's'},
                                                 {"help", no_argument, 0, 'h'},
                                                 {"daemon", required_argument, 0, OPT_DAEMON},
                                                 {"no-daemon", no_argument, 0, OPT_NO_DAEMON},
                                                 {"json", no_argument, 0, OPT_JSON},
                                                 {"ior-file", required_argument, 0, OPT_IOR_FILE},
                                                 {"source", required_argument, 0, OPT_SOURCE},
                                                 {"notify", no_argument, 0, OPT_NOTIFY},
                                                 {"on-attach", required_argument, 0, OPT_ATTACH},
                                                 {"on-remove", required_argument, 0, OPT_REMOVE},
                                                 {"hook-timeout", required_argument, 0, OPT_TIME},
                                                 {0, 0, 0, 0}};
    std::vector<std::string> flags;
    std::string daemon_path = daemon_beside_us(), ior_file;
    const char *source = "auto";
    bool no_daemon = false, notify = false;
    watch_hooks_setup hooks;
    hooks.mask = old_mask;
    hooks.wake = wake_main_loop;
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
            case OPT_SOURCE:
                source = optarg;
                break;
            case OPT_NOTIFY:
                notify = true;
                break;
            case OPT_ATTACH:
            case OPT_REMOVE:
            case OPT_TIME: {
                std::string problem;
                if (!watch_hooks_option(c == OPT_ATTACH   ? "on-attach"
                                        : c == OPT_REMOVE ? "on-remove"
                                                          : "hook-timeout",
                                        optarg, hooks, problem)) {
                    fprintf(stderr, "pyxo-watch: %s\n", problem.c_str());
                    return 2;
                }
                break;
            }
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
    const char *chosen = chosen_source(source);
    if (chosen == NULL) {
        fprintf(stderr, "pyxo-watch: --source takes auto, proc or sysfs, not '%s'\n", source);
        usage(stderr);
        return 2;
    }
    if (strcmp(chosen, "sysfs") == 0)
        flags.push_back("--sysfs");
    std::vector<std::string> daemon_env;
    if (!no_daemon) {
        std::string problem;
        daemon_env = watch_daemon_user_files(problem);
        if (!problem.empty())
            fprintf(stderr, "pyxo-watch: no place of your own for pyxod's lock and log: %s\n",
                    problem.c_str());
    }

    // From here on, our lines are queued: no reader holds us up.
    watch_output_start(wake_main_loop);
    // Before the first call can come.
    watch_hooks_start(hooks);
    watch_followup_start(format, notify, print_line);
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
        say("pyxo-watch: cannot serve: %s", e._name());
        return 1;
    }

    if (!ior_file.empty()) {
        if (!watch_write_ior_file(ior_file, ior)) {
            say("pyxo-watch: cannot write %s: %s", ior_file.c_str(), strerror(errno));
            return 1;
        }
        if (format == WATCH_TEXT)
            say("pyxo-watch: IOR written to %s", ior_file.c_str());
    } else {
        watch_output_note(std::string("pyxo-watch: IOR ") + (const char *)ior);
    }

    int console[2] = {-1, -1};
    if (!no_daemon) {
        // On standard error in both formats: with --json, standard output
        // carries JSON alone.
        if (strcmp(chosen, "sysfs") == 0)
            say("pyxo-watch: source sysfs: pyxod --sysfs watches %s through udev",
                PYXO_SCSI_HOST_CLASS);
        else
            say("pyxo-watch: source proc: pyxod reads %s every 3 seconds", pyxo_proc_scsi());
        pid_t pid =
            watch_daemon_start(daemon_path, flags, ior, daemon_env, old_mask, detaches, console);
        if (pid < 0) {
            say("pyxo-watch: cannot start %s: %s", daemon_path.c_str(), strerror(errno));
            return 1;
        }
        starter = pid;
    }

    int status = follow_daemon(handled, no_daemon, console);
    if (status >= 0 && !no_daemon && format == WATCH_TEXT)
        say("pyxo-watch: pyxod ended with status %d", status);
    if (!ior_file.empty())
        unlink(ior_file.c_str());
    // A closed reader ends us quietly, with the status of the stopped daemon;
    // any other failed write is a failure of ours.
    int error = watch_output_error();
    return error && error != EPIPE ? 1 : status < 0 ? 1 : status;
}

int main(int argc, char **argv) {
    // Signals are taken in the main loop only; the ORB's threads inherit the mask.
    sigset_t handled, old_mask;
    sigemptyset(&handled);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGCHLD, SIGUSR1, SIGUSR2})
        sigaddset(&handled, s);
    sigprocmask(SIG_BLOCK, &handled, &old_mask);
    signal(SIGPIPE, SIG_IGN);
    if (argc == 2 && strcmp(argv[1], WATCH_MEDIUM_HELPER_OPTION) == 0)
        return watch_medium_helper_main();

    CORBA::ORB_var orb;
    try {
        orb = watch_orb_init(argc, argv);
    } catch (const CORBA::Exception &e) {
        fprintf(stderr, "pyxo-watch: cannot start the ORB: %s\n", e._name());
        return 1;
    }
    if (CORBA::is_nil(orb)) {
        fprintf(stderr, "pyxo-watch: no directory for the ORB's socket: %s\n", strerror(errno));
        return 1;
    }

    int status = watch(orb, argc, argv, &handled, &old_mask);

    watch_orb_remove_socket();
    watch_followup_stop();
    watch_hooks_stop();
    // A stream that cannot be written may hold its writer for ever, and
    // exit() would wait to flush it: end at once then.
    if (!watch_output_finish(std::chrono::steady_clock::now() + kOutputGrace))
        _exit(status);
    try {
        orb->destroy();
    } catch (const CORBA::Exception &) {
    }
    return status;
}
