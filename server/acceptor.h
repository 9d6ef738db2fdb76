// Takes clients off the listening socket and makes each a connection of the
// server: the counterpart of connector (outgoing connections).
//
// Clients are taken in bursts: a turn accepts while the listener stays
// readable, up to per_turn clients, so a thousand connects are taken within a
// few turns and the servicing of existing connections goes on meanwhile.
//
// When descriptors (or kernel buffers) run out, accept() fails while the
// client stays queued and the listener stays readable; accepting then pauses
// for 100 ms, with the listener's read interest off, so that the loop does
// not spin on it. The first turn after the pause turns it back on.
//
// Owned by abstract_server and used on the loop's thread only.
#pragma once

#include <cstdint>

class abstract_server;
class connection_registry;

class acceptor {
public:
    enum class outcome {
        client,   // a new connection is enlisted
        skipped,  // this client failed or was refused; the next may be fine
        none,     // nothing pending now, or accepting has just paused
        broken,   // the listening socket itself is broken
    };

    // Clients accepted in one turn at most: enough to take a burst at once,
    // bounded so that the connections already there wait little for a turn.
    static constexpr int per_turn = 64;

    acceptor(abstract_server& server, connection_registry& registry) : server(server), registry(registry) {}

    // Accepts one pending client from listener: asks the server's
    // create_connection() for a connection (null refuses the client), fills
    // in its socket and peer, lets on_accept() refuse it, registers the
    // socket for polling and enlists it. A refused client's connection is
    // deleted (on_remove is not called: it was never the server's) and its
    // socket closed. Every failure except an empty queue or an interrupted
    // call prints "accept() failed".
    outcome accept_one(int listener);

    // A turn's accepting: ends a pause that is over, then accepts while the
    // poll reports listener readable, up to per_turn clients and until an
    // outcome other than a client. False when the listener is broken; the
    // server restarts then.
    bool accept_burst(int listener);

private:
    abstract_server& server;
    connection_registry& registry;

    // While descriptors are short, accepting pauses until this monotonic time
    // in milliseconds; 0 when not paused.
    int64_t paused_until = 0;
};
