// The common frame of the process tests: a fixture tree, the console
// servant and one pyxod talking to it.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "daemon_harness.h"

// Generous: the daemon's 3-second period is part of its contract, and the
// sanitizer build on a loaded machine is slow.
constexpr std::chrono::seconds kPass{20};

class DaemonTest : public ::testing::Test {
  protected:
    fixture_tree tree;
    watch w;
    child d;

    void TearDown() override {
        kill_child(d);
        kill_child(w.proc);
    }

    void start_servant(const std::vector<std::string> &args = {}) {
        w = start_watch(tree, args);
        ASSERT_FALSE(w.ior.empty()) << "pyxo-watch wrote no IOR";
    }

    // Servant and daemon, with the daemon announced. Another user's daemon
    // reaches the servant through an endpoint open to all.
    void start(const std::vector<std::string> &args = {"-l"}, const spawn_options &o = {}) {
        if (o.as_nobody)
            start_servant({"-ORBendPoint", "giop:tcp:127.0.0.1:"});
        else
            start_servant();
        spawn_options opts = o;
        opts.merge_stderr = true;
        d = start_daemon(tree, args, w.ior, opts);
        std::string line = wait_line(
            w.proc, [](const std::string &l) { return contains(l, "\"daemon_attached\""); }, kPass);
        ASSERT_FALSE(line.empty()) << "no daemon_attached";
        if (!o.as_nobody) {
            EXPECT_EQ(line, "{\"op\":\"daemon_attached\",\"pid\":" + std::to_string(d.pid) + "}");
        }
    }

    // Sends `sig` and expects the clean stop: exit 7, "Exit" last, no lock.
    void stop_with(int sig) {
        ASSERT_EQ(kill(d.pid, sig), 0);
        int status = wait_exit(d, kPass);
        EXPECT_EQ(status_text(status), "exit 7");
        auto log = log_messages(tree.log);
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back(), "Exit");
        EXPECT_FALSE(file_exists(tree.lock));
    }

    // The same for a daemon that logs to the console only.
    void stop_with_console_only(int sig) {
        ASSERT_EQ(kill(d.pid, sig), 0);
        EXPECT_EQ(status_text(wait_exit(d, kPass)), "exit 7");
        drain(d, 5s);
        ASSERT_FALSE(d.lines.empty());
        EXPECT_EQ(d.lines.back(), "Exit");
        EXPECT_FALSE(file_exists(tree.lock));
    }

    std::string host(const std::string &name) {
        return tree.scsi + "/usb-storage/" + name;
    }

    // Plugs in a new medium and waits for its report: every pass that began
    // before it is over by then.
    void marker(const std::string &serial) {
        write_file(tree.scsi + "/usb-storage/m" + serial, usb_host_file(9, serial, "Yes"));
        ASSERT_TRUE(wait_report(w, serial, kPass, nullptr)) << "no report for " << serial;
    }

    // The "Media ... state changed" lines of the log, in order.
    std::vector<std::string> media_lines() {
        std::vector<std::string> out;
        for (auto &m : log_messages(tree.log))
            if (m.rfind("Media ", 0) == 0)
                out.push_back(m);
        return out;
    }
};

inline std::string media_line(const std::string &serial, bool attached) {
    return "Media " + serial + " state changed : " + (attached ? "Attached" : "Removed");
}
