// Moves bytes between a connection and its socket, and sees a connect in
// progress through to its outcome. It decides nothing about when a
// connection is served or whether it ends: it reports what happened (drained,
// pulled, the connect's error) and turn_scheduler acts on that.
//
// Input is pushed: drain() reads until the socket has nothing more for now
// and hands every chunk to on_recv(), into the server's shared receive buffer
// or the connection's own receive_space(), or splices it into the
// connection's receive_pipe() without copying. While the connection refuses
// input (wants_input() false) it reads nothing, so the kernel's receive
// window stops the peer.
//
// Output is pulled: whenever a connection's send buffer is empty,
// pull_output() asks on_send() to refill it and sends the bytes at once, from
// send_buffer, send_data or send_pipe (spliced). Once a connection has set
// write_done and its bytes are out, the socket's sending side is shut down.
//
// Every receive, and every send that moves a byte, refreshes last_active
// with the turn's clock. Owned by abstract_server and used on the loop's thread only.
#pragma once

#include <cstdint>
#include <ctime>

class abstract_server;
class connection;
class connection_registry;

class byte_mover {
public:
    // Bytes of output pulled from one connection in one turn at most: enough
    // to take a burst at once, bounded so that no one waits long for a turn.
    static constexpr int64_t max_pull_bytes = 4 << 20;

    // server: its recv() and send() hooks do the socket I/O. registry: for
    // the socket of a new connect attempt. now: the turn's clock.
    byte_mover(abstract_server& server, connection_registry& registry, const time_t& now)
        : server(server), registry(registry), now(now)
    {
    }

    enum class drained {
        again,   // nothing more for now (or the connection refuses input)
        eof,     // the peer has finished sending
        failed,  // the socket failed
    };

    // Reads until the socket has nothing more for now. Stops early while the
    // connection asks for back-pressure, unless ignore_pause (the socket is
    // failing and what already arrived must not be lost; then nothing is
    // spliced either).
    drained drain(connection* c, bool ignore_pause);

    // Sends what waits in c's send buffer, send_data or send_pipe until the
    // socket refuses more; then shuts the sending side if c is done.
    void send_pending(connection* c);

    enum class pulled {
        finished,  // on_send said nothing follows, and every byte is out: end c
        idle,      // nothing waiting; the next event brings more
        arm,       // watch c's socket for writability in the next poll: bytes
                   // wait for the socket, a connect is in progress, or the pull
                   // stopped at max_pull_bytes while more may follow
    };

    // Asks c for output while its send buffer is empty and sends what it
    // gives at once.
    pulled pull_output(connection* c);

    // The outcome of a connect in progress that the poll reported: the
    // connect's errno value, 0 on success.
    static int connect_outcome(connection* c);

    // Tells c how its connect ended (on_connect). After a failure c may have
    // started another attempt, whose socket then replaces the failed one:
    // closed, out of the poll and the index, and the new one in its place,
    // with its connect_timeout counted from now. False when c is to be ended.
    bool finish_connect(connection* c, int error);

private:
    // SO_ERROR of fd, which reading clears (or getsockopt's own errno).
    static int socket_error(int fd);
    // Shuts down the sending side once a connection that asked for it
    // (write_done) has nothing left in its send buffer.
    static void shut_if_done(connection* c);
    void replace_socket(connection* c, int fd);

    abstract_server& server;
    connection_registry& registry;
    const time_t& now;
};
