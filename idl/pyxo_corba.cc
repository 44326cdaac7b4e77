#include "pyxo_corba.h"

#include <glib.h>

#include "pyxo_check.h"

void PYXO_exception_init(PYXO_Environment *ev) {
    ev->_major = PYXO_NO_EXCEPTION;
    ev->id[0] = '\0';
}

const char *PYXO_exception_id(const PYXO_Environment *ev) {
    return ev->id;
}

int PYXO_exception_raised(const PYXO_Environment *ev) {
    return ev->_major == PYXO_USER_EXCEPTION || ev->_major == PYXO_SYSTEM_EXCEPTION;
}

static void set_exception(PYXO_Environment *ev, int major, const char *id) {
    ev->_major = major;
    g_strlcpy(ev->id, id ? id : "", sizeof ev->id);
}

// Runs `call`, turning what it throws into ev.
template <typename F>
static void guarded(PYXO_Environment *ev, F call) {
    PYXO_exception_init(ev);
    try {
        call();
    } catch (const CORBA::SystemException &e) {
        set_exception(ev, PYXO_SYSTEM_EXCEPTION, e._rep_id());
    } catch (const CORBA::UserException &e) {
        set_exception(ev, PYXO_USER_EXCEPTION, e._rep_id());
    } catch (const CORBA::Exception &e) {
        set_exception(ev, PYXO_SYSTEM_EXCEPTION, e._rep_id());
    }
}

void PYXO_media_ST_new(PYXO::media_ST **m) {
    pyxo_return_if_fail(m != NULL);
    *m = new PYXO::media_ST;
    (*m)->serial = (const char *)"";
    (*m)->attached = false;
    (*m)->scsi.s_bus = (*m)->scsi.s_channel = (*m)->scsi.s_id = (*m)->scsi.s_lun = 0;
}

void PYXO_media_ST_copy(PYXO::media_ST **source, PYXO::media_ST **dest) {
    pyxo_return_if_fail(source != NULL);
    pyxo_return_if_fail(*source != NULL);
    pyxo_return_if_fail(dest != NULL);
    if (*source == *dest)
        return;
    if (*dest == NULL)
        *dest = new PYXO::media_ST;
    const PYXO::media_ST &s = **source;
    PYXO::media_ST &d = **dest;
    d.serial = (const char *)s.serial;  // a fresh copy; the old one is released
    d.attached = s.attached;
    d.scsi.s_bus = s.scsi.s_bus;
    d.scsi.s_channel = s.scsi.s_channel;
    d.scsi.s_id = s.scsi.s_id;
    d.scsi.s_lun = s.scsi.s_lun;
}

void PYXO_media_ST_destroy(PYXO::media_ST **m) {
    pyxo_return_if_fail(m != NULL);
    pyxo_return_if_fail(*m != NULL);
    delete *m;  // releases the serial with it
    *m = NULL;
}

CORBA::ORB_ptr PYXO_ORB_init(int &argc, char **argv, const char *options[][2],
                             PYXO_Environment *ev) {
    CORBA::ORB_ptr orb = CORBA::ORB::_nil();
    guarded(ev, [&] { orb = CORBA::ORB_init(argc, argv, "omniORB4", options); });
    return orb;
}

PYXO::servant_ptr PYXO_servant_from_string(CORBA::ORB_ptr orb, const char *ior,
                                           PYXO_Environment *ev) {
    PYXO::servant_ptr obj = PYXO::servant::_nil();
    guarded(ev, [&] {
        if (CORBA::is_nil(orb))
            throw CORBA::BAD_INV_ORDER();
        CORBA::Object_var o = orb->string_to_object(ior);
        // No _narrow: it would ask the servant whether it is one, and the
        // daemon makes no call but its two oneway reports.
        if (CORBA::is_nil(o))
            throw CORBA::INV_OBJREF();
        obj = PYXO::servant::_unchecked_narrow(o);
    });
    return obj;
}

void PYXO_servant_release(PYXO::servant_ptr obj, PYXO_Environment *ev) {
    guarded(ev, [&] { CORBA::release(obj); });
}

void PYXO_ORB_destroy(CORBA::ORB_ptr orb, PYXO_Environment *ev) {
    guarded(ev, [&] {
        if (CORBA::is_nil(orb))
            return;
        orb->destroy();
        CORBA::release(orb);
    });
}

void PYXO_servant_daemon_attached(PYXO::servant_ptr obj, CORBA::Long pid, PYXO_Environment *ev) {
    guarded(ev, [&] { obj->daemon_attached(pid); });
}

void PYXO_servant_media_changed(PYXO::servant_ptr obj, const PYXO::media_ST *media,
                                PYXO_Environment *ev) {
    guarded(ev, [&] {
        if (media == NULL)
            throw CORBA::BAD_PARAM();
        obj->media_changed(*media);
    });
}

void PYXO_servant_servant_remote_command(PYXO::servant_ptr obj, PYXO::servant::Cmd cmd,
                                         PYXO_Environment *ev) {
    guarded(ev, [&] { obj->servant_remote_command(cmd); });
}
