// pyxo-watch's ORB: served on the loopback only, with bounded threads and
// descriptors so that a flood of idle connections cannot take it down.
#pragma once

#include "PYXO.hh"

// Starts the ORB (removing its -ORB options from argv). Throws
// CORBA::Exception when it cannot.
CORBA::ORB_ptr watch_orb_init(int &argc, char **argv);
