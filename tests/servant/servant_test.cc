// The PYXO interface end to end: every value of every operation arrives
// exactly, within one process and across processes through pyxo-watch; a
// dead servant and a malformed IOR fail the way the daemon expects; the
// generated dispatcher refuses names that are not exactly ours.
#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>
#include <json-glib/json-glib.h>

#include <functional>
#include <string>
#include <vector>

#include "orb_peer.h"
#include "process.h"
#include "raw_giop.h"

namespace {

struct call {
    std::function<void(PYXO::servant_ptr, PYXO_Environment *)> send;
    std::string expected;  // pyxo-watch's JSON line
};

PYXO::media_ST media(const char *serial, bool attached, short bus, short channel, short id,
                     short lun) {
    PYXO::media_ST m;
    m.serial = serial;
    m.attached = attached;
    m.scsi.s_bus = bus;
    m.scsi.s_channel = channel;
    m.scsi.s_id = id;
    m.scsi.s_lun = lun;
    return m;
}

call attached(CORBA::Long pid, const std::string &json) {
    return {[pid](PYXO::servant_ptr s, PYXO_Environment *ev) {
                PYXO_servant_daemon_attached(s, pid, ev);
            },
            json};
}

call changed(PYXO::media_ST m, const std::string &json) {
    return {
        [m](PYXO::servant_ptr s, PYXO_Environment *ev) { PYXO_servant_media_changed(s, &m, ev); },
        json};
}

call command(PYXO::servant::Cmd c, const std::string &json) {
    return {[c](PYXO::servant_ptr s, PYXO_Environment *ev) {
                PYXO_servant_servant_remote_command(s, c, ev);
            },
            json};
}

// EXIT comes last: it ends pyxo-watch.
std::vector<call> every_value() {
    return {
        attached(4242, R"({"op":"daemon_attached","pid":4242})"),
        attached(2147483647, R"({"op":"daemon_attached","pid":2147483647})"),
        attached(-2147483647 - 1, R"({"op":"daemon_attached","pid":-2147483648})"),
        changed(media("0a1B2c3D4e5F", true, 2, 0, 0, 0),
                R"({"op":"media_changed","serial":"0a1B2c3D4e5F","attached":true,)"
                R"("s_bus":2,"s_channel":0,"s_id":0,"s_lun":0})"),
        changed(media("FFFF", false, -1, -32768, 32767, 1),
                R"({"op":"media_changed","serial":"FFFF","attached":false,)"
                R"("s_bus":-1,"s_channel":-32768,"s_id":32767,"s_lun":1})"),
        changed(media("q\"uote\\d\t", true, 3, 4, 5, 6),
                R"({"op":"media_changed","serial":"q\"uote\\d\t","attached":true,)"
                R"("s_bus":3,"s_channel":4,"s_id":5,"s_lun":6})"),
        // Control bytes escaped; each byte of broken UTF-8 made U+FFFD.
        changed(media("c\x01\x1f\x7f x\xff\xc3", false, 7, 0, 0, 0),
                R"({"op":"media_changed","serial":"c\u0001\u001f\u007f x)"
                "\xef\xbf\xbd\xef\xbf\xbd"
                R"(","attached":false,"s_bus":7,"s_channel":0,"s_id":0,"s_lun":0})"),
        command(PYXO::servant::ICONIFY, R"({"op":"servant_remote_command","cmd":0})"),
        command(PYXO::servant::HIDE, R"({"op":"servant_remote_command","cmd":1})"),
        command(PYXO::servant::POPUP, R"({"op":"servant_remote_command","cmd":2})"),
        command(PYXO::servant::EXIT, R"({"op":"servant_remote_command","cmd":3})"),
    };
}

PYXO::servant_ptr resolve(const std::string &ior) {
    PYXO_Environment ev;
    PYXO::servant_ptr s = PYXO_servant_from_string(test_orb(), ior.c_str(), &ev);
    EXPECT_EQ(ev._major, PYXO_NO_EXCEPTION) << PYXO_exception_id(&ev);
    return s;
}

// pyxo-watch serving on its own, with its IOR in a file.
struct watch {
    temp_dir dir;
    child proc;
    std::string ior;
    watch() {
        std::string ior_file = dir / "ior";
        proc = spawn({bin_dir() + "/pyxo-watch", "--no-daemon", "--json", "--ior-file", ior_file});
        if (!wait_for_file(ior_file, non_empty, 10s))
            throw std::runtime_error("pyxo-watch wrote no IOR");
        ior = read_file(ior_file);
        ior.erase(ior.find_last_not_of("\n") + 1);
    }
};

}  // namespace

TEST(RoundTrip, EveryValueArrivesExactlyInOneProcess) {
    static recording_servant impl;  // lives as long as the ORB
    PYXO::servant_ptr s = resolve(activate(&impl));
    std::vector<call> calls = every_value();
    for (call &c : calls) {
        PYXO_Environment ev;
        c.send(s, &ev);
        EXPECT_EQ(ev._major, PYXO_NO_EXCEPTION) << PYXO_exception_id(&ev);
    }
    std::vector<std::string> got = impl.wait_for(calls.size(), 10000);
    ASSERT_EQ(got.size(), calls.size());
    for (size_t i = 0; i < calls.size(); i++)
        EXPECT_EQ(got[i], calls[i].expected);
    PYXO_Environment ev;
    PYXO_servant_release(s, &ev);
}

TEST(RoundTrip, EveryValueArrivesExactlyThroughPyxoWatch) {
    watch w;
    PYXO::servant_ptr s = resolve(w.ior);
    for (call &c : every_value()) {
        PYXO_Environment ev;
        c.send(s, &ev);
        ASSERT_EQ(ev._major, PYXO_NO_EXCEPTION) << PYXO_exception_id(&ev);
        std::string line;
        ASSERT_TRUE(read_line(w.proc, line, 10s)) << "nothing for " << c.expected;
        EXPECT_EQ(line, c.expected);
        JsonParser *parser = json_parser_new();
        EXPECT_TRUE(json_parser_load_from_data(parser, line.c_str(), -1, NULL)) << line;
        g_object_unref(parser);
    }
    // The EXIT command ends a servant that started no daemon, with status 0.
    int ws = wait_exit(w.proc, 10s);
    ASSERT_TRUE(WIFEXITED(ws)) << ws;
    EXPECT_EQ(WEXITSTATUS(ws), 0);
    PYXO_Environment ev;
    PYXO_servant_release(s, &ev);
}

TEST(Failures, DeadServantGivesASystemExceptionOnAOnewayCall) {
    std::string ior;
    {
        watch w;
        ior = w.ior;
        kill(w.proc.pid, SIGTERM);
        ASSERT_NE(wait_exit(w.proc, 10s), -1);
    }
    PYXO::servant_ptr s = resolve(ior);  // converting makes no call
    PYXO_Environment ev;
    PYXO_servant_daemon_attached(s, 1, &ev);
    EXPECT_EQ(ev._major, PYXO_SYSTEM_EXCEPTION);
    EXPECT_STREQ(PYXO_exception_id(&ev), "IDL:omg.org/CORBA/TRANSIENT:1.0");
    PYXO::media_ST m = media("0a", true, 2, 0, 0, 0);
    PYXO_servant_media_changed(s, &m, &ev);
    EXPECT_EQ(ev._major, PYXO_SYSTEM_EXCEPTION);
    PYXO_servant_release(s, &ev);
}

TEST(Failures, MalformedIorRaisesAtConversion) {
    for (const char *ior : {"-d", "IOR:", "IOR:0102zz", "corbaloc:", ""}) {
        PYXO_Environment ev;
        PYXO::servant_ptr s = PYXO_servant_from_string(test_orb(), ior, &ev);
        EXPECT_EQ(ev._major, PYXO_SYSTEM_EXCEPTION) << ior;
        EXPECT_STRNE(PYXO_exception_id(&ev), "") << ior;
        EXPECT_TRUE(CORBA::is_nil(s)) << ior;
    }
}

TEST(Dispatcher, OnlyTheThreeExactNamesAreServed) {
    watch w;
    // Written on the wire by hand: the ORB's own request API refuses to send
    // an empty operation name.
    for (const char *name : {"daemon_attachedx", "daemon_attache", "Daemon_attached",
                             "media_changed_", "Media_changed", "servant_remote", "x", ""}) {
        EXPECT_EQ(raw_giop_request(w.ior, name, 7), "IDL:omg.org/CORBA/BAD_OPERATION:1.0")
            << "'" << name << "'";
    }
    // The exact name goes through the same path and arrives.
    EXPECT_EQ(raw_giop_request(w.ior, "daemon_attached", 7), "");
    std::string line;
    ASSERT_TRUE(read_line(w.proc, line, 10s));
    EXPECT_EQ(line, R"({"op":"daemon_attached","pid":7})");

    // The same through the ORB's dynamic invocation.
    CORBA::Object_var obj = test_orb()->string_to_object(w.ior.c_str());
    CORBA::Request_var req = obj->_request("servant_remote_commandx");
    req->add_in_arg() <<= (CORBA::ULong)1;
    req->set_return_type(CORBA::_tc_void);
    std::string raised;
    try {
        req->invoke();
        if (CORBA::Exception *e = req->env()->exception())
            raised = e->_rep_id();
    } catch (const CORBA::Exception &e) {
        raised = e._rep_id();
    }
    EXPECT_EQ(raised, "IDL:omg.org/CORBA/BAD_OPERATION:1.0");
}
