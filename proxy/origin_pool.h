// Idle connections to origins, shared by every client: a request for an
// origin takes one of its idle connections, if any, instead of opening a
// new one, which saves a TCP handshake (and its round trips) per request.
//
// Only a connection whose last answer ended exactly where its framing said,
// and whose origin keeps it open, is parked here (proxy_relay.h decides);
// one client's bytes can therefore never reach another client. A parked
// connection leaves the pool when it is taken, after idle_limit seconds,
// when its origin closes it or sends anything while it waits, or when the
// pool is full. Keyed by the origin's canonical host and port, as the
// request named them; the most recently parked connection of an origin is
// taken first. Tunnels never come here.
//
// The pool alone knows which connections it holds and until when: each
// connection carries its `place`, which only the pool reads and writes; the
// connection asks holds() and expires_at(). Owned by the proxy's context
// (proxy_context.h), whose server ends every connection before the pool
// goes. Loop's thread only.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

class proxy_connection;

class origin_pool {
public:
    // Idle connections kept per origin, and in all. The share of one origin is
    // as large as the number of clients that may be busy with it at once: a
    // single turn can finish the answers of hundreds of keep-alive clients
    // before their next requests are read, and every connection a smaller share
    // turns away is one the next request must open again (with 1,000 clients of
    // one origin, a share of 64 opened a connection for four requests in five).
    // Both give way to a quarter of the process's descriptor limit, so that idle
    // connections (which one client's requests can fill) never keep the proxy
    // from accepting clients.
    static constexpr int per_origin = 1024;
    static constexpr int total = 4096;

    // Seconds a connection may wait in the pool: less than origins commonly
    // keep an idle connection, so that it is rarely taken just as the origin
    // closes it.
    static constexpr int32_t idle_limit = 4;

    // A connection's membership, kept in the connection for the pool.
    class place {
        friend class origin_pool;
        int64_t since = -1;  // when it was parked (monotonic ms); -1: not in the pool
    };

    origin_pool() = default;
    origin_pool(const origin_pool&) = delete;
    origin_pool& operator=(const origin_pool&) = delete;

    // An idle connection to host:port, out of the pool, or null.
    proxy_connection* take(const std::string& host, int32_t port);
    // Puts c, a connection to host:port whose place is `at`, in the pool at
    // `now`; false when it is full (c is then to end).
    bool park(proxy_connection* c, place& at, const std::string& host, int32_t port, int64_t now);
    // Takes c out of the pool, if it is there (it is ending, or has shown
    // it can be trusted no more).
    void remove(proxy_connection* c, place& at, const std::string& host, int32_t port);
    // Whether the connection whose place is `at` waits in the pool, and the
    // moment its wait runs out.
    static bool holds(const place& at) { return at.since >= 0; }
    static int64_t expires_at(const place& at) { return at.since + int64_t(idle_limit) * 1000 + 1; }
    // Connections in the pool.
    int size() const { return count; }

private:
    struct entry {
        proxy_connection* connection;
        place* at;
    };
    std::unordered_map<std::string, std::vector<entry>> idle;  // by key(host, port)
    int count = 0;
};
