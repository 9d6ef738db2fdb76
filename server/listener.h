// The listening sockets, opened once at start-up: one per address family, on
// 127.0.0.1 and ::1 only or on every adapter, with the lines that tell the
// operator which.
#pragma once

#include "server/socket_address.h"

#include <cstdint>
#include <vector>

class sockets;

// Clients the kernel queues before the server accepts them. Bursts of a
// thousand connects are common for a proxy; a short queue drops their SYNs
// and costs each such client a retransmission second or more.
constexpr int listen_backlog = 4096;

// Opens non-blocking TCP sockets listening on port - 127.0.0.1 and ::1 when
// local_only, every IPv4 and every IPv6 address otherwise, the IPv6 one for
// IPv6 only so that each family is explicit - and registers them with
// sockets for reading. Returns the sockets (IPv4 first), or none on failure.
//
// Prints "Binding to port N on localhost only", or "Binding to port N on all
// adapters:" and then the IPv4 address of every interface, one per line. A
// failure prints its own reason: "getaddrinfo() failed: ...", "socket()
// failed", "bind() failed: ..." with a hint about a port already taken, or
// "listen() failed" (also when the poll refuses the socket). A host without
// IPv6 is served over IPv4 alone, after "Warning! IPv6 is not available
// (reason): listening on IPv4 only."
// polled watches them.
std::vector<int> open_listeners(sockets& polled, int32_t port, bool local_only);

// Stops polling fd, a socket open_listeners() returned, and closes it.
void close_listener(sockets& polled, int fd);

// Whether a connect to `to` would reach a listener opened with these
// arguments: on 127.0.0.1 or ::1 (or 0.0.0.0 and ::, which the system
// connects to the local host) for local_only, on any loopback or local
// interface address otherwise; an IPv4-mapped address counts as its IPv4
// one. A connection that would loop back into the server itself is refused
// with this before it is made.
bool reaches_listener(int32_t port, bool local_only, const socket_address& to);
