#include "colocated_servant.h"

#include "pyxod.h"

long colocated_reports = 0;

class counting_servant : public POA_PYXO::servant {
  public:
    void daemon_attached(CORBA::Long) override {}
    void media_changed(const PYXO::media_ST &) override {
        colocated_reports++;
    }
    void servant_remote_command(PYXO::servant::Cmd) override {}
};

static counting_servant *impl = NULL;
static PortableServer::POA_var poa;
static PortableServer::ObjectId_var id;

void colocated_servant_start(char *program) {
    int orb_argc = 1;
    char *orb_argv[] = {program, NULL};
    const char *orb_options[][2] = {{0, 0}};
    PYXO_exception_init(&ev);
    orb = PYXO_ORB_init(orb_argc, orb_argv, orb_options, &ev);
    CORBA::Object_var poa_object = orb->resolve_initial_references("RootPOA");
    poa = PortableServer::POA::_narrow(poa_object);
    PortableServer::POAManager_var manager = poa->the_POAManager();
    manager->activate();
    impl = new counting_servant;
    id = poa->activate_object(impl);
    servant = impl->_this();
}

void colocated_servant_stop(void) {
    PYXO_servant_release(servant, &ev);
    servant = PYXO::servant::_nil();
    poa->deactivate_object(id);
    impl->_remove_ref();
    poa = PortableServer::POA::_nil();
    PYXO_ORB_destroy(orb, &ev);
    orb = CORBA::ORB::_nil();
}
