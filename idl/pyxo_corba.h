// Media records and the client side of the PYXO interface.
//
// Records are created, copied and destroyed only through the three
// PYXO_media_ST_ functions. A record owns its serial. A record without a
// serial holds the empty string there (the C++ mapping's own start value),
// never null: a GUID always has at least one digit, so "" cannot be a real
// serial, and a record can always be marshalled.
//
// The client entry points never throw: every CORBA exception is turned into
// the environment record, which the caller tests after each call.
#pragma once

#include "PYXO.hh"

enum {
    PYXO_NO_EXCEPTION = 0,
    PYXO_USER_EXCEPTION = 1,
    PYXO_SYSTEM_EXCEPTION = 2,
};

// What the last call raised: the kind (_major) and the exception's
// repository id, e.g. "IDL:omg.org/CORBA/TRANSIENT:1.0".
struct PYXO_Environment {
    int _major;
    char id[128];
};

void PYXO_exception_init(PYXO_Environment *ev);
// The repository id of the exception held, or "" when there is none.
const char *PYXO_exception_id(const PYXO_Environment *ev);
// 1 when the last call failed: it raised a user or a system exception.
int PYXO_exception_raised(const PYXO_Environment *ev);

// *m receives a new record: serial "", attached FALSE, scsi all 0. A
// previous value of *m is overwritten, not released.
void PYXO_media_ST_new(PYXO::media_ST **m);
// *dest receives a deep copy of **source, reusing *dest when it is set.
void PYXO_media_ST_copy(PYXO::media_ST **source, PYXO::media_ST **dest);
// Releases *m with its serial and sets *m to null.
void PYXO_media_ST_destroy(PYXO::media_ST **m);

// Starts the ORB with `options` (name/value pairs ending with {0, 0}, as
// CORBA::ORB_init takes them); the ORB removes its own -ORB arguments from
// argv and lowers argc. Returns nil on failure, with the exception in ev.
CORBA::ORB_ptr PYXO_ORB_init(int &argc, char **argv, const char *options[][2],
                             PYXO_Environment *ev);
// Turns a stringified IOR into a servant reference without any remote call.
// Returns nil on failure, with the exception in ev; a well-formed IOR of the
// nil reference fails too (INV_OBJREF), as any call through it would.
PYXO::servant_ptr PYXO_servant_from_string(CORBA::ORB_ptr orb, const char *ior,
                                           PYXO_Environment *ev);
void PYXO_servant_release(PYXO::servant_ptr obj, PYXO_Environment *ev);
void PYXO_ORB_destroy(CORBA::ORB_ptr orb, PYXO_Environment *ev);

// The three oneway operations. `media` is only read.
void PYXO_servant_daemon_attached(PYXO::servant_ptr obj, CORBA::Long pid, PYXO_Environment *ev);
void PYXO_servant_media_changed(PYXO::servant_ptr obj, const PYXO::media_ST *media,
                                PYXO_Environment *ev);
void PYXO_servant_servant_remote_command(PYXO::servant_ptr obj, PYXO::servant::Cmd cmd,
                                         PYXO_Environment *ev);
