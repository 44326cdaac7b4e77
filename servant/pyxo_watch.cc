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
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "PYXO.hh"
#include "pyxo_paths.h"
#include "watch_daemon.h"
#include "watch_followup.h"
#include "watch_format.h"
#include "watch_medium.h"
#include "watch_orb.h"
#include "watch_output.h"

static watch_format format = WATCH_TEXT;

// The servant's threads hand the main loop what it must act on and wake it
// with SIGUSR2: a failed write, and with -d the detached daemon's pid.
static bool detaches = false;
static std::atomic<pid_t> starter{0};    // the daemon we started: our child
static std::atomic<pid_t> candidate{0};  // with -d, the first fitting announcement

static void wake_main_loop() {
    kill(getpid(), SIGUSR2);
}

static void print_line(const std::string &line) {
    if (!watch_output_line(line))
        wake_main_loop();
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
        "pyxo-watch serves the PYXO::servant interface on 127.0.0.1 only, starts pyxod\n"
        "with its own IOR as the last argument and prints one line per call received:\n"
        "daemon_attached (the daemon's pid), media_changed (serial, Attached or Removed,\n"
        "SCSI host number) and servant_remote_command (the command's name).\n"
        "An Attached report of a USB storage host in sysfs is followed by one medium\n"
        "line per disk once its block device is there (at most 10 s later): its device,\n"
        "maker and model, size, and each partition with its filesystem type.\n"
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
        "                       for op medium device, vendor, model, size, partitions\n"
        "                       (device, type) and note; the daemon's own console\n"
        "                       output then goes to standard error\n"
        "      --notify         also show each Attached medium and each Removed report\n"
        "                       as a desktop notification\n"
        "      --ior-file FILE  write the IOR to FILE once ready to receive (removed at\n"
        "                       exit); without it the IOR is printed on standard error\n"
        "  -h, --help           show this help\n"
        "\n"
        "pyxo-watch ends when the daemon ends, with the daemon's exit status (128 + the\n"
        "signal's number when it was killed). Ctrl-C or SIGTERM first stop the daemon with\n"
        "SIGTERM; so do servant_remote_command(EXIT) and a standard output that can no\n"
        "longer be written (its reader gone: quietly; any other error: with a message,\n"
        "and status 1). With --no-daemon it ends with status 0 on Ctrl-C, SIGTERM or EXIT.\n"
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

// Serves until the daemon has ended and gives its status: with -d the
// status of the process it detached into, reaped by us as the subreaper.
// Ctrl-C, SIGTERM, SIGHUP, the EXIT command and output that can no longer
// be written stop the daemon with SIGTERM first. Only the daemon we started
// is ever signalled.
static int follow_daemon(const sigset_t *handled, bool no_daemon) {
    int sfd = signalfd(-1, handled, SFD_NONBLOCK | SFD_CLOEXEC);
    if (sfd < 0) {
        fprintf(stderr, "pyxo-watch: signalfd: %s\n", strerror(errno));
        return 1;
    }
    // A reader that has gone shows as an error on standard output without
    // a write: `pyxo-watch | head -1` ends even when no report comes.
    struct pollfd fds[2] = {{sfd, POLLIN, 0}, {STDOUT_FILENO, 0, 0}};
    pid_t detached = 0;  // with -d, the process the daemon detached into
    // detached_done: it was signalled or reaped, and must never be signalled (again)
    bool starter_gone = no_daemon, detached_done = false, stopping = false, output_failed = false;
    int status = 0;
    for (;;) {
        if (poll(fds, 2, -1) < 0 && errno != EINTR) {
            fprintf(stderr, "pyxo-watch: poll: %s\n", strerror(errno));
            status = 1;
            break;
        }
        if (fds[1].revents) {
            watch_output_closed();
            fds[1].fd = -1;
        }
        bool asked_to_stop = false;
        struct signalfd_siginfo si;
        while (read(sfd, &si, sizeof si) == (ssize_t)sizeof si)
            if (si.ssi_signo != SIGCHLD && si.ssi_signo != SIGUSR2)
                asked_to_stop = true;
        bool must_stop = asked_to_stop;
        if (watch_output_error() && !output_failed) {
            output_failed = must_stop = true;
            if (watch_output_error() != EPIPE)
                fprintf(stderr, "pyxo-watch: cannot write standard output: %s\n",
                        strerror(watch_output_error()));
        }
        // Checked again here, where children are reaped: a pid we reaped may
        // belong to another process by now.
        if (!detached && candidate) {
            if (watch_daemon_is_detached_from(candidate, starter))
                detached = candidate;
            else
                candidate = 0;
        }
        if (must_stop) {
            // A second request does not wait for the daemon any longer.
            if (no_daemon || (stopping && asked_to_stop))
                break;
            if (!stopping && !starter_gone)
                kill(starter, SIGTERM);
            stopping = true;
        }
        if (stopping && detached && !detached_done) {
            kill(detached, SIGTERM);
            detached_done = true;  // signalled once; its end comes as SIGCHLD
        }
        int ws;
        pid_t pid;
        // The children of this thread only: the daemon, and with -d what it
        // detached into (an orphan comes to the subreaper's first thread).
        // The probe's helpers are the follow-up worker's own.
        while ((pid = waitpid(-1, &ws, WNOHANG | __WNOTHREAD)) > 0) {
            status = watch_status_of(ws);
            starter_gone |= pid == starter;
            detached_done |= pid == detached;
        }
        if (pid < 0 && !no_daemon)
            break;  // no child left: the daemon has ended
    }
    close(sfd);
    return status;
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

    enum { OPT_DAEMON = 256, OPT_NO_DAEMON, OPT_JSON, OPT_IOR_FILE, OPT_SOURCE, OPT_NOTIFY };
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
                                                 {0, 0, 0, 0}};
    std::vector<std::string> flags;
    std::string daemon_path = daemon_beside_us(), ior_file;
    const char *source = "auto";
    bool no_daemon = false, notify = false;
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

    // Before the first call can come.
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
        fprintf(stderr, "pyxo-watch: cannot serve: %s\n", e._name());
        watch_followup_stop();
        return 1;
    }

    if (!ior_file.empty()) {
        if (!watch_write_ior_file(ior_file, ior)) {
            fprintf(stderr, "pyxo-watch: cannot write %s: %s\n", ior_file.c_str(), strerror(errno));
            watch_followup_stop();
            return 1;
        }
        if (format == WATCH_TEXT)
            fprintf(stderr, "pyxo-watch: IOR written to %s\n", ior_file.c_str());
    } else {
        fprintf(stderr, "pyxo-watch: IOR %s\n", (const char *)ior);
    }

    if (!no_daemon) {
        // On standard error in both formats: with --json, standard output
        // carries JSON alone.
        if (strcmp(chosen, "sysfs") == 0)
            fprintf(stderr, "pyxo-watch: source sysfs: pyxod --sysfs watches %s through udev\n",
                    PYXO_SCSI_HOST_CLASS);
        else
            fprintf(stderr, "pyxo-watch: source proc: pyxod reads %s every 3 seconds\n",
                    pyxo_proc_scsi());
        pid_t pid =
            watch_daemon_start(daemon_path, flags, ior, &old_mask, detaches, format == WATCH_JSON);
        if (pid < 0) {
            fprintf(stderr, "pyxo-watch: cannot start the daemon: %s\n", strerror(errno));
            watch_followup_stop();
            return 1;
        }
        starter = pid;
    }

    int status = follow_daemon(&handled, no_daemon);

    if (!no_daemon && format == WATCH_TEXT)
        fprintf(stderr, "pyxo-watch: pyxod ended with status %d\n", status);
    if (!ior_file.empty())
        unlink(ior_file.c_str());
    watch_followup_stop();
    try {
        orb->destroy();
    } catch (const CORBA::Exception &) {
    }
    // A closed reader ends us quietly, with the status of the stopped daemon;
    // any other failed write is a failure of ours.
    int error = watch_output_error();
    return error && error != EPIPE ? 1 : status;
}
