// pyxo-watch's ORB: served on a unix socket that only our own user can
// reach, with bounded threads and descriptors so that a flood of
// connections cannot take it down.
#pragma once

#include "PYXO.hh"

// Makes a directory of our own (0700: under $XDG_RUNTIME_DIR when it is set,
// else under $TMPDIR or /tmp) and starts the ORB listening on a socket in it
// (removing its -ORB options from argv; an -ORBendPoint there adds an
// endpoint). Returns nil with errno set when the directory cannot be made;
// throws CORBA::Exception when the ORB cannot start.
CORBA::ORB_ptr watch_orb_init(int &argc, char **argv);

// Removes the socket and its directory. Only unlink and rmdir on names made
// before: safe in any thread, and more than once.
void watch_orb_remove_socket();
