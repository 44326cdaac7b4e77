#include "watch_orb.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/un.h>
#include <unistd.h>

#include <omniORB4/omniInterceptors.h>

#include <atomic>
#include <string>

// Made once before the ORB starts, so that removing them needs no
// allocation (it may run on the way to _exit).
static char socket_dir[sizeof(((struct sockaddr_un *)0)->sun_path)];
static char socket_path[sizeof socket_dir];

// Connections served at once: the daemon (two for a moment while a daemon
// takes over from another), and a few clients. Each holds a thread and a
// descriptor while it lasts; a flood of connections finds no more.
constexpr int kConnections = 8;
static std::atomic<int> serving{0};

// A thread serves each connection for its whole life (and a connection is
// refused in that thread), so the threads at work tell how many are open.
static void count_serving(omni::omniInterceptors::assignUpcallThread_T::info_T &info) {
    serving++;
    info.run();
    serving--;
}

// Closes a new connection at once when too many are open.
static CORBA::Boolean within_bounds(
    omni::omniInterceptors::serverAcceptConnection_T::info_T &info) {
    if (serving > kConnections) {
        info.reject = 1;
        info.why = "too many connections";
    }
    return 1;
}

// A new directory for the socket, 0700 from the start: omniORB makes the
// socket and only then gives it its mode, so the directory is what keeps
// other users out in between. Where $XDG_RUNTIME_DIR is unusable (or too
// long for a socket's name) the temporary directory serves.
static bool make_socket_dir() {
    const char *runtime = getenv("XDG_RUNTIME_DIR"), *tmp = getenv("TMPDIR");
    int error = ENAMETOOLONG;
    for (const char *base : {runtime, tmp, "/tmp"}) {
        if (base == NULL || *base != '/')
            continue;
        std::string dir = std::string(base) + "/pyxo-watch.XXXXXX", path = dir + "/orb";
        if (path.size() >= sizeof socket_path)
            continue;
        if (mkdtemp(dir.data()) == NULL) {
            error = errno;
            continue;
        }
        strcpy(socket_dir, dir.c_str());
        strcpy(socket_path, (dir + "/orb").c_str());
        return true;
    }
    errno = error;
    return false;
}

CORBA::ORB_ptr watch_orb_init(int &argc, char **argv) {
    if (!make_socket_dir())
        return CORBA::ORB::_nil();

    // A thread for each connection, one call at a time on it, so that the
    // reports of one daemon print in the order they were sent. (A pool of
    // threads would serve idle connections with none, but the ORB looks at
    // a pooled connection, and asks the accept interceptor, only once data
    // comes: silent connections would pile up until the descriptor table
    // is full, where omniORB's accept spins.) A request that starts but
    // never ends gives its thread back after 5 s. A connection idle for
    // 180 s is closed. The daemon's ORB closes its own idle connection
    // after 20 to 25 s, and it must be the first to do so: a oneway report
    // sent on a connection we have just closed is lost without an error.
    std::string endpoint = std::string("giop:unix:") + socket_path;
    const char *options[][2] = {{"endPoint", endpoint.c_str()},
                                {"unixTransportPermission", "0600"},
                                {"threadPerConnectionPolicy", "1"},
                                {"maxServerThreadPerConnection", "1"},
                                {"serverCallTimeOutPeriod", "5000"},
                                {"inConScanPeriod", "180"},
                                {0, 0}};
    CORBA::ORB_ptr orb;
    try {
        orb = CORBA::ORB_init(argc, argv, "omniORB4", options);
    } catch (...) {
        watch_orb_remove_socket();
        throw;
    }
    omniORB::getInterceptors()->assignUpcallThread.add(count_serving);
    omniORB::getInterceptors()->serverAcceptConnection.add(within_bounds);
    return orb;
}

void watch_orb_remove_socket() {
    if (*socket_path)
        unlink(socket_path);
    if (*socket_dir)
        rmdir(socket_dir);
}
