// A GIOP 1.0 request written byte by byte, for what an ORB's own API will
// not send (an empty operation name, for one).
#pragma once

#include <string>

// Sends a request for `operation` with a CDR long argument to the object of
// `ior` (an IIOP profile, see raw_giop_connect) and waits for the reply. Returns the repository id
// of the system exception the reply carries, "" for a normal reply, or
// "error: ..." when the exchange itself failed.
std::string raw_giop_request(const std::string &ior, const std::string &operation, int argument);

// Connects to the object of `ior`: to the unix socket that omniORB names in
// its IIOP profile (component TAG_OMNIORB_UNIX_TRANS) when there is one,
// else to the profile's host and port. `flags` are added to socket()'s type
// (SOCK_NONBLOCK: the connection is not waited for). The descriptor, or -1
// with errno set.
int raw_giop_connect(const std::string &ior, int flags);
