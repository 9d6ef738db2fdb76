// The connection server: one listening socket, every live connection, and
// the turn of the run loop that serves them. server<T> (server.h) only adds
// the factory that makes a T for each accepted client.
//
// A turn is sockets::select_all() followed by update():
//  1. input: each connection's poll results (turn_scheduler);
//  2. accepting a bounded burst of new clients (acceptor);
//  3. output: asking connections for output and sending it at once, arming
//     the sockets that refused some, ending the finished connections
//     (turn_scheduler, with byte_mover moving the bytes);
//  4. printing the connection count once more than 5 seconds have passed
//     since the last time: while there are connections, and once more when
//     the last one has gone.
// Once a second a turn visits every connection, with time-outs; the turns in
// between only those with events and the woken ones (turn_scheduler.h).
//
// The server owns every connection, in connection_registry, and is the only
// one that ends them: handlers ask for that through their results and never
// delete or unlink a connection themselves (connection.h). The parts never
// end a connection on their own either; they call end_connection(), which
// has each part let go of it. Everything runs on the loop's thread.
#pragma once

#include "base/linkedlist.h"
#include "server/acceptor.h"
#include "server/byte_mover.h"
#include "server/connection.h"
#include "server/connection_registry.h"
#include "server/turn_scheduler.h"

#include <cstdint>
#include <ctime>
#include <netinet/in.h>

class abstract_server {
public:
    int32_t listener = -1;    // the listening socket; -1 when not started
    int32_t port = 0;         // 0: never listens
    bool local_only = true;   // 127.0.0.1 only, else all adapters
    time_t last_report = 0;   // when the connection count was last printed
    int32_t last_count = -1;  // the count at that time

    abstract_server() = default;
    abstract_server(int32_t port, bool local_only) : port(port), local_only(local_only) {}
    abstract_server(const abstract_server&) = delete;
    abstract_server& operator=(const abstract_server&) = delete;

    // Ends every connection and closes the listener.
    virtual ~abstract_server();

    // Opens the listening socket (listener.h); true on success and when there
    // is no port. Prints its own reason on failure, "server already started"
    // when the socket is open already.
    virtual bool start();

    // One servicing turn after sockets::select_all(). A failed poll other
    // than an interrupted one restarts the server (stop(), start()), and so
    // does a broken listener.
    virtual void update();

    // A hook for subclasses; the turn itself does not call it.
    virtual void on_idle();

    // Until SIGINT or SIGTERM: select_all(), update(). Prints "Shutting
    // down..." at the end unless start() failed.
    void run();

    // Closes the listener and ends every connection, oldest first.
    void stop();

    // Accepts one pending client; false only when the listening socket itself
    // is broken (the caller restarts the server then).
    bool accept_connection();

    // Closes the socket, calls on_remove and deletes the connection. The
    // caller has unlinked it already (or left its place empty).
    void end_connection(connection* c);

    // Whether a connect to `to` would come back to this server's listener.
    bool reaches_self(const sockaddr_in& to) const;

    // Takes ownership of a connection some other code created, with its
    // socket stored in c->socket; a connect in progress (c->connecting) is
    // watched for writability from the start. Safe to call from inside
    // handlers; c is woken, so that it is asked for output without waiting
    // for the sweep (turn_scheduler.h says in which turn).
    void add_connection(connection* c);

    // Factory for accepted clients; null refuses the client.
    virtual connection* create_connection(uint32_t peer_address) = 0;
    // An accepted client's connection, socket and peer filled in; false
    // refuses it (the connection is deleted without on_remove).
    virtual bool on_accept(connection* c);
    // Every connection the server ends, just before it is deleted.
    virtual void on_remove(connection* c);
    // The socket I/O of every connection except spliced bytes: ::recv() and
    // ::send() by default, with their results.
    virtual int recv(connection* c, char* buf, int len);
    virtual int send(connection* c, char* buf, int len);

    // Connections alive (the list may also hold the empty places of
    // connections ended since the last sweep).
    int32_t live_connections() const { return registry.live(); }

    // Every connection, oldest first, with those empty places as nulls. Code
    // outside a turn may take a connection off it (pop()) and end it with
    // end_connection(); handlers must leave it alone.
    base::linkedlist<connection*>& connections() { return registry.list; }

private:
    time_t now = 0;  // time() at the start of the turn
    connection_registry registry;
    acceptor incoming{*this, registry};
    byte_mover mover{*this, registry, now};
    turn_scheduler turns{*this, registry, mover, now};
};
