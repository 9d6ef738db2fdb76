// The pair of byte queues between a client connection (http_proxy) and its
// upstream connection to the origin (proxy_connection), and every rule about
// the bytes in them.
//
// The two connections never call each other and know nothing of each
// other's bookkeeping: each hands what it receives to the relay, asks the
// relay what to send (it lends them bytes in place, which they return once
// sent), and asks it whether to read more (back-pressure). The reference
// count tells each side whether its partner still exists:
//   1  client only (no upstream yet, or it has ended), or
//      orphaned (the client has gone or moved on to another origin);
//   2  attached: the client side and one upstream connection (or a lookup
//      that will make one).
// An orphaned relay never becomes attached again. Whoever drops the count to
// zero frees the record (release()).
//
// The flags below carry what each side learns (connect outcome, the end of a
// direction) to the other. A relay is a pair of one-way streams: when one
// peer stops sending, what it sent is delivered, the other peer's socket is
// shut down for that direction, and the other direction goes on until it ends
// too.
#pragma once

#include "base/byte_queue.h"
#include "server/connection.h"

#include <cstddef>
#include <cstdint>

struct proxy_relay {
    // Above this many queued bytes the connection that fills a queue stops
    // reading its socket until the other side has drained it, so memory per
    // transfer stays bounded however fast one peer and slow the other.
    static constexpr size_t high_water = 4u << 20;

    int32_t refs = 1;
    base::byte_queue to_origin;  // filled by the client side, drained by the upstream
    base::byte_queue to_client;  // filled by the upstream (and the proxy's own answers)

    // The two ends while they hold the relay (null once gone). Each side
    // wakes the other whenever it changes what the other may act on - bytes
    // queued or taken, a connect's outcome, an end - since the server only
    // services on its own the connections whose sockets report something.
    connection* client = nullptr;
    connection* origin = nullptr;
    void wake_client() const
    {
        if (client)
            client->wake();
    }
    void wake_origin() const
    {
        if (origin)
            origin->wake();
    }

    bool connected = false;       // the upstream's connect has completed
    bool tunnel_pending = false;  // a CONNECT waits for the connect before its "200"
    bool close_client = false;    // end the client connection once to_client has drained
    bool client_eof = false;      // the client has finished sending
    bool origin_eof = false;      // the origin has finished sending

    proxy_relay() = default;
    proxy_relay(const proxy_relay&) = delete;
    proxy_relay& operator=(const proxy_relay&) = delete;
    ~proxy_relay();

    bool attached() const { return refs > 1; }

    // Drops one holder; frees the relay with the last one.
    static void release(proxy_relay* relay);

    // ---- towards the origin: the client side fills, the upstream drains.

    // Bytes from the client (a rewritten head, a body, tunnel bytes).
    void from_client(const char* data, size_t len);
    // Whether the client's socket may be read: false while to_origin is
    // above the high-water mark.
    bool client_may_send() const { return to_origin.size() < high_water; }
    // Lends the upstream the bytes at the front of to_origin, up to cap, to
    // send in place; returns their number (0: nothing waits).
    size_t lend_to_origin(size_t cap, const char** data);
    // The bytes lent last time have been sent.
    void origin_took();

    // ---- towards the client: the upstream (and the proxy's own answers)
    // fill, the client side drains.

    // Space at the back of to_client to receive the origin's bytes into
    // (null: receive elsewhere and hand them to from_origin).
    char* space_for_origin(int* len);
    // Bytes the origin sent, received into that space or elsewhere.
    void from_origin(const char* data, int len);
    // Bulk data skips user space: once a relay has carried a megabyte and the
    // origin is streaming (its last read brought a large piece), the origin's
    // bytes are spliced into a pipe and from there to the client. Small
    // answers keep going through the queue, where two plain copies cost less
    // than two splices. Invariant: every byte in the pipe precedes every byte
    // in to_client, so bytes go into the pipe only while to_client is empty,
    // and the client takes from the pipe first.
    // The pipe to splice the origin's bytes into (and in *len the most it
    // takes), or -1 when they go through to_client.
    int pipe_for_origin(int* len);
    // n bytes were spliced in (0: none, the pipe or the socket was empty).
    void piped_from_origin(int n);
    // Whether the origin's socket may be read: false while the client is
    // more than the high-water mark behind.
    bool origin_may_send() const;
    // Lends the client side what comes next for the client, up to cap: bytes
    // at the front of to_client (*data) or in the pipe (*pipe, its read
    // end); returns their number (0: nothing waits).
    size_t lend_to_client(size_t cap, const char** data, int* pipe);
    // The bytes lent last time have been sent.
    void client_took();
    // Bytes waiting for the client, in the pipe and in to_client.
    size_t for_client() const { return piped + to_client.size(); }
    // Before the client side lets go of this relay: the bytes it was lent
    // and has not sent yet move into its own send buffer, so nothing points
    // into a relay that may be freed.
    void keep_lent_bytes(connection& c);

private:
    static constexpr uint64_t pipe_after = 1u << 20;  // bytes relayed before a pipe is worth it
    static constexpr int streaming_read = 64 * 1024;  // a read this large means more is coming

    // Creates the pipe; false if the system refuses (the queue serves then).
    bool open_pipe();

    size_t origin_lent = 0;      // bytes of to_origin the upstream is sending in place
    size_t client_lent = 0;      // bytes the client side is sending from the pipe or to_client
    bool client_lent_pipe = false;
    char* offered = nullptr;     // space in to_client offered for the origin's bytes
    bool streaming = false;
    int pipe_read = -1;
    int pipe_write = -1;
    size_t pipe_capacity = 0;
    size_t piped = 0;            // bytes in the pipe
    bool pipe_full = false;      // it took nothing last time; wait until the client has taken some
    uint64_t relayed = 0;        // bytes the origin has sent so far
};
