// The connection server: one listening socket, the list of every live
// connection, and the per-turn servicing that accepts, feeds, drains, times
// out and ends connections. server<T> (server.h) only adds the factory that
// makes a T for each accepted client.
//
// A turn of the run loop is sockets::select_all() followed by update():
//  1. input: for each connection at most one of error, read or write
//     handling, and the outcome of a connect in progress;
//  2. accept new clients (a bounded burst);
//  3. output: ask each connection with an empty send buffer for output
//     (on_send) and send it at once; arm the sockets that refused some, end
//     the finished connections;
//  4. print the connection count when it changed (at most every 5 seconds).
// Once a second a turn sweeps the whole list in order, with time-outs. The
// turns in between serve only the connections whose sockets reported
// something and the ones woken (connection::wake()), so idle connections
// cost nothing per turn.
//
// The server owns every connection. In a sweep, connections are unlinked at
// the list cursor and then ended (socket closed, on_remove, delete), so the
// sweep goes on with the connection that followed; between sweeps an ended
// connection leaves an empty place that the next sweep unlinks. Connections
// added from inside a handler are appended and served in the same turn.
#pragma once

#include "base/linkedlist.h"
#include "server/connection.h"

#include <cstdint>
#include <ctime>
#include <vector>

class abstract_server {
public:
    int32_t listener = -1;
    base::linkedlist<connection*> connections;  // oldest first
    int32_t port = 0;                           // 0: never listens
    bool local_only = true;                     // 127.0.0.1 only, else all adapters
    time_t last_report = 0;
    int32_t last_count = -1;

    abstract_server() = default;
    abstract_server(int32_t port, bool local_only) : port(port), local_only(local_only) {}
    abstract_server(const abstract_server&) = delete;
    abstract_server& operator=(const abstract_server&) = delete;

    // Ends every connection and closes the listener.
    virtual ~abstract_server();

    // Opens the listening socket; true on success and when there is no port.
    // Prints its own reason on failure.
    virtual bool start();

    // One servicing turn after sockets::select_all().
    virtual void update();

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
    // caller has unlinked it already.
    void end_connection(connection* c);

    // Takes ownership of a connection some other code created, with its
    // socket stored in c->socket. Safe to call from inside handlers.
    void add_connection(connection* c);

    // Factory for accepted clients; null refuses the client.
    virtual connection* create_connection(uint32_t peer_address) = 0;
    virtual bool on_accept(connection* c);
    virtual void on_remove(connection* c);
    virtual int recv(connection* c, char* buf, int len);
    virtual int send(connection* c, char* buf, int len);

    // Clients the kernel queues before the server accepts them. Bursts of a
    // thousand connects are common for a proxy; a short queue drops their
    // SYNs and costs each such client a retransmission second or more.
    static constexpr int listen_backlog = 4096;
    // Clients accepted in one turn at most, and bytes of output pulled from
    // one connection in one turn at most: enough to take bursts at once,
    // bounded so that no one waits long for a turn.
    static constexpr int accepts_per_turn = 64;
    static constexpr int64_t max_pull_bytes = 4 << 20;

    // Connections alive (the list may also hold the empty places of
    // connections ended since the last sweep).
    int32_t live_connections() const { return live; }

private:
    enum class drained { again, eof, failed };
    enum class accepted { client, skipped, none, broken };

    // Per connection: the poll's results (false: end it), and the output
    // pull (false: end it).
    bool service_input(connection* c);
    bool service_output(connection* c);
    // Every connection, in list order, with time-outs: once a second.
    void sweep_input();
    void sweep_output();
    // Only connections with events, and woken ones: every other turn.
    void serve_events();
    void serve_woken();
    // Puts a new connection on the list and in the descriptor index.
    void enlist(connection* c);
    // Watches c for writability in the next poll, and keeps doing so each
    // turn while it has bytes waiting or a connect in progress.
    void arm(connection* c);
    void rearm_writers();
    // Ends a connection outside a sweep, leaving its place in the list empty.
    void retire(connection* c);

    accepted try_accept();
    bool pull_output(connection* c);  // false when the connection is finished

    drained drain(connection* c, bool ignore_pause);
    void send_pending(connection* c);
    // Shuts down the sending side once a connection that asked for it has
    // nothing left in its send buffer.
    void shut_if_done(connection* c);
    static int socket_error(int fd);  // SO_ERROR, which reading clears
    // The outcome of a connect in progress that the poll reported: the
    // connect's errno value, 0 on success.
    int connect_outcome(connection* c);
    // Tells the connection how its connect ended; after a failure it may
    // have started another attempt, which replaces the socket. False when
    // the connection is to be ended.
    bool finish_connect(connection* c, int error);
    // Closes c's socket and makes fd, whose connect is in progress, its
    // socket instead.
    void replace_socket(connection* c, int fd);
    void unlink_and_end(connection* c);

    // While the descriptor table is full, accepting pauses until this
    // monotonic time in milliseconds, so the loop does not spin on a listener
    // that stays readable.
    int64_t accept_paused_until = 0;
    time_t now = 0;  // time() at the start of the turn
    time_t last_sweep = 0;
    int32_t live = 0;
    std::vector<connection*> by_fd;    // the connection owning each descriptor
    std::vector<int> events;           // descriptors the last poll reported
    std::vector<connection*> serving;  // woken connections being served
    std::vector<connection*> writers;  // connections waiting to write (arm())
};
