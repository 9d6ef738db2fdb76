// One socket endpoint owned by the server: an accepted client or a connection
// that some other connection opened (an upstream) and handed over.
//
// The contract with the server is a pull model for output and a push model for
// input:
//  - everything that arrives is handed to on_recv() at once;
//  - whenever the send buffer is empty, the server asks on_send() to refill
//    it; the result says whether the connection wants to stay open;
//  - a connection never writes to its socket, never closes it, never deletes
//    itself and never unlinks itself from the server: the server does all of
//    that, and handlers may only ask for it through their results. A handler
//    may hand a new connection to the server (add_connection).
//
// Ownership: the server owns every connection and deletes it through the
// virtual destructor once it has ended it; the destructor runs while the
// server is consistent, so it may release state shared with other connections.
#pragma once

#include "base/linkedlist.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <vector>

class connection {
public:
    static constexpr int32_t buffer_size = 1048576;

    int32_t socket = -1;
    uint32_t peer_address = 0;  // IPv4, network byte order; 0 unless accepted
    int32_t peer_port = 0;      // host byte order; 0 unless accepted
    time_t last_active;         // refreshed after every received chunk and every send that moves bytes
    int32_t send_length = 0;    // bytes still to send, starting at send_offset
    int32_t send_offset = 0;
    bool more = true;           // last result of on_send; true until it is first asked
    int32_t timeout = 10;       // idle seconds before the server ends the connection

    // A non-blocking connect() is in progress on `socket`. The server watches
    // the socket for writability and reports the outcome once through
    // on_connect(); nothing is sent before that.
    bool connecting = false;

    // Seconds a connect in progress may take before it counts as failed
    // (ETIMEDOUT), counted from last_active; 0: as long as the system's own
    // limit allows.
    int32_t connect_timeout = 0;

    // Kept by the server: the peer has finished sending and on_eof() asked to
    // stay open, so the socket is no longer read.
    bool eof = false;

    // Set by the connection: no output will follow what is in the send
    // buffer. Once it has drained, the server shuts down the socket's sending
    // side, so the peer sees the end of the stream while it may still send.
    // on_send is still called afterwards (its result still decides when the
    // connection ends) but must not produce bytes.
    bool write_done = false;

    // Kept by the server: the sending side has been shut down.
    bool write_shut = false;

    // Kept by the server: the socket could not be registered for polling; the
    // next servicing pass ends the connection.
    bool broken = false;

    // Kept by the server: the connection's node in its list, and whether it
    // waits in the list of woken connections.
    base::linkedlist<connection*>::node* list_node = nullptr;
    bool awake = false;
    bool writing = false;  // waits for the socket to take more

    // Set by on_send instead of copying into buf: the output is the
    // send_length bytes there, in the connection's own storage, which must
    // stay valid and unchanged until the next on_send call or the end of the
    // connection. The server clears it before every on_send call.
    const char* send_data = nullptr;

    // Set by on_send instead: the send_length bytes wait in this pipe (its
    // read end), and the server moves them to the socket with splice(),
    // without copying them through user space. Cleared before every on_send.
    int send_pipe = -1;

    // The buffer_size bytes that copied output waits in when the socket did
    // not take it at once, or null. on_send copies into a buffer the server
    // shares among all connections; only what is left over moves here, and
    // the buffer goes back to a pool once it has been sent, so an idle
    // connection - and one that sends from its own storage or a pipe - holds
    // none. Its bytes are left uninitialised: nothing reads beyond
    // send_offset + send_length.
    char* send_buffer = nullptr;

    // The send buffer, taken from the server's pool if the connection holds
    // none, for a connection that must put output there outside on_send.
    char* send_space();
    // Gives the send buffer back to the pool once nothing waits in it
    // (send_length 0, or the output is somewhere else).
    void release_send_space();

    connection();
    connection(const connection&) = delete;
    connection& operator=(const connection&) = delete;
    virtual ~connection();

    // A chunk of received bytes (len >= 1). data points into the server's
    // shared receive buffer and is valid only during the call.
    virtual void on_recv(char* data, int len) = 0;

    // Called only while send_length is 0. Copies up to cap bytes of pending
    // output into buf and stores their number in *len (0 to cap). Returns
    // false when nothing more will follow these bytes: with *len 0 the
    // connection ends at once, otherwise as soon as the bytes are sent.
    virtual bool on_send(char* buf, int cap, int* len) = 0;

    // The connect that `connecting` announced has finished: error is 0 on
    // success, otherwise the socket's errno value (ETIMEDOUT once
    // connect_timeout has passed). After a failure the connection may go on
    // with another attempt (the next address of the same peer): it returns
    // the new socket, whose non-blocking connect is in progress, and the
    // server closes the failed one and watches the new one in its place.
    // Otherwise it returns -1 (the default), and after a failure the server
    // ends the connection.
    virtual int on_connect(int error);

    // Whether the connection has been idle too long at `now`, and the server
    // is to end it. Default: more than `timeout` seconds since last_active.
    // A connection paired with another (the two ends of a relay) may count
    // its partner's activity as its own.
    virtual bool timed_out(time_t now) const;

    // The peer has shut down its sending side (a receive returned 0), after
    // every byte it sent has gone to on_recv. Returning false ends the
    // connection at once (the default); true keeps it open for output: the
    // server stops reading it and ends it when on_send returns false.
    virtual bool on_eof();

    // Back-pressure: while this returns false the server does not read the
    // socket, so the kernel's receive window stops the peer.
    virtual bool wants_input() const;

    // Where the next received bytes go: null (the default) for the server's
    // shared receive buffer. A connection that keeps what it receives may
    // offer space of its own (at least one byte, *len set to its size);
    // on_recv is then called with a pointer to it, and the bytes need no copy.
    virtual char* receive_space(int* len);

    // Bulk data the connection only passes on can skip user space: a pipe's
    // write end (and in *len the most it may take) to splice received bytes
    // into, or -1 (the default) for receiving into memory. on_piped(n) then
    // reports the n bytes moved, or n = 0 when the pipe took nothing, full or
    // because the socket had nothing (the two cannot be told apart).
    virtual int receive_pipe(int* len);
    virtual void on_piped(int len);

    // The connection being serviced by the server right now (null between
    // turns), for code running inside a handler.
    static connection*& selected();

    // The server services a connection when its socket reports something.
    // A connection whose partner (the other end of a relay) has produced
    // output for it, taken what it was waiting to send, or changed state,
    // must be woken so that the server asks it for output in this or the
    // next turn; otherwise it is asked only in the server's periodic sweep.
    // Safe on any connection, also one no server owns yet.
    void wake();

    // Connections woken and not yet serviced.
    static std::vector<connection*>& woken();
};
