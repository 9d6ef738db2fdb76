// Outgoing TCP connections, from the connect() call to its outcome: the
// counterpart of the acceptor for incoming ones.
//
// A connection that reaches out (an upstream) makes its socket with start()
// and is handed to the server with its connect in progress
// (abstract_server::add_connection). From then on the connector sees the
// connect through:
//  - the socket is watched for writability, which the poll reports once the
//    connect has finished either way; a failure is also reported as an
//    error, and only then is its reason fetched;
//  - its moments (the connection's stagger, its connect_timeout) are in the
//    server's timer_heap: a connect that has taken the connection's
//    connect_stagger_ms is reported slow once (to race another address
//    beside it) and goes on; one that outlasts connect_timeout fails with
//    ETIMEDOUT;
//  - the outcome goes to the connection once, through on_connect(). After a
//    failure it may name a new socket with another attempt in progress (the
//    next address of the same peer, which it chooses); that socket takes the
//    failed one's place, with its moments counted from then.
// The connector reports what happened; turn_scheduler serves or ends the
// connection accordingly. Owned by abstract_server; loop thread only.
#pragma once

#include "server/socket_address.h"

#include <cstdint>

class connection;
class connection_registry;
class sockets;

class connector {
public:
    // Creates a non-blocking TCP socket for `to` (no Nagle delay: output is
    // handed over in large pieces already) and starts connecting it. Returns
    // the socket, whose connect is in progress or done, or -1 when no connect
    // could be started (no socket, or an error the system reports at once,
    // such as an unreachable network), with the reason in *error.
    static int start(const socket_address& to, int* error);

    // registry: for the socket of a new attempt. now: the turn's clock.
    connector(connection_registry& registry, const sockets& polled, const int64_t& now)
        : registry(registry), polled(polled), now(now)
    {
    }

    // c's socket has a connect in progress: it is polled for the outcome.
    void watch(connection* c);

    enum class step {
        waiting,    // no outcome yet (or no connect in progress at all)
        connected,  // the connect has just succeeded; c goes on as usual
        retrying,   // it failed, and another attempt is under way on a new socket
        failed,     // it failed and c has no other attempt: c is to end
    };

    // What the last poll says about c's connect in progress.
    step on_poll(connection* c);

    // When c's connect in progress is to be looked at next (its stagger,
    // its time limit); timer_heap::never when no connect is in progress.
    int64_t moment(const connection* c) const;

    // c's moment has come: reports the stagger (on_connect_slow(), once),
    // or fails the connect with ETIMEDOUT when it has outlasted its limit.
    step on_time(connection* c);

private:
    // Tells c how its connect ended, and starts watching its next attempt.
    step finish(connection* c, int error);

    connection_registry& registry;
    const sockets& polled;
    const int64_t& now;
};
