// One socket endpoint owned by the server: an accepted client or a connection
// that some other connection opened (an upstream) and handed over.
//
// The contract with the server is a pull model for output and a push model for
// input:
//  - everything that arrives is handed to on_recv() at once;
//  - whenever the output the connection handed over last has gone out, the
//    server asks on_send() for more; the result (handover.h) also says what
//    follows it: more, the end of the output, the end of the connection, or
//    both;
//  - a connection never writes to its socket, never closes it, never deletes
//    itself and never unlinks itself from the server: the server does all of
//    that, and handlers may only ask for it through their results (or
//    end_soon(), for a connection whose unsent output no longer matters). A handler
//    may hand a new connection to the server (abstract_server::add_connection)
//    and wake any connection (wake()).
//
// What a connection sees: its socket, its peer, its time-outs and last
// activity, whether a connect is in progress (connecting()), whether its
// input has ended (eof()) and its output (output_ended()), and how much of
// its output the socket has not taken yet (unsent()). Everything else about
// its socket is the server's, in private state that only the server's parts
// (the friends below) change.
//
// Output handed over stays the server's business until it is sent: on_send
// copies it into the buffer it is offered, or lends it in place or in a pipe,
// and the server keeps track of it from there (pending_output.h). A
// connection whose lent storage or pipe is about to go away while its bytes
// are not all out calls keep_unsent(); it never rewrites the server's record
// of them.
//
// Ownership: the server owns every connection and deletes it through the
// virtual destructor once it has ended it; the destructor runs while the
// server is consistent, so it may release state shared with other connections.
// Everything runs on the loop's thread.
#pragma once

#include "base/linkedlist.h"
#include "server/handover.h"
#include "server/pending_output.h"
#include "server/socket_address.h"

#include <cstdint>
#include <ctime>
#include <netinet/in.h>
#include <string>
#include <vector>

class connection {
public:
    // The most on_send is offered at once, and the most one receive hands to
    // on_recv.
    static constexpr int32_t buffer_size = pending_output::capacity;

    // Set by whoever creates the connection, before handing it to the server;
    // the server's from then on (a new connect attempt replaces it).
    int32_t socket = -1;
    // An accepted client's address and port, as accept() gave them; empty
    // for a connection the proxy made.
    socket_address peer;
    // Times are monotonic milliseconds (server/clock.h), read once per turn
    // by the server (now()).
    //
    // Refreshed by the server with every received chunk (before on_recv, so
    // a handler reads the time the bytes came) and after every send that
    // moves bytes; a connection may restart it when it starts a wait of its
    // own.
    int64_t last_active;
    // Refreshed by the server after every send that moves bytes, and set when
    // the connection is made: since then the peer has taken nothing the
    // connection sent it. A peer that takes nothing while output waits for
    // it has stalled, however much it sends itself.
    int64_t last_taken;
    int32_t timeout = 10;       // idle seconds before the server ends the connection

    // Milliseconds after which a connect still in progress is reported once
    // as slow (on_connect_slow()) while it goes on: to race another address
    // of the same peer beside it. 0: never.
    int32_t connect_stagger_ms = 0;

    // Seconds the connect in progress may take before it counts as failed
    // (ETIMEDOUT); 0: as long as the system's own limit allows. Counted from
    // the attempt's start. The connection sets it before it is handed over
    // (and again in on_connect() for a further attempt it starts).
    int32_t connect_timeout = 0;

    connection();
    connection(const connection&) = delete;
    connection& operator=(const connection&) = delete;
    virtual ~connection();

    // A non-blocking connect is in progress on `socket` (connector.h): the
    // server reports its outcome once, through on_connect(), and sends
    // nothing before that.
    bool connecting() const { return life == lifecycle::connecting || life == lifecycle::connecting_to_finish; }

    // The peer has finished sending and on_eof() kept the connection open:
    // the socket is read no more.
    bool eof() const { return input_ended; }

    // Woken (wake()) and not served since.
    bool is_woken() const { return awake; }

    // An earlier on_send result said that no output follows
    // (handover::next::shut or shut_and_finish), which is for good: on_send
    // hands over no more bytes.
    bool output_ended() const { return sending != output_side::open; }

    // Bytes of the last output handed over that the socket has not taken yet;
    // on_send is asked for more only once this is 0.
    int32_t unsent() const { return output.size(); }

    // For output that on_send lent (in place or in a pipe) and the socket has
    // not taken yet, when the storage or the pipe it is in is about to go
    // away: the server copies what is left into a buffer of the connection's
    // own and sends it from there. Safe at any time, and a no-op when
    // nothing lent waits.
    void keep_unsent() { output.keep_unsent(); }

    // A chunk of received bytes (len >= 1). data points into the server's
    // shared receive buffer and is valid only during the call.
    virtual void on_recv(char* data, int len) = 0;

    // Called only while unsent() is 0, and never again once a result has
    // said the connection is finished. Copies up to cap bytes of pending
    // output into buf, or lends them instead, and says what follows them
    // (handover.h). Still called after the output has ended
    // (output_ended()): its result then hands over no bytes and decides only
    // when the connection ends.
    virtual handover on_send(char* buf, int cap) = 0;

    // The connect that connecting() announced has finished: error is 0 on
    // success, otherwise the socket's errno value (ETIMEDOUT once
    // connect_timeout has passed). After a failure the connection may go on
    // with another attempt (the next address of the same peer): it returns
    // the new socket, whose non-blocking connect is in progress, and the
    // server closes the failed one and watches the new one in its place.
    // Otherwise it returns -1 (the default), and after a failure the server
    // ends the connection.
    virtual int on_connect(int error);

    // The connect in progress has taken connect_stagger_ms without an
    // outcome; it goes on. Default: nothing.
    virtual void on_connect_slow();

    // Whether the connection has been idle too long at `now`, and the server
    // is to end it. Default: more than `timeout` seconds since last_active.
    // A connection paired with another (the two ends of a relay) may count
    // its partner's activity as its own.
    virtual bool timed_out(int64_t now) const;

    // When the server is to look at the connection next (timer_heap.h): the
    // earliest moment at which timed_out() may turn true, or the server is
    // to ask on_send() again for a wait of the connection's own (a pooled
    // connection's expiry); timer_heap::never for none. Earlier than needed
    // is harmless (the server asks again and arms what this says then);
    // later is not. Asked after every turn in which the connection was
    // served, so it must be cheap. Default: last_active + timeout.
    virtual int64_t deadline() const;

    // The time of the server's current turn (monotonic milliseconds).
    static int64_t now() { return turn_clock(); }

    // The peer has shut down its sending side (a receive returned 0), after
    // every byte it sent has gone to on_recv. Returning false ends the
    // connection at once (the default); true keeps it open for output: the
    // server stops reading it and ends it when on_send says it is finished.
    virtual bool on_eof();

    // Back-pressure: while this returns false the server does not read the
    // socket, so the kernel's receive window stops the peer.
    virtual bool wants_input() const;

    // Where the next received bytes go, and how many at most: null (the
    // default) for the server's shared receive buffer, of which no more than
    // *len bytes are used (a connection that may take only so much in, for
    // its memory's sake, lowers it; at least one byte). A connection that
    // keeps what it receives may offer space of its own instead (at least
    // one byte, *len set to its size); on_recv is then called with a pointer
    // to it, and the bytes need no copy. Not asked for a failing socket's
    // last bytes, which go whole into the shared buffer: they must not be
    // lost, whatever the connection would take at a time.
    virtual char* receive_space(int* len);

    // Bulk data the connection only passes on can skip user space: a pipe's
    // write end (and in *len the most it may take) to splice received bytes
    // into, or -1 (the default) for receiving into memory. on_piped(n) then
    // reports the n bytes moved, or n = 0 when the pipe took nothing, full or
    // because the socket had nothing (the two cannot be told apart).
    virtual int receive_pipe(int* len);
    virtual void on_piped(int len);

    // The connection the server is serving or ending right now (null between
    // turns), for code running inside a handler.
    static connection* selected() { return selection(); }

    // The server serves a connection when its socket reports something.
    // A connection whose partner (the other end of a relay) has produced
    // output for it, taken what it was waiting to send, or changed state,
    // must be woken so that the server asks it for output in this or the
    // next turn; otherwise it is asked only when its socket reports
    // something or its deadline() comes.
    // Safe on any connection, also one no server owns yet.
    void wake();

    // Asks the server to end the connection the next time it serves it (in
    // this turn's output half or the next turn's), quietly, whatever its
    // socket has not taken yet dropped: for a connection whose output no
    // longer matters to anyone (a request that can never be whole, a connect
    // attempt nobody waits for). Safe on any connection.
    void end_soon()
    {
        if (life != lifecycle::broken)
            life = lifecycle::ending;
        wake();
    }

    // The number of the server's current turn, which changes once per turn:
    // work that is bounded per turn (request heads parsed) counts against it.
    static uint64_t turn() { return turn_number(); }

private:
    // The server's parts, which keep the state below.
    friend class byte_mover;
    friend class connection_registry;
    friend class connector;
    friend class timer_heap;
    friend class turn_scheduler;

    // The turn running on this thread: the connection being served, its
    // number, its clock.
    static connection*& selection();
    static uint64_t& turn_number();
    static int64_t& turn_clock();

    pending_output output;  // handed over by on_send, not yet taken by the socket
    // The owning server's connections woken and not yet served; null until a
    // server takes the connection (a wake before that counts from then).
    std::vector<connection*>* wake_list = nullptr;
    base::linkedlist<connection*>::node* list_node = nullptr;  // its place in the server's list
    // Where the connection is in its life. Finishing follows on_send's word
    // that the connection is finished: it ends once its output is out, which
    // waits for a connect still in progress (connecting_to_finish, finishing
    // once connected). Ending and broken are final, and win over a connect in
    // progress and over finishing: such a connection is ended the next time
    // it is served, whatever its socket reports.
    enum class lifecycle : uint8_t {
        open,                  // connected (or accepted): bytes may move
        connecting,            // a connect is in progress (connector.h); nothing is sent
        finishing,             // ended once its output is out; on_send is asked no more
        connecting_to_finish,  // both: finishing, and a connect is in progress
        ending,                // end_soon(): ended, quietly
        broken,                // the socket could not be polled: ended with its errors
    };
    lifecycle life = lifecycle::open;
    // The sending side: whether output may follow (the end of the output
    // is for good; see output_ended()).
    enum class output_side : uint8_t {
        open,     // output may follow
        closing,  // no output follows: shut down once what waits is out
        shut,     // shut down
    };
    output_side sending = output_side::open;
    bool input_ended = false;     // the peer has finished sending (eof())
    bool awake = false;           // waits in the server's wake_list (or will, once taken)
    bool writing = false;         // waits for its socket to take more (turn_scheduler's writers)

    bool finishing() const { return life == lifecycle::finishing || life == lifecycle::connecting_to_finish; }

    int64_t timer_at = INT64_MAX;  // its moment in timer_heap; INT64_MAX: none
    int32_t timer_slot = -1;       // its place in the heap; -1: none
    int64_t connect_started = 0;   // the connect in progress began (connector)
    int64_t stagger_due = INT64_MAX;  // its stagger is to be reported (connector)
};
