// The listening socket, opened once at start-up: on 127.0.0.1 only or on
// every IPv4 adapter, with the lines that tell the operator which.
#pragma once

#include <cstdint>
#include <netinet/in.h>

// Clients the kernel queues before the server accepts them. Bursts of a
// thousand connects are common for a proxy; a short queue drops their SYNs
// and costs each such client a retransmission second or more.
constexpr int listen_backlog = 4096;

// Opens a non-blocking TCP socket listening on port (127.0.0.1 only when
// local_only) and registers it with sockets for reading. Returns the socket,
// or -1 on failure.
//
// Prints "Binding to port N on localhost only", or "Binding to port N on all
// adapters:" and then the IPv4 address of every interface, one per line. A
// failure prints its own reason: "getaddrinfo() failed: ...", "socket()
// failed", "bind() failed: ..." with a hint about a port already taken, or
// "listen() failed" (also when the poll refuses the socket).
int open_listener(int32_t port, bool local_only);

// Stops polling fd, a socket open_listener() returned, and closes it.
void close_listener(int fd);

// Whether a connect to `to` would reach a listener opened with these
// arguments: on 127.0.0.1 (or 0.0.0.0, which the system connects to the
// local host) for local_only, on any loopback or local interface address
// otherwise. A connection that would loop back into the server itself is
// refused with this before it is made.
bool reaches_listener(int32_t port, bool local_only, const sockaddr_in& to);
