// Which connections a turn serves, what serving one means, and ending them.
//
// A turn has two halves, with the accepting of new clients between them
// (abstract_server::update()):
//  - input_half(): for each connection whose socket reported something, at
//    most one of error, read or write handling, and the outcome of a connect
//    in progress (connector.h); then the connections whose moment in the
//    timer heap has come (timer_heap.h): a connect's stagger or limit, and
//    the connection's own deadline() - ended when timed_out() says so,
//    otherwise asked for output (a wait of its own may be over) and armed
//    again for what deadline() says now;
//  - output_half(): ask each woken connection with no pending output for
//    more (on_send) and send it at once; arm the sockets that refused some,
//    end the finished connections.
// Idle connections cost nothing per turn: nothing walks every connection.
// After a connection has been served, its moment is brought forward if its
// deadline() has come nearer (a state with a shorter limit); a later
// deadline (activity) needs no change, since an early moment only makes the
// server look once more.
//
// A connection added or woken by a handler during the input half is served
// in the same turn's output half; one woken during the output half is served
// in the next turn, whose poll then does not wait. The poll never waits past
// the earliest moment in the heap.
//
// Ending: serving a connection (serve_input(), serve_output()) returns a
// verdict, and a connection whose verdict is not `keep` is ended at once by
// end(), the one place that ends connections: it prints the verdict's line,
// takes the connection out of the registry (connection_registry.h), out of
// the lists and the heap here, calls on_remove and deletes it. Only the
// connection being served is ever ended during a walk (handlers never end
// one, connection.h), so no walk has to expect another to vanish under it.
//
// Write interest lasts one poll (sockets.h): a connection whose socket
// refused bytes, or whose connect is in progress, is armed again after every
// turn until its bytes are out and its connect has finished.
//
// Owned by abstract_server; loop thread only.
#pragma once

#include "server/timer_heap.h"

#include <cstdint>
#include <vector>

class byte_mover;
class connection;
class connection_registry;
class connector;
class server_hooks;
class sockets;

class turn_scheduler {
public:
    // hooks: on_remove() for every connection ended. now: the turn's clock,
    // which the server sets before input_half().
    turn_scheduler(server_hooks& hooks, connection_registry& registry, byte_mover& mover, connector& connects,
                   sockets& polled, const int64_t& now)
        : hooks(hooks), registry(registry), mover(mover), connects(connects), polled(polled), now(now)
    {
    }

    // Starts a new turn (connection::turn()): the connections with events,
    // then those whose moment has come.
    void input_half();

    // The woken connections. Then the writers are armed again, and the next
    // poll is made not to wait if a connection was woken meanwhile (it is
    // served in the next turn), nor past the earliest moment in the heap.
    void output_half();

    // A connection the server has just taken: its first moment.
    void added(connection* c) { rearm(c); }

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

    // One connection's poll results, its moment, and one connection's output
    // pull. Each makes c connection::selected().
    // The verdict on a connection whose life is over (ending, broken); keep
    // for any other.
    static verdict over(const connection* c);
    verdict serve_input(connection* c);
    verdict serve_time(connection* c);
    verdict serve_output(connection* c);

    void input_from_events();
    void input_from_timers();
    void output_to_woken();

    // The earliest of what c's deadline() and its connect in progress say.
    int64_t moment_of(const connection* c) const;
    // Brings c's moment forward to moment_of(c), if that is nearer than the
    // one it has.
    void rearm(connection* c);

    void arm(connection* c);
    void rearm_writers();

    void end(connection* c, verdict why);

    server_hooks& hooks;
    connection_registry& registry;
    byte_mover& mover;
    connector& connects;
    sockets& polled;
    const int64_t& now;

    timer_heap timers;
    std::vector<int> events;           // descriptors the last poll reported
    std::vector<connection*> serving;  // woken connections being served
    std::vector<connection*> writers;  // connections waiting to write (arm())
};
