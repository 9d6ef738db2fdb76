// Which connections a turn serves, what serving one means, and ending them.
//
// A turn has two halves, with the accepting of new clients between them
// (abstract_server::update()):
//  - input_half(): for each connection at most one of error, read or write
//    handling, and the outcome of a connect in progress (connector.h);
//  - output_half(): ask each connection with no pending output for more
//    (on_send) and send it at once; arm the sockets that refused some, end
//    the finished connections.
// Once a second a turn sweeps the whole list in order, in both halves, with
// time-outs: a connect that outlasts its connect_timeout fails, and a
// connection whose timed_out() says it has been idle too long is ended. The
// turns in between serve only the connections whose sockets reported
// something (input, after which each is woken) and the woken ones (output,
// see connection::wake()), so idle connections cost nothing per turn.
//
// A connection added or woken by a handler during the input half is served
// in the same turn's output half; one woken during the output half is served
// in the next turn, whose poll then does not wait.
//
// Ending: serving a connection (serve_input(), serve_output()) returns a
// verdict, and a connection whose verdict is not `keep` is ended at once by
// end(), the one place that ends connections: it prints the verdict's line,
// takes the connection out of the registry (connection_registry.h), out of
// the lists here, calls on_remove and deletes it. Only the connection being
// served is ever ended during a walk (handlers never end one, connection.h),
// so no walk has to expect another to vanish under it.
//
// Write interest lasts one poll (sockets.h): a connection whose socket
// refused bytes, or whose connect is in progress, is armed again after every
// turn until its bytes are out and its connect has finished.
//
// Owned by abstract_server; loop thread only.
#pragma once

#include <ctime>
#include <vector>

class byte_mover;
class connection;
class connection_registry;
class connector;
class server_hooks;

class turn_scheduler {
public:
    // hooks: on_remove() for every connection ended. now: the turn's clock,
    // which the server sets before input_half().
    turn_scheduler(server_hooks& hooks, connection_registry& registry, byte_mover& mover, connector& connects,
                   const time_t& now)
        : hooks(hooks), registry(registry), mover(mover), connects(connects), now(now)
    {
    }

    // Starts a new turn (connection::turn()). A sweep when the clock has
    // reached a new second since the last one, otherwise the connections
    // with events.
    void input_half();

    // Of the same kind as the input half: the whole list or the woken
    // connections. Then the writers are armed again, and the next poll is
    // made not to wait if a connection was woken meanwhile (it is served in
    // the next turn).
    void output_half();

    // Ends every connection, oldest first, quietly.
    void end_all();

private:
    // What serving a connection decided: whether it stays, and if not, the
    // line that says why it ends (N is its socket).
    enum class verdict {
        keep,
        finished,   // quietly: its handlers are done (or it asked, end_soon()), or
                    // its peer hung up in order
        errors,     // "N has errors."
        timed_out,  // "N has timed out."
    };

    // One connection's poll results, and one connection's output pull. Each
    // makes c connection::selected().
    verdict serve_input(connection* c);
    verdict serve_output(connection* c);

    void sweep_input();
    void sweep_output();
    void input_from_events();
    void output_to_woken();

    void arm(connection* c);
    void rearm_writers();

    void end(connection* c, verdict why);

    server_hooks& hooks;
    connection_registry& registry;
    byte_mover& mover;
    connector& connects;
    const time_t& now;

    time_t last_sweep = 0;
    bool sweeping = false;             // this turn sweeps
    std::vector<int> events;           // descriptors the last poll reported
    std::vector<connection*> serving;  // woken connections being served
    std::vector<connection*> writers;  // connections waiting to write (arm())
};
