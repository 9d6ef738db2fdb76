// Everything between one client connection (http_proxy) and the origin
// connections (proxy_connection) that serve its requests, one at a time: two
// byte queues, the state of the current exchange, and every rule about them.
// The two sides never decide these things themselves: they tell the relay
// what happened (a request head, body bytes, an answer's end, a connect, an
// end of stream) and ask it what to do (what to send, whether to read,
// whether to end). Its fields are its own.
//
// Exchanges. Each request the client sends is one exchange, taken up only
// once the one before it is complete, so answers reach the client in the
// order of the requests, whoever makes them: the proxy's own answers (400,
// 404, 407, 431, 502, 508) go into the same queue as an origin's bytes. An
// exchange passes through these stages:
//
//     idle -> reaching -> exchanging -> idle        (a forwarded request)
//     idle -> reaching -> tunnel                    (CONNECT; a 101 answer)
//
// and is complete once the client has sent the whole request and the origin
// the whole answer (response_reader.h tells where it ends). Then the origin
// connection goes back to the pool (origin_pool.h) if it can carry another
// exchange, or ends, and the next request is taken up.
//
// Never twice: a request is sent once more, on a new connection, only when
// all of this holds: it went out on a pooled connection, that connection
// ended (closed or reset) before any byte of an answer came, nothing of the
// request's body had gone out, and its method is idempotent (GET, HEAD,
// OPTIONS, TRACE, PUT, DELETE), so that the origin acting on it twice does
// no harm. An origin that answered anything, even an unreadable head, has
// seen the request. Every other failure before the final answer's head gets
// a 502 saying what happened (answers::origin_failed); after it, the
// client's stream ends where the answer broke off.
//
// An exchange whose request can never be whole ends at once: when the
// client leaves or finishes sending in the middle of its request, its
// origin connection ends (nothing is owed to an origin that waits for the
// rest) and so does a search for one; the client gets no answer, which
// could only mislead it, unless the origin's answer had begun (it goes on).
// Once the client has gone, its origin is read no more.
//
// Holders. The client holds the relay for its whole life; the origin
// connection serving the current exchange holds it too, and so does a
// pending name lookup. Whoever drops the last hold frees the record
// (release()). A relay whose client has gone (orphaned) lets its origin
// connection deliver what it was given and end.
//
// Memory. Everything the proxy holds for one client (the request head being
// read and the requests waiting to be parsed, the bytes queued for the
// origin, the answers queued for the client, in memory or in the splice
// pipe, the answer head being read) stays within `budget`, and within what
// memory_budget.h allows it while all clients together hold much: no side
// reads more than room() at a time; past it the client is not read, and the
// next request is not taken up, until the queues have drained; the origin
// is not read while the client is more than high_water behind. The client
// and origin connections report their own parts (client_holds(),
// origin_holds()) and call account() after each of their handlers.
//
// Stalls. A peer that takes no byte of what waits for it for stall_limit
// seconds (an origin not reading a request body, a client not reading its
// answer) has stalled: its connection ends, and the exchange with it,
// whatever the other side still sends (client_stalled(), origin_stalled()).
//
// Ends of streams: a tunnel is a pair of one-way streams, each passing its
// end on once everything before it is delivered. An exchange ends the
// client's stream after its answer when the answer runs to the close of the
// connection, when the client asked for that (Connection: close, HTTP/1.0
// without keep-alive) or has finished sending, and after the proxy's own
// closing answers.
#pragma once

#include "base/byte_queue.h"
#include "http/response_reader.h"
#include "proxy/answers.h"
#include "proxy/exchange_ledger.h"
#include "proxy/memory_budget.h"
#include "server/connection.h"
#include "server/socket_address.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

// The origin connection serving a relay's exchange, as the relay sees it
// (proxy_connection is the one there is): a connection the relay can tell
// what answer to read next, and let go of when the exchange is over. The
// relay never calls anything else of it, so the two stay one-way: the
// connection calls the relay, the relay this interface.
class origin_link : public connection {
public:
    // The answer to read next is for a request of this kind (a tunnel: no
    // answer is read at all; interim: 1xx answers go on to the client).
    virtual void expect(bool head_request, bool upgrade, bool tunnel, bool interim) = 0;
    // The exchange is over: to the pool (park), or to its end at once,
    // whatever it has not sent.
    virtual void let_go(bool park) = 0;
    // The address it is connected (or connecting) to.
    virtual const socket_address& address() const = 0;
};

// A search for the current exchange's origin connection (a race of connect
// attempts, origin_race.h), as the relay sees it: told to give up when the
// exchange no longer wants what it would find.
class origin_search {
public:
    // Ends every attempt; the search tells the relay nothing more.
    virtual void give_up() = 0;

protected:
    ~origin_search() = default;
};

class proxy_relay {
public:
    // What the proxy holds for one client at most, in both queues and the
    // pipe together (see Memory above).
    static constexpr size_t budget = 4u << 20;
    // The origin is not read while this much waits for the client.
    static constexpr size_t high_water = 4u << 20;
    // Seconds a peer may take nothing of what waits for it (see Stalls).
    static constexpr int32_t stall_limit = 60;

    enum class stage : uint8_t {
        idle,        // no request upstream: the next one may be taken up
        reaching,    // a lookup or connect for the current request is under way
        exchanging,  // the request goes to an origin, its answer comes back
        tunnel,      // bytes pass both ways, unread, until both ends close
    };

    // How the current request's answer is read, and whether it may be sent
    // twice.
    struct request_kind {
        bool connect = false;     // CONNECT: a tunnel once connected
        bool head = false;        // HEAD: the answer has no body
        bool upgrade = false;     // asks to switch protocols: a 101 opens a tunnel
        bool close_after = false; // the client asked to close after the answer
        bool expects_continue = false;  // "Expect: 100-continue"
        bool has_body = false;    // a body follows the head
        bool idempotent = false;  // the method may be sent again (see Never twice)
        bool interim = true;      // the client takes 1xx answers (not HTTP/1.0)
    };

    explicit proxy_relay(connection* client);
    proxy_relay(const proxy_relay&) = delete;
    proxy_relay& operator=(const proxy_relay&) = delete;
    ~proxy_relay();

    // Another holder (a lookup, an origin connection); release() drops one
    // and frees the relay with the last.
    void hold() { refs++; }
    static void release(proxy_relay* relay);

    stage at() const { return now; }
    // A request is in flight: its origin is being reached, or talked to.
    bool in_flight() const { return now != stage::idle; }
    // The exchange numbered by the client's requests, for work that outlives
    // it (a lookup, a race) to tell whether it still belongs to the current one.
    uint64_t serial() const { return exchanges; }
    // Whether exchange number `exchange` still waits for its origin: its
    // client is there, no later request has begun, and nothing has answered
    // it yet. The one question a lookup or a race asks before it acts.
    bool waits_for_origin(uint64_t exchange) const
    {
        return client && exchanges == exchange && now == stage::reaching;
    }

    // ---- the client side

    // The client has gone: nothing more will be answered to it. timed_out:
    // the server ended it for a time limit; sent_all: its socket had taken
    // everything lent to it.
    void client_gone(bool timed_out = false, bool sent_all = false);
    // A request head has been parsed: its record (exchange_ledger.h), which
    // the relay fills in as the exchange goes and finishes when the client
    // has its answer; record() is the open one, or null.
    void begin(std::unique_ptr<exchange_record> r) { ledger.open(std::move(r)); }
    exchange_record* record() const { return ledger.current(); }
    // A request goes upstream: its head for the origin (empty for CONNECT),
    // queued at once and kept until its answer starts, for one retry. (The
    // origin is named in the request's record.)
    void start(const request_kind& kind, std::string head);
    // One of the proxy's own answers to the current request, whose body is
    // then dropped; `closing` ends the client's stream after it. During an
    // exchange that has not reached its origin yet, the exchange is dropped
    // (a lookup's outcome). Not once an answer from an origin has begun.
    // The request's record gets the answer's status and an outcome (by
    // default the one its status means: answers::outcome_of).
    void answer(const char* text, bool closing);
    void answer(const char* text, bool closing, exchange_outcome outcome);
    // Bytes of the current request's body, or tunnel bytes. Dropped when
    // there is no exchange to take them (a refused request, an answer that
    // ended early).
    void from_client(const char* data, size_t len);
    // The current request's body is complete.
    void request_finished();
    // The client has finished sending (in the middle of a request: see
    // above).
    void client_finished();

    // Whether the client's socket may be read: there is room() and no bytes
    // wait to be parsed. Always while closing (what comes is dropped).
    bool client_may_send(size_t held) const;
    // How many more bytes this client's exchange may hold now (its budget,
    // and its share of memory_budget.h); what one read may take at most.
    size_t room() const
    {
        size_t mine = holding();
        size_t own = mine < budget ? budget - mine : 0;
        size_t shared = memory_budget::allowance(charged);
        return own < shared ? own : shared;
    }
    // The parts the two sides hold themselves, for the budget: the client's
    // request head and waiting requests, the origin's answer head; and the
    // call that brings the count up to date after a handler.
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
    // Whether the next request may be taken up: no exchange in flight, the
    // budget has room, the stream is not closing.
    bool ready_for_request() const;
    // The client's stream ends after what is queued for it.
    bool closing() const { return close_client; }
    // The client has finished sending.
    bool client_ended() const { return client_eof; }
    // The request failed on a pooled connection before any answer, and may
    // be sent again: the client side is to reach its origin once more (then
    // retried()).
    bool retry_due() const { return retry_pending; }
    void retried() { retry_pending = false; }
    // The origin switched protocols: the client side passes every byte on
    // from now on (then switched()).
    bool switch_due() const { return switch_pending; }
    void switched() { switch_pending = false; }

    // Lends the client side what comes next for it, up to cap: bytes at the
    // front of to_client (*data) or in the pipe (*pipe, its read end);
    // returns their number (0: nothing waits).
    size_t lend_to_client(size_t cap, const char** data, int* pipe);
    // The bytes lent last time have been sent.
    void client_took();
    // Bytes waiting for the client, in the pipe and in memory.
    size_t for_client() const { return piped + to_client.size(); }
    // Whether the client connection is finished: everything it was owed has
    // been delivered and nothing more can come, given whether the client
    // has finished (eof) and whether its stream has been shut down already.
    bool client_finished_with(bool eof, bool shut) const;
    // Whether the client's sending side is to be shut down now (the end of
    // its stream follows what has been delivered).
    bool client_write_done() const;
    // Whether the client c has stalled at `now` (see Stalls), and when it
    // will have unless it takes something (timer_heap::never: nothing waits
    // for it).
    bool client_stalled(const connection& c, int64_t now) const;
    int64_t client_stall_deadline(const connection& c) const;

    // ---- the origin side

    // A search for the current exchange's origin is under way (it holds
    // the relay); and, from the search, it is over.
    void seek(origin_search* search);
    void search_over(origin_search* search);
    // `origin` now serves the current exchange: a new connection whose
    // connect is under way, or one taken from the pool. It holds the relay.
    void bind(origin_link* origin, bool pooled);
    // Its connect has completed: a tunnel opens ("200"), a request goes out.
    void connected();
    // Every address has failed (the "502"), or the lookup found nothing to
    // connect to: `text` answers the client and ends its stream.
    void unreachable(const char* text);

    // Lends the origin connection the bytes at the front of to_origin, up
    // to cap, to send in place; returns their number.
    size_t lend_to_origin(size_t cap, const char** data);
    // The bytes lent last time have been sent.
    void origin_took();
    // Whether the origin connection's sending side is to be shut down: the
    // client has finished and everything it sent has gone out.
    bool origin_write_done() const;
    // Whether the origin connection is done with this relay: its client has
    // gone and everything it was given has gone out.
    bool origin_released() const;
    // Bytes wait to go to the origin.
    bool undelivered() const { return !to_origin.empty(); }
    // Whether the origin connection c has stalled at `now` (see Stalls), and
    // when it will have unless it takes something.
    bool origin_stalled(const connection& c, int64_t now) const;
    int64_t origin_stall_deadline(const connection& c) const;

    // Receiving the origin's bytes, which reach the client's queue only
    // through these verbs, in one of three ways:
    //  - in place: a read lands in space_for_origin() (the back of the
    //    client's queue), and from_origin_in_place() takes its len bytes;
    //  - read: from_origin_read() has the reader take the len bytes read,
    //    which appends what passes on, and returns how many it used;
    //  - spliced: pipe_for_origin() gives the splice pipe for bulk data (-1:
    //    through the queue), and piped_from_origin() takes the n bytes
    //    spliced in (0: none, the pipe or the socket was empty).
    // Invariant: every byte in the pipe precedes every byte in to_client, so
    // bytes go into the pipe only while to_client is empty, and the client
    // takes from the pipe first. The read size tells whether the origin is
    // streaming.
    char* space_for_origin(size_t* room) { return to_client.back_space(room); }
    void from_origin_in_place(int len);
    size_t from_origin_read(response_reader& reader, const char* data, int len);
    int pipe_for_origin(uint64_t run, int* len);
    void piped_from_origin(int n);
    // Whether the origin's socket may be read: false while the client is
    // more than high_water behind, while there is no room(), and once the
    // client has gone.
    bool origin_may_send() const;

    // What the answer reader found (response_reader.h), in order: the first
    // byte of an answer arrived (from here on the request is never sent
    // again); the final head passed on (from here on the proxy has no answer
    // of its own to give); the answer complete (`reusable`: the connection
    // may carry another exchange); a switch of protocols; an answer that
    // failed, and why.
    void answer_started();
    void final_started(int status);
    void answer_finished(bool reusable, bool ends_connection);
    void tunnel_opened();
    void answer_failed(answers::origin_failure why);
    // The origin has finished sending (tunnels only; an exchange learns it
    // through answer_finished or answer_failed).
    void origin_finished();
    // The origin connection is going away (ended by the server), and why.
    void origin_gone(origin_link* origin, answers::origin_failure why);
    // Whether the origin side of the exchange is still attached (connection
    // or lookup).
    bool attached() const { return refs > (client ? 1 : 0); }
    connection* client_connection() const { return client; }
    origin_link* origin_connection() const { return origin; }

private:
    // The exchange is complete when both the request and the answer are:
    // hands the origin connection back to the pool or lets it end, and
    // takes up the next request or ends the client's stream.
    void complete_if_done();
    // The current origin connection stops serving this relay: it goes back
    // to the pool (park) or ends.
    void unbind(bool park);
    // Bytes lent to the origin connection and not sent yet go to its own
    // buffer; to_origin may then be cleared.
    void take_back_from_origin();
    // len bytes read from the origin, of which `queued` went into to_client.
    void from_origin(int len, size_t queued);
    // The exchange cannot go on with its origin connection: the request
    // goes once more (see Never twice), or the client gets the 502 for why,
    // or, when the final answer has begun, the end of its stream.
    void fail_exchange(answers::origin_failure why);
    // The exchange's request can never be whole (the client left or
    // finished sending in the middle of it): see above.
    void abandon_request();
    // The search under way, if any, gives up.
    void stop_search();
    static exchange_outcome outcome_of(answers::origin_failure why);
    // Everything held for this client now (see Memory).
    size_t holding() const { return to_origin.size() + for_client() + client_bytes + origin_bytes; }
    void wake_client() const;
    void wake_origin() const;
    bool open_pipe();

    static constexpr uint64_t pipe_after = 1u << 20;  // bytes relayed before a pipe is worth it
    static constexpr int streaming_read = 64 * 1024;  // a read this large means more is coming

    int32_t refs = 1;
    connection* client;
    origin_link* origin = nullptr;
    origin_search* search = nullptr;
    base::byte_queue to_origin;  // filled by the client side, drained by the origin connection
    base::byte_queue to_client;  // filled by the origin connection and the proxy's own answers

    stage now = stage::idle;
    uint64_t exchanges = 0;
    request_kind kind;
    std::string head;          // the current request's head, until its answer starts
    uint64_t sent_to_origin = 0;  // bytes of the current request lent to the origin connection
    bool pooled = false;       // the origin connection came from the pool
    bool request_done = false; // the current request's body is complete
    bool answer_done = false;  // the current answer is complete
    bool answer_heard = false; // a byte of it has arrived
    bool final_begun = false;  // its final head has been passed on
    bool drop_request = false; // the rest of the current request goes nowhere
    bool body_seen = false;    // a byte of the current request's body has come
    bool retried_once = false; // the current request went out a second time
    bool close_client = false; // the client's stream ends after what is queued
    bool quick_close = false;  // ...and the connection at once: the client may send no more
    bool client_eof = false;
    bool origin_eof = false;
    bool retry_pending = false;
    bool switch_pending = false;

    size_t origin_lent = 0;    // bytes of to_origin the origin connection is sending in place
    size_t client_lent = 0;    // bytes the client side is sending from the pipe or to_client
    bool client_lent_pipe = false;
    bool streaming = false;
    int pipe_read = -1;
    int pipe_write = -1;
    size_t pipe_capacity = 0;
    size_t piped = 0;          // bytes in the pipe
    bool pipe_full = false;    // it took nothing last time; wait until the client has taken some
    uint64_t relayed = 0;      // bytes the origins have sent so far

    uint32_t client_bytes = 0;  // client_holds(): a head and held requests, a few MiB at most
    uint32_t origin_bytes = 0;  // origin_holds(): an answer head, 64 KiB at most
    size_t charged = 0;         // what memory_budget counts for this relay

    exchange_ledger ledger;    // the records of the client's requests
};
