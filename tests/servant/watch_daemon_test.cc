// pyxo-watch with a real pyxod: a flood of idle connections to its port.
#include <arpa/inet.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <filesystem>

#include "daemon_test_fixture.h"
#include "raw_giop.h"

namespace {

long entries(const std::string &dir) {
    return std::distance(std::filesystem::directory_iterator(dir), {});
}

}  // namespace

// 1,100 connections that send nothing, held while the daemon reports (several
// media in one pass): the reports arrive, in the order sent, and pyxo-watch
// keeps a bounded number of threads and descriptors.
using Flood = DaemonTest;

TEST_F(Flood, IdleConnectionsLeaveReportsFlowingInOrder) {
    struct rlimit limit;
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;  // pyxo-watch inherits it: no help from a low limit
    if (limit.rlim_max < 1300 || setrlimit(RLIMIT_NOFILE, &limit) != 0)
        GTEST_SKIP() << "descriptor limit too low for the flood: " << limit.rlim_max;
    start();
    std::string address;
    struct sockaddr_in to = {};
    int port = 0;
    ASSERT_TRUE(raw_giop_address(w.ior, address, port));
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &to.sin_addr);
    std::vector<int> held(1100);
    for (int &fd : held) {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        connect(fd, (struct sockaddr *)&to, sizeof to);
    }

    const std::vector<std::string> serials = {"f1a", "f1b", "f1c", "f1d"};
    for (const std::string &serial : serials)
        write_file(host(serial), usb_host_file(2, serial, "Yes"));
    long most = 0;
    std::string proc = "/proc/" + std::to_string(w.proc.pid);
    for (const std::string &serial : serials) {
        ASSERT_TRUE(wait_report(w, serial, kPass, nullptr)) << serial;
        most = std::max({most, entries(proc + "/task"), entries(proc + "/fd")});
    }
    std::vector<std::string> printed;
    report r;
    for (const std::string &line : w.proc.lines)
        if (parse_report(line, &r))
            printed.push_back(media_line(r.serial, r.attached));
    EXPECT_EQ(printed, media_lines()) << "printed in the order the daemon sent them";
    EXPECT_LT(most, 100) << "threads or descriptors";
    for (int fd : held)
        close(fd);
}
