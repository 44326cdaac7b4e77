// pyxod: watches USB storage media under the kernel's SCSI emulation files
// and reports each new medium and each change to the servant whose object
// reference (IOR) is the last argument.
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <popt.h>

#include "file_ext.h"
#include "pyxo_paths.h"
#include "pyxod.h"

static struct poptOption options[] = {
    {"help", 'h', POPT_ARG_NONE, NULL, 'h', "Display this help", "none"},
    {"daemonize", 'd', POPT_ARG_NONE, NULL, 'd', "Daemonize the process", "none"},
    {"use_log", 'l', POPT_ARG_NONE, NULL, 'l', "Log information", "none"},
    {"use_syslog", 's', POPT_ARG_NONE, NULL, 's', "Log using syslog", "none"},
    {"sysfs", 'u', POPT_ARG_NONE, NULL, 'u', "Watch sysfs through udev, not /proc/scsi", "none"},
    POPT_TABLEEND,
};

// omniORB's own settings, so that no configuration file is needed; given
// here, they also beat the environment and any configuration file. Each
// call is one GIOP request with no reply expected and no LocateRequest
// before it; a servant that stops reading, or an address that swallows
// packets, fails the call after a few seconds instead of freezing us.
// A oneway report written to a connection that the servant has closed is
// lost without an error, so we close an idle connection first, after 20 to
// 25 s, long before a servant of ours does (pyxo-watch: 180 s); the next
// report opens a new one. A granularity of 0 would stop every idle scan.
static const char *orb_options[][2] = {
    {"verifyObjectExistsAndType", "0"},
    {"clientConnectTimeOutPeriod", "3000"},
    {"clientCallTimeOutPeriod", "3000"},
    {"outConScanPeriod", "20"},
    {"scanGranularity", "5"},
    {0, 0},
};

// Where media are seen: /proc/scsi, or with -u sysfs through udev.
static int use_sysfs = 0;
// -d: the process detaches (and the log's console copy stops).
static int detach = 0;

static void print_help(poptContext context) {
    printf("*********************************************************\n");
    printf("pyxod : the pyxo daemon process watching USB disks\n");
    printf("WARNING : This process is not suppose to be start by hand.\n");
    printf("Usage : pyxod <IOR KEY>\n\n");
    poptPrintHelp(context, stdout, 0);
}

static void parse_options(int argc, char **argv) {
    poptContext context = poptGetContext("pyxo", argc, (const char **)argv, options, 0);
    int option;
    while ((option = poptGetNextOpt(context)) != -1) {
        switch (option) {
            case 'h':
                print_help(context);
                poptFreeContext(context);
                exit(0);
            case 'd':
                detach = 1;
                log_open(LOG_NO_CONSOLE);
                break;
            case 'l':
                log_open(LOG_TO_FILE);
                break;
            case 's':
                log_open(LOG_TO_SYSLOG);
                break;
            case 'u':
                use_sysfs = 1;
                break;
            default:  // an option not in the table: ignored
                break;
        }
    }
    poptFreeContext(context);
}

int main(int argc, char **argv) {
    pyxod_paths_anchor();
    parse_options(argc, argv);

    if (!signals_block()) {
        logprintf(LOG_ERR, "couldn't set signal handler\n");
        go_signal(SIGTERM);
    }
    // A signal pending now would be lost to the detached child.
    signals_take_pending();
    if (detach && daemon(0, 0) == -1) {
        logprintf(LOG_ERR, "daemon() failed");
        go_signal(SIGTERM);
    }
    if (!register_process())
        go_signal(SIGTERM);
    if (argc < 2) {
        logprintf(LOG_ERR, "No ior : ABORT\n");
        go_signal(SIGTERM);
    }

    PYXO_exception_init(&ev);
    orb = PYXO_ORB_init(argc, argv, orb_options, &ev);
    ior = g_strdup(argv[argc - 1]);
    // A failure to start the ORB shows here, as a failed conversion.
    if (!PYXO_exception_raised(&ev))
        servant = PYXO_servant_from_string(orb, ior, &ev);
    if (PYXO_exception_raised(&ev)) {
        logprintf(LOG_ERR, "Servant : %s\n%s\n", PYXO_exception_id(&ev),
                  "IOR parsing errror : Exit");
        go_signal(SIGTERM);
    }

    media_open();
    scan_compile_patterns();
    // Listening starts before the announcement: a stick plugged in once the
    // servant knows us is never missed between the first pass and the events.
    if (use_sysfs && !sysfs_open()) {
        logprintf(LOG_ERR, "Can't use udev, abort");
        go_signal(SIGTERM);
    }

    // Stopped during the start-up: the servant hears nothing of us.
    signals_take_pending();
    PYXO_servant_daemon_attached(servant, (CORBA::Long)getpid(), &ev);
    if (PYXO_exception_raised(&ev)) {
        logprintf(LOG_ERR, "Servant : %s\n%s\n", PYXO_exception_id(&ev),
                  "Can't connect to servant : exit");
        go_signal(SIGTERM);
    }

    for (;;) {
        if (use_sysfs) {
            sysfs_pass(NULL);
        } else if (!scan_tree(pyxo_proc_scsi(), NULL)) {
            logprintf(LOG_ERR, "Can't access scsi emulation information, abort");
            go_signal(SIGTERM);
        }
        if (!use_sysfs) {
            signals_take(signals_pause(3));
        } else {
            // A udev event starts the next pass at once; the 3-second pass
            // stays for events lost, or never sent where no udev daemon runs.
            int sig = signals_wait(3, sysfs_monitor_fd());
            if (sig == SIGNALS_FD_READY)
                sysfs_take_events();
            else
                signals_take(sig);
        }
    }
}
