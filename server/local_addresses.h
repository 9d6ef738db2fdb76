// The addresses of this host's own network interfaces, for the checks that
// must know whether a connect would stay on this host (the loop check, the
// egress policy's "this-host").
//
// Interfaces come and go while the server runs, so the list is read again
// (getifaddrs) when it is more than a second old at the time of a check, and
// never otherwise: a check costs a few comparisons. Loop thread only.
#pragma once

#include "server/socket_address.h"

// Whether `a` (any form: an IPv4-mapped address as its IPv4 address) is an
// address of one of this host's interfaces, as of at most a second ago.
bool is_local_address(const socket_address& a);
