// A GIOP 1.0 request written byte by byte, for what an ORB's own API will
// not send (an empty operation name, for one).
#pragma once

#include <string>

// Sends a request for `operation` with a CDR long argument to the object of
// `ior` (an IIOP profile) and waits for the reply. Returns the repository id
// of the system exception the reply carries, "" for a normal reply, or
// "error: ..." when the exchange itself failed.
std::string raw_giop_request(const std::string &ior, const std::string &operation, int argument);

// The host and port of the IIOP profile of `ior`; false when it has none.
bool raw_giop_address(const std::string &ior, std::string &host, int &port);
