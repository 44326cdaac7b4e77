#include "watch_orb.h"

#include <errno.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

// Descriptors below which accepted connections must fit: room for the
// daemon and a few clients, far enough below the process's limit that
// accept() never fails for want of one (omniORB retries such a failure at
// once, with the connection still pending: a full descriptor table burns a
// whole core). One thread serves each connection, so this bounds the
// threads too. Other users' connections get the lower half only: a flood
// from them leaves room for our own daemon when it connects again.
static int descriptor_budget = 64;

// Whether the other end of the loopback connection `conn` is a socket of our
// own user, asked of the kernel for that one socket.
static bool peer_is_our_user(int conn) {
    struct sockaddr_in peer, self;
    socklen_t peer_len = sizeof peer, self_len = sizeof self;
    if (getpeername(conn, (struct sockaddr *)&peer, &peer_len) != 0 ||
        getsockname(conn, (struct sockaddr *)&self, &self_len) != 0 || peer.sin_family != AF_INET)
        return false;
    struct {
        struct nlmsghdr header;
        struct inet_diag_req_v2 body;
    } request = {};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.body.sdiag_family = AF_INET;
    request.body.sdiag_protocol = IPPROTO_TCP;
    request.body.idiag_states = ~0u;
    request.body.id.idiag_sport = peer.sin_port;
    request.body.id.idiag_dport = self.sin_port;
    request.body.id.idiag_src[0] = peer.sin_addr.s_addr;
    request.body.id.idiag_dst[0] = self.sin_addr.s_addr;
    request.body.id.idiag_cookie[0] = request.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

    int diag = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (diag < 0)
        return false;
    union {
        struct nlmsghdr header;
        char bytes[1024];
    } reply;
    ssize_t n = -1;
    if (send(diag, &request, sizeof request, 0) == (ssize_t)sizeof request)
        n = recv(diag, &reply, sizeof reply, 0);
    close(diag);
    if (n < (ssize_t)NLMSG_LENGTH(sizeof(struct inet_diag_msg)) ||
        reply.header.nlmsg_type != SOCK_DIAG_BY_FAMILY)
        return false;
    const struct inet_diag_msg *found = (const struct inet_diag_msg *)NLMSG_DATA(&reply.header);
    return found->idiag_uid == geteuid();
}

// omniORB accepts every connection it is offered, with no limit of its own
// and no hook before it hands the connection to a new thread. This
// definition of accept() comes before the C library's, so omniORB's
// listener calls it: a connection past the budget is closed at once, and
// omniORB sees a connection aborted by its peer (it waits for the next one).
extern "C" int accept(int fd, struct sockaddr *addr, socklen_t *addr_len) {
    int conn = accept4(fd, addr, addr_len, 0);
    if (conn < descriptor_budget / 2 || (conn < descriptor_budget && peer_is_our_user(conn)))
        return conn;
    close(conn);
    errno = ECONNABORTED;
    return -1;
}

CORBA::ORB_ptr watch_orb_init(int &argc, char **argv) {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        limit.rlim_cur / 2 < (rlim_t)descriptor_budget)
        descriptor_budget = (int)(limit.rlim_cur / 2);

    // One call at a time per connection: the reports of one daemon print in
    // the order it sent them. A connection idle for 180 s is closed, so that
    // held connections free their place in the budget. The daemon's ORB
    // closes its own idle connection after 120 s, and it must be the first
    // to do so: a oneway report sent on a connection we have just closed is
    // lost without an error.
    const char *options[][2] = {{"endPoint", "giop:tcp:127.0.0.1:"},
                                {"maxServerThreadPerConnection", "1"},
                                {"inConScanPeriod", "180"},
                                {0, 0}};
    return CORBA::ORB_init(argc, argv, "omniORB4", options);
}
