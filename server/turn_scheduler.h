// Which connections a turn serves, and what serving one means.
//
// A turn has two halves, with the accepting of new clients between them
// (abstract_server::update()):
//  - input: for each connection at most one of error, read or write
//    handling, and the outcome of a connect in progress;
//  - output: ask each connection with an empty send buffer for output
//    (on_send) and send it at once; arm the sockets that refused some, end
//    the finished connections.
// Once a second a turn sweeps the whole list in order, in both halves, with
// time-outs: a connect that outlasts its connect_timeout fails with
// ETIMEDOUT, and a connection whose timed_out() says it has been idle too
// long is ended ("N has timed out."). The turns in between serve only the
// connections whose sockets reported something (input, after which each is
// woken) and the woken ones (output, see connection::wake()), so idle
// connections cost nothing per turn.
//
// A connection added or woken by a handler during the input half is served
// in the same turn's output half; one woken during the output half is served
// in the next turn, whose poll then does not wait.
//
// Ending: in a sweep a connection is unlinked at the list cursor and then
// ended, so the sweep goes on with the connection that followed; between
// sweeps its place is vacated (connection_registry.h). Either way
// abstract_server::end_connection() ends it, which calls forget() here.
//
// Write interest lasts one poll (sockets.h): a connection whose socket
// refused bytes, or whose connect is in progress, is armed again after every
// turn until its bytes are out and its connect has finished.
//
// Owned by abstract_server and used on the loop's thread only.
#pragma once

#include <ctime>
#include <vector>

class abstract_server;
class byte_mover;
class connection;
class connection_registry;

class turn_scheduler {
public:
    // now: the turn's clock, which the server sets before serve_input().
    turn_scheduler(abstract_server& server, connection_registry& registry, byte_mover& mover, const time_t& now)
        : server(server), registry(registry), mover(mover), now(now)
    {
    }

    // The input half: a sweep when the clock has reached a new second since
    // the last one, otherwise the connections with events.
    void serve_input();

    // The output half, of the same kind as the input half: the whole list or
    // the woken connections. Then the writers are armed again, and the next
    // poll is made not to wait if a connection was woken meanwhile (it is
    // served in the next turn).
    void serve_output();

    // Drops every reference to c, which is being ended.
    void forget(connection* c);

private:
    // One connection's poll results, and its output pull: false to end it.
    // Each makes c connection::selected() and prints "N has errors." for an
    // error ending (N the socket); an orderly hang-up after both directions
    // were shut down ends the connection silently.
    bool service_input(connection* c);
    bool service_output(connection* c);

    void sweep_input();
    void sweep_output();
    void serve_events();
    void serve_woken();

    void arm(connection* c);
    void rearm_writers();

    // Ends c outside a sweep, vacating its place; and in a sweep, unlinked at
    // the cursor.
    void retire(connection* c);
    void unlink_and_end(connection* c);

    abstract_server& server;
    connection_registry& registry;
    byte_mover& mover;
    const time_t& now;

    time_t last_sweep = 0;
    bool sweeping = false;             // this turn sweeps
    std::vector<int> events;           // descriptors the last poll reported
    std::vector<connection*> serving;  // woken connections being served
    std::vector<connection*> writers;  // connections waiting to write (arm())
};
