#include "orb_peer.h"

#include <chrono>

#include "watch_format.h"

CORBA::ORB_ptr test_orb() {
    static CORBA::ORB_ptr orb = [] {
        // The daemon's way: no existence check before the first call, and
        // bounded waits.
        const char *options[][2] = {{"endPoint", "giop:tcp:127.0.0.1:"},
                                    {"verifyObjectExistsAndType", "0"},
                                    {"clientConnectTimeOutPeriod", "3000"},
                                    {"clientCallTimeOutPeriod", "3000"},
                                    {0, 0}};
        int argc = 1;
        char name[] = "test", *argv[] = {name, NULL};
        return CORBA::ORB_init(argc, argv, "omniORB4", options);
    }();
    return orb;
}

// Calls are recorded in pyxo-watch's JSON form, so one expectation serves
// both the colocated and the cross-process round trips.
void recording_servant::daemon_attached(CORBA::Long pid) {
    record(watch_daemon_attached_line(WATCH_JSON, 0, pid));
}
void recording_servant::media_changed(const PYXO::media_ST &media) {
    record(watch_media_changed_line(WATCH_JSON, 0, media));
}
void recording_servant::servant_remote_command(PYXO::servant::Cmd cmd) {
    record(watch_command_line(WATCH_JSON, 0, cmd));
}

void recording_servant::record(const std::string &line) {
    std::lock_guard<std::mutex> lock(mutex);
    calls.push_back(line);
    arrived.notify_all();
}

std::vector<std::string> recording_servant::wait_for(size_t n, int timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex);
    arrived.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                     [&] { return calls.size() >= n; });
    return calls;
}

std::string activate(recording_servant *impl) {
    CORBA::ORB_ptr orb = test_orb();
    CORBA::Object_var obj = orb->resolve_initial_references("RootPOA");
    PortableServer::POA_var poa = PortableServer::POA::_narrow(obj);
    PortableServer::ObjectId_var id = poa->activate_object(impl);
    CORBA::Object_var ref = poa->id_to_reference(id);
    PortableServer::POAManager_var manager = poa->the_POAManager();
    manager->activate();
    CORBA::String_var ior = orb->object_to_string(ref);
    return (const char *)ior;
}
