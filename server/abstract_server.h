// The connection server: its listening sockets, every live connection, and
// the turn of the run loop that serves them. server<T> (server.h) only adds
// the factory that makes a T for each accepted client.
//
// A turn is a poll of its sockets (sockets.h) followed by update():
//  1. the input half: each connection's poll results, then the connections
//     whose moment in the timer heap has come (turn_scheduler);
//  2. accepting a bounded burst of new clients (acceptor);
//  3. the output half: asking connections for output and sending it at once,
//     arming the sockets that refused some, ending the finished connections
//     (turn_scheduler, with byte_mover moving the bytes);
//  4. printing the connection count once more than report_interval_ms has
//     passed since the last time: while there are connections, and once
//     more when the last one has gone.
// A turn serves only the connections with events, the woken ones and those
// whose moment has come; the poll waits until the next of these moments (or
// report), and no longer.
//
// The server owns every connection, in connection_registry, and is the only
// one that ends them, in one place (turn_scheduler::end()); what handlers may
// and may not do is the contract in connection.h. The parts get what they
// need of the server through the server_hooks interface, never the server
// itself; this class only wires them together and runs the turn. Everything
// runs on the loop's thread.
#pragma once

#include "server/acceptor.h"
#include "server/byte_mover.h"
#include "server/connection.h"
#include "server/connection_registry.h"
#include "server/connector.h"
#include "server/server_hooks.h"
#include "server/socket_address.h"
#include "server/sockets.h"
#include "server/turn_scheduler.h"

#include <cstdint>
#include <ctime>
#include <vector>

class abstract_server : public server_hooks {
public:
    // Seconds between two prints of the connection count.
    static constexpr int64_t report_interval_ms = 5000;

    abstract_server() { watch_wakeups(); }
    abstract_server(int32_t port, bool local_only) : port(port), local_only(local_only) { watch_wakeups(); }
    abstract_server(const abstract_server&) = delete;
    abstract_server& operator=(const abstract_server&) = delete;

    // Ends every connection and closes the listeners.
    virtual ~abstract_server();

    // Opens the listening sockets (listener.h); true on success and when
    // there is no port. Prints its own reason on failure, "server already
    // started" when they are open already.
    virtual bool start();

    // The turn after a poll (turn()). A failed poll other than an
    // interrupted one restarts the server (stop(), start()), and so does a
    // broken listener.
    virtual void update();

    // A hook for subclasses; the turn itself does not call it.
    virtual void on_idle();

    // One poll (waiting at most wait_limit_ms, when that is not negative, or
    // as the last turn said) and the turn after it: update().
    void turn(int wait_limit_ms = -1);

    // Until SIGINT or SIGTERM: turn(). Prints "Shutting down..." at the end
    // unless start() failed.
    void run();

    // Closes the listeners and ends every connection, oldest first.
    void stop();

    // Whether a connect to `to` would come back to this server's listeners.
    bool reaches_self(const socket_address& to) const;

    // Takes ownership of a connection some other code created, with its
    // socket in c->socket: connected already, or, with `connecting`, a
    // connect that connector::start() began and the server sees through
    // (connector.h). Safe to call from inside handlers; c is woken, so that
    // it is asked for output at once (turn_scheduler.h says in which turn).
    void add_connection(connection* c, bool connecting = false);

    // The hooks (server_hooks.h). Defaults: every client accepted, nothing
    // done on removal, ::recv() and ::send() for the socket I/O.
    bool on_accept(connection* c) override;
    void on_remove(connection* c) override;
    int recv(connection* c, char* buf, int len) override;
    int send(connection* c, const char* buf, int len) override;

    // Connections alive.
    int32_t live_connections() const { return registry.live(); }

    // Calls f(c) for every live connection, oldest first, without moving the
    // cursor of a walk the server may be making; f must not add or end
    // connections.
    template <typename F>
    void each_connection(F f) const
    {
        for (auto* n = registry.list.head->next; n; n = n->next)
            if (n->value)
                f(n->value);
    }

private:
    // Has the poll watch the wake-up descriptor (wakeup.h).
    void watch_wakeups();

    std::vector<int> listeners;  // the listening sockets; none when not started
    int32_t port = 0;         // 0: never listens
    bool local_only = true;   // 127.0.0.1 only, else all adapters
    int64_t last_report = 0;  // when the connection count was last printed
    int32_t last_count = -1;  // the count at that time

    int64_t now = 0;  // the clock at the start of the turn (monotonic ms)
    sockets polled;  // this server's socket registry and poll
    connection_registry registry{polled};
    acceptor incoming{*this, registry, polled};
    connector connects{registry, polled, now};
    byte_mover mover{*this, polled, now};
    turn_scheduler turns{*this, registry, mover, connects, polled, now};
};
