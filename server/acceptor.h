// Takes clients off the listening sockets (one per address family) and makes
// each a connection of the server: the counterpart of the connector for
// outgoing connections.
//
// Clients are taken in bursts: a turn accepts while the listener stays
// readable, up to per_turn clients, so a thousand connects are taken within a
// few turns and the serving of existing connections goes on meanwhile.
//
// When descriptors (or kernel buffers) run out, accept() fails while the
// client stays queued and the listener stays readable; accepting then pauses
// for pause_ms, with the listener's read interest off, so that the loop does
// not spin on it. The first turn after the pause turns it back on.
//
// Owned by abstract_server; loop thread only.
#pragma once

#include <cstdint>
#include <vector>

class connection_registry;
class sockets;
class server_hooks;

class acceptor {
public:
    // Clients accepted in one turn at most: enough to take a burst at once,
    // bounded so that the connections already there wait little for a turn.
    static constexpr int per_turn = 64;
    // Milliseconds accepting pauses when descriptors run out.
    static constexpr int64_t pause_ms = 100;

    // hooks: create_connection() and on_accept() for every client.
    acceptor(server_hooks& hooks, connection_registry& registry, sockets& polled)
        : hooks(hooks), registry(registry), polled(polled)
    {
    }

    // A turn's accepting: ends a pause that is over, then, for each
    // listener, accepts while the poll reports it readable, up to per_turn
    // clients and until an outcome other than a client. False when a
    // listener is broken; the server restarts then.
    bool accept_burst(const std::vector<int>& listeners);

private:
    enum class outcome {
        client,   // a new connection is enlisted
        skipped,  // this client failed or was refused; the next may be fine
        none,     // nothing pending now, or accepting has just paused
        broken,   // the listening socket itself is broken
    };

    // Accepts one pending client from listener: asks create_connection() for
    // a connection (null refuses the client), fills in its socket and peer,
    // lets on_accept() refuse it, has the socket polled and enlists it. A
    // refused client's connection is deleted (on_remove is not called: it was
    // never the server's) and its socket closed. Every failure except an
    // empty queue or an interrupted call prints "accept() failed".
    outcome accept_one(int listener);

    server_hooks& hooks;
    connection_registry& registry;
    sockets& polled;

    // While descriptors are short, accepting pauses until this monotonic time
    // in milliseconds; 0 when not paused.
    int64_t paused_until = 0;
};
