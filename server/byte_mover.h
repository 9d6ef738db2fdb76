// Moves bytes between connections and their sockets, and nothing else: it
// decides nothing about when a connection is served or whether it ends. It
// reports what happened (drained, pulled) and turn_scheduler acts on that.
//
// Input is pushed: drain() reads until the socket has nothing more for now
// and hands every chunk to on_recv(), into the server's shared receive buffer
// or the connection's own receive_space(), or splices it into the
// connection's receive_pipe() without copying. While the connection refuses
// input (wants_input() false) it reads nothing, so the kernel's receive
// window stops the peer.
//
// Output is pulled: whenever a connection's pending output (pending_output.h)
// is empty, pull_output() asks on_send() for more and sends it at once,
// copied, lent or spliced from a pipe. Once a connection has said that no
// output follows (handover.h) and its bytes are out, the socket's sending
// side is shut down; once it has said that it is finished and its bytes are
// out, the pull reports it finished. Nothing is sent while a connect is in
// progress.
//
// Every receive, and every send that moves a byte, refreshes last_active
// with the turn's clock; every such send refreshes last_taken too. Owned by abstract_server; loop thread only.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>

class connection;
class server_hooks;
class sockets;

class byte_mover {
public:
    // Bytes of output pulled from one connection in one turn at most: enough
    // to take a burst at once, bounded so that no one waits long for a turn.
    static constexpr int64_t max_pull_bytes = 4 << 20;
    // Bytes read from one connection in one turn at most (one full receive
    // buffer): a peer that sends faster than the proxy reads gets the same
    // slice of a turn as any other, and what it sent beyond that waits in the
    // kernel until the next turn, whose poll reports it again.
    static constexpr int64_t max_drain_bytes = 1 << 20;

    // hooks: their recv() and send() do the socket I/O. now: the turn's clock.
    byte_mover(server_hooks& hooks, const sockets& polled, const int64_t& now);

    enum class drained {
        again,   // nothing more for now (the connection refuses input, or
                 // its slice of the turn is used up)
        eof,     // the peer has finished sending
        failed,  // the socket failed
    };

    // Reads until the socket has nothing more for now, or max_drain_bytes
    // have been read. Stops early while the connection asks for
    // back-pressure, unless ignore_pause (the socket is failing and what
    // already arrived must not be lost; then nothing is spliced either, and
    // neither the slice nor receive_space() applies: the socket's last bytes
    // are read whole, into the shared buffer).
    drained drain(connection* c, bool ignore_pause);

    // Sends c's pending output until the socket refuses more; then shuts the
    // sending side if c is done.
    void send_pending(connection* c);

    enum class pulled {
        finished,  // on_send said c is finished, and every byte is out: end c
        idle,      // nothing waiting; the next event brings more
        arm,       // watch c's socket for writability in the next poll: bytes
                   // wait for the socket, a connect is in progress, or the pull
                   // stopped at max_pull_bytes while more may follow
    };

    // Asks c for output while its pending output is empty and sends what it
    // gives at once.
    pulled pull_output(connection* c);

private:
    // Shuts down the sending side once a connection whose output has ended
    // has none pending.
    static void shut_if_done(connection* c);
    // on_send has said that c is finished: it ends once its output is out
    // (after its connect, if one is in progress), unless its life is over
    // already.
    static void finish_once_sent(connection* c);

    server_hooks& hooks;
    const sockets& polled;
    const int64_t& now;
    // The receive buffer shared by every connection: received bytes are
    // handed to on_recv straight from here and must be consumed or copied
    // during the call. And the buffer every on_send call copies its output
    // into: what the socket does not take at once moves to a buffer of the
    // connection's own before another connection is asked (pending_output.h).
    std::unique_ptr<char[]> receive_buffer;
    std::unique_ptr<char[]> send_scratch;
};
