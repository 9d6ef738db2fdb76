// Idle connections to origins, shared by every client: a request for an
// origin takes one of its idle connections, if any, instead of opening a
// new one, which saves a TCP handshake (and its round trips) per request.
//
// Only a connection whose last answer ended exactly where its framing said,
// and whose origin keeps it open, is parked here (proxy_relay.h decides);
// one client's bytes can therefore never reach another client. A parked
// connection leaves the pool when it is taken, after
// proxy_connection::pool_idle seconds, when its origin closes it or sends
// anything while it waits, or when the pool is full. Keyed by the origin's
// canonical host and port, as the request named them; the most recently
// parked connection of an origin is taken first. Tunnels never come here.
// Loop's thread only.
#pragma once

#include <cstdint>
#include <string>

class proxy_connection;

namespace origin_pool {

// Idle connections kept per origin, and in all. The share of one origin is
// as large as the number of clients that may be busy with it at once: a
// single turn can finish the answers of hundreds of keep-alive clients
// before their next requests are read, and every connection a smaller share
// turns away is one the next request must open again (with 1,000 clients of
// one origin, a share of 64 opened a connection for four requests in five).
// Both give way to a quarter of the process's descriptor limit, so that idle
// connections (which one client's requests can fill) never keep the proxy
// from accepting clients.
constexpr int per_origin = 1024;
constexpr int total = 4096;

// An idle connection to host:port, out of the pool, or null.
proxy_connection* take(const std::string& host, int32_t port);
// Puts c, a connection to host:port, in the pool; false when it is full (c
// is then to end).
bool park(proxy_connection* c, const std::string& host, int32_t port);
// Takes c, parked for host:port, out of the pool (it is ending).
void remove(proxy_connection* c, const std::string& host, int32_t port);
// Connections in the pool.
int size();

}  // namespace origin_pool
