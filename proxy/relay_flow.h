// The bytes between one client and its origins, and how fast they may move:
// the two queues, the splice pipe, and the client's share of memory. It
// knows nothing of exchanges: proxy_relay decides what goes where and when,
// and asks this how much may move now. Owned by the relay; loop thread only.
//
// Lending. A side sends bytes in place: it is lent the front of its queue
// (or of the pipe), sends them, and reports that they were taken before it
// is lent more. At most one lend per direction is outstanding.
//
// The pipe. Bulk answer bytes that need no reading are spliced into a pipe
// and out to the client without passing through memory. Invariant: every
// byte in the pipe precedes every byte in the client's queue, so bytes go
// into the pipe only while that queue is empty, and the client takes from
// the pipe first.
//
// Memory. Everything held for one client (the request head being read and
// the requests waiting to be parsed, the bytes queued for the origin, the
// answers queued for the client, in memory or in the pipe, the answer head
// being read) stays within `budget`, and within what memory_budget.h allows
// it while all clients together hold much: no side reads more than room()
// at a time. The two sides report the parts they hold themselves
// (client_holds(), origin_holds()), and account() brings the charge up to
// date after each of their handlers.
#pragma once

#include "base/byte_queue.h"
#include "proxy/memory_budget.h"

#include <cstddef>
#include <cstdint>
#include <string>

class relay_flow {
public:
    // What the proxy holds for one client at most, in both queues and the
    // pipe together.
    static constexpr size_t budget = 4u << 20;
    // The origin is not read while this much waits for the client.
    static constexpr size_t high_water = 4u << 20;

    relay_flow() = default;
    relay_flow(const relay_flow&) = delete;
    relay_flow& operator=(const relay_flow&) = delete;
    ~relay_flow();

    // ---- towards the origin

    void to_origin(const char* data, size_t len) { for_origin.append(data, len); }
    void to_origin(const std::string& bytes) { for_origin.append(bytes); }
    // Puts bytes back in front of what waits (a request that goes again).
    void to_origin_first(const std::string& bytes) { for_origin.prepend(bytes.data(), bytes.size()); }
    // Drops n bytes from the front, or everything.
    void drop_for_origin(size_t n) { for_origin.consume(n); }
    void clear_for_origin() { for_origin.clear(); }
    // Bytes waiting for the origin, including those lent.
    size_t waiting_for_origin() const { return for_origin.size(); }
    // Lends the front of the origin's queue, up to cap; returns how many.
    size_t lend_to_origin(size_t cap, const char** data);
    // The bytes lent to the origin have been sent (or, when its connection
    // keeps them in a buffer of its own, are its business): they leave the
    // queue. Returns how many they were.
    size_t origin_took();
    size_t lent_to_origin() const { return origin_lent; }

    // ---- towards the client

    void to_client(const char* data, size_t len) { for_client.append(data, len); }
    // Space at the back of the client's queue for a read to land in, and
    // the len bytes that did.
    char* client_space(size_t* room) { return for_client.back_space(room); }
    void client_landed(size_t len) { for_client.commit(len); }
    // The client's queue itself, for an answer reader that appends what
    // passes on (response_reader::feed).
    base::byte_queue& client_queue() { return for_client; }
    void clear_for_client() { for_client.clear(); }
    // Bytes waiting for the client, in the pipe and in memory.
    size_t waiting_for_client() const { return piped + for_client.size(); }
    bool client_queue_empty() const { return for_client.empty(); }
    // Lends the client what comes next, up to cap: bytes at the front of its
    // queue (*data) or in the pipe (*pipe, its read end); returns how many.
    size_t lend_to_client(size_t cap, const char** data, int* pipe);
    // The bytes lent to the client have been sent; returns how many.
    size_t client_took();
    size_t lent_to_client() const { return client_lent; }
    // The client has gone: what waits for it, and what it was lent, is
    // nobody's.
    void forget_client();

    // ---- the pipe

    // The pipe's write end for the next bytes of a run of `run` answer
    // bytes that need no reading (*len lowered to what it may take), or -1
    // when they go through memory. client_there: a client is there to take
    // them (bytes for nobody are not worth a pipe).
    int pipe_for(uint64_t run, int* len, bool client_there);
    // n bytes were spliced in (0: none; the pipe or the socket was empty).
    void piped_in(int n);
    // n bytes were read into memory: whether the origin is streaming.
    void read_in(int n);

    // ---- memory

    // How many more bytes this client may hold now (its budget, and its share
    // of memory_budget.h); what one read may take at most.
    size_t room() const
    {
        size_t mine = holding();
        size_t own = mine < budget ? budget - mine : 0;
        size_t shared = memory_budget::allowance(charged);
        return own < shared ? own : shared;
    }
    void client_holds(size_t n) { client_bytes = uint32_t(n); }
    void origin_holds(size_t n) { origin_bytes = uint32_t(n); }
    void account()
    {
        size_t mine = holding();
        if (mine != charged) {
            memory_budget::charge(charged, mine);
            charged = mine;
        }
    }
    // Whether the origin may be read: a client is there, it is less than
    // high_water behind, the pipe is not full, there is room().
    bool origin_may_send(bool client_there) const
    {
        return client_there && waiting_for_client() < high_water && !pipe_full && room() > 0;
    }

private:
    size_t holding() const { return for_origin.size() + waiting_for_client() + client_bytes + origin_bytes; }
    bool open_pipe();

    static constexpr uint64_t pipe_after = 1u << 20;  // bytes relayed before a pipe is worth it
    static constexpr int streaming_read = 64 * 1024;  // a read this large means more is coming

    base::byte_queue for_origin;  // filled by the client side, drained by the origin connection
    base::byte_queue for_client;  // filled by the origin connection and the proxy's own answers
    size_t origin_lent = 0;       // bytes of for_origin the origin connection is sending in place
    size_t client_lent = 0;       // bytes the client is sending from the pipe (when piped > 0) or for_client
    int pipe_read = -1;
    int pipe_write = -1;
    size_t pipe_capacity = 0;
    size_t piped = 0;          // bytes in the pipe
    uint64_t relayed = 0;      // answer bytes the origins have sent so far
    bool streaming = false;    // the last read was a large one: more is coming
    bool pipe_full = false;    // it took nothing last time; wait until the client has taken some
    uint32_t client_bytes = 0;  // client_holds(): a head and held requests, a few MiB at most
    uint32_t origin_bytes = 0;  // origin_holds(): an answer head, 64 KiB at most
    size_t charged = 0;         // what memory_budget counts for this client
};
