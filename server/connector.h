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
//  - in the once-a-second sweep, a connect that has taken longer than the
//    connection's connect_timeout fails with ETIMEDOUT;
//  - in every turn, a connect that has taken the connection's
//    connect_stagger_ms is reported slow once (to race another address
//    beside it) and goes on;
//  - the outcome goes to the connection once, through on_connect(). After a
//    failure it may name a new socket with another attempt in progress (the
//    next address of the same peer, which it chooses); that socket takes the
//    failed one's place, with its time limit counted from then.
// The connector reports what happened; turn_scheduler serves or ends the
// connection accordingly. Owned by abstract_server; loop thread only.
#pragma once

#include "server/socket_address.h"

#include <cstdint>
#include <ctime>
#include <vector>

class connection;
class connection_registry;

class connector {
public:
    // Creates a non-blocking TCP socket for `to` (no Nagle delay: output is
    // handed over in large pieces already) and starts connecting it. Returns
    // the socket, whose connect is in progress or done, or -1 when no connect
    // could be started (no socket, or an error the system reports at once,
    // such as an unreachable network), with the reason in *error.
    static int start(const socket_address& to, int* error);

    // registry: for the socket of a new attempt. now: the turn's clock.
    connector(connection_registry& registry, const time_t& now) : registry(registry), now(now) {}

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

    // In the sweep: whether c's connect in progress has outlasted its
    // connect_timeout, which fails it with ETIMEDOUT.
    step on_clock(connection* c);

    // Every turn: tells each connection whose connect has taken its
    // connect_stagger_ms that it is slow (once), and has the next poll wait
    // no longer than the nearest such moment.
    void tick();

    // c is ending: no more reports for it.
    void forget(connection* c);

private:
    // Tells c how its connect ended, and starts watching its next attempt.
    step finish(connection* c, int error);

    struct stagger {
        connection* c;
        int64_t due_ms;  // monotonic
    };

    connection_registry& registry;
    const time_t& now;
    std::vector<stagger> staggered;  // connects in progress with a stagger still to report
};
