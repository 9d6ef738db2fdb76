// Everything between one client connection (http_proxy) and the origin
// connections (proxy_connection) that serve its requests, one at a time: the
// state of the current exchange and every rule about it, over the bytes and
// budget of relay_flow.h. The two sides never decide these things
// themselves: they tell the relay what happened (a request head, body bytes,
// an answer's end, a connect, an end of stream) and ask it what to do (what
// to send, whether to read, whether to end). Its fields are its own.
//
// Exchanges. Each request the client sends is one exchange, taken up only
// once the one before it is complete, so answers reach the client in the
// order of the requests, whoever makes them: the proxy's own answers (400,
// 404, 407, 431, 502, 508) go into the same queue as an origin's bytes. The
// exchange is in one stage at a time, changed only here:
//
//   stage       event                                       next stage
//   idle        start(): a request goes upstream            reaching
//   reaching    connected(): a request goes out             sent
//   reaching    connected(): CONNECT, "200" queued          tunnel
//   sent        answer_started(): an answer's first byte    heard
//   sent/heard  final_started(): the final head goes on     answering
//   answering   tunnel_opened(): a 101                      tunnel
//   answering   answer_finished(), the request whole        idle
//   answering   answer_finished(), the request not whole    answered
//   answered    request_finished()                          idle
//   sent        lost, and it may go again (Never twice)     reaching, event reach_again
//   reaching,   answer() (the proxy's own), a failure       idle, the answer queued
//    sent, heard  (a 502 naming it), or abandoned
//   answering,  answer(), a failure                         idle, the client's stream
//    answered                                                ends where the answer broke off
//
// An exchange is complete once the client has sent the whole request and the
// origin the whole answer (response_reader.h tells where it ends); then the
// origin connection goes back to the pool (origin_pool.h) if it can carry
// another exchange, or ends, and the next request is taken up. Facts of an
// exchange beside its stage: the kind of request (request_kind), how much of
// its body has come (body), whether its origin connection came from the pool.
//
// Events. What the client side must act on, but not in the middle of the
// origin's handler that caused it (which may be ending its connection):
// the request is to reach an origin once more (reach_again), or the origin
// has switched protocols and every later byte passes on (switch_protocols).
// The relay queues the event and wakes the client, which takes it
// (take_event()) when it is served next.
//
// Never twice: a request is sent once more, on a new connection, only when
// all of this holds: it went out on a pooled connection, that connection
// ended (closed or reset) before any byte of an answer came, nothing of the
// request's body had gone out, and its method is idempotent (GET, HEAD,
// OPTIONS, TRACE, PUT, DELETE), so that the origin acting on it twice does
// no harm. An origin that answered anything, even an unreadable head, has
// seen the request. A request that went again went on a new connection, so
// it never goes a third time. Every other failure before the final answer's
// head gets a 502 saying what happened (answers::origin_failed); after it,
// the client's stream ends where the answer broke off.
//
// An exchange whose request can never be whole ends at once: when the
// client leaves or finishes sending in the middle of its request, its
// origin connection ends (nothing is owed to an origin that waits for the
// rest) and so does a search for one; the client gets no answer, which
// could only mislead it, unless the origin's answer had begun (it goes on).
// Once the client has gone, its origin is read no more.
//
// Holders. The record lives as long as a handle to it: the client's, for
// its whole life; the origin connection's while it serves the current
// exchange; a pending name lookup's and a search's. A relay whose client has
// gone (orphaned) lets its origin connection deliver what it was given and
// end. The relay takes a handle to itself for the length of a call that may
// let its origin go.
//
// Memory: relay_flow.h. No side reads more than room() at a time; past it
// the client is not read, and the next request is not taken up, until the
// queues have drained; the origin is not read while the client is more than
// high_water behind.
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

#include "http/response_reader.h"
#include "proxy/answers.h"
#include "proxy/exchange_ledger.h"
#include "proxy/origin_link.h"
#include "proxy/relay_flow.h"
#include "proxy/request_kind.h"
#include "server/connection.h"
#include "server/socket_address.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <utility>

class proxy_relay {
public:
    // What the proxy holds for one client at most, and how far the client
    // may fall behind (relay_flow.h).
    static constexpr size_t budget = relay_flow::budget;
    static constexpr size_t high_water = relay_flow::high_water;
    // Seconds a peer may take nothing of what waits for it (see Stalls).
    static constexpr int32_t stall_limit = 60;

    // The stages of the current exchange (see the table above).
    enum class stage : uint8_t {
        idle,       // no request upstream: the next one may be taken up
        reaching,   // a lookup or connect for it is under way
        sent,       // the request goes to its origin; no byte of an answer yet
        heard,      // an answer has begun (interim answers, a head): never sent again
        answering,  // the final answer's head has gone on: the proxy has no answer of its own
        answered,   // the answer is complete, the request not: the rest of it goes nowhere
        tunnel,     // bytes pass both ways, unread, until both ends close
    };

    // What the client side is to do when it is served next (see Events).
    enum class event : uint8_t { none, reach_again, switch_protocols };

    // A hold on a relay: the record lives while one exists (see Holders).
    class handle {
    public:
        handle() = default;
        explicit handle(proxy_relay* r) : relay(r)
        {
            if (relay)
                relay->holders++;
        }
        handle(const handle& other) : handle(other.relay) {}
        handle(handle&& other) noexcept : relay(other.relay) { other.relay = nullptr; }
        handle& operator=(handle other) noexcept
        {
            std::swap(relay, other.relay);
            return *this;
        }
        ~handle() { reset(); }
        void reset()
        {
            if (relay && --relay->holders == 0)
                delete relay;
            relay = nullptr;
        }
        proxy_relay* get() const { return relay; }
        proxy_relay* operator->() const { return relay; }
        explicit operator bool() const { return relay != nullptr; }

    private:
        proxy_relay* relay = nullptr;
    };

    // A new relay for `client`, which holds the handle for its whole life.
    static handle open(connection* client) { return handle(new proxy_relay(client)); }
    proxy_relay(const proxy_relay&) = delete;
    proxy_relay& operator=(const proxy_relay&) = delete;

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
    // The event due for the client side, which is then no longer due.
    event take_event()
    {
        event e = due;
        due = event::none;
        return e;
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
    // How many more bytes this client's exchange may hold now; what one read
    // may take at most. The parts the two sides hold themselves, and the
    // call that brings the count up to date after a handler (relay_flow.h).
    size_t room() const { return flow.room(); }
    void client_holds(size_t n) { flow.client_holds(n); }
    void origin_holds(size_t n) { flow.origin_holds(n); }
    void account() { flow.account(); }
    // Whether the next request may be taken up: no exchange in flight, the
    // budget has room, the stream is not closing.
    bool ready_for_request() const;
    // The client's stream ends after what is queued for it.
    bool closing() const { return close != client_close::no; }
    // The client has finished sending.
    bool client_ended() const { return client_eof; }

    // Lends the client side what comes next for it, up to cap: bytes in
    // memory (*data) or in the pipe (*pipe, its read end); returns their
    // number (0: nothing waits).
    size_t lend_to_client(size_t cap, const char** data, int* pipe) { return flow.lend_to_client(cap, data, pipe); }
    // The bytes lent last time have been sent.
    void client_took();
    // Bytes waiting for the client, in the pipe and in memory.
    size_t for_client() const { return flow.waiting_for_client(); }
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

    // A search for the current exchange's origin is under way (it holds a
    // handle); and, from the search, it is over.
    void seek(origin_search* search);
    void search_over(origin_search* search);
    // `origin` now serves the current exchange: a new connection whose
    // connect is under way, or one taken from the pool. It holds a handle.
    void bind(origin_link* origin, bool pooled);
    // Its connect has completed: a tunnel opens ("200"), a request goes out.
    void connected();
    // Every address has failed (the "502"), or the lookup found nothing to
    // connect to: `text` answers the client and ends its stream.
    void unreachable(const char* text);

    // Lends the origin connection the bytes at the front of what waits for
    // it, up to cap, to send in place; returns their number.
    size_t lend_to_origin(size_t cap, const char** data);
    // The bytes lent last time have been sent.
    void origin_took();
    // Whether the origin connection's sending side is to be shut down: the
    // client has finished and everything it sent has gone out.
    bool origin_write_done() const;
    // Whether the origin connection is done with this relay: its client has
    // gone and everything it was given has gone out.
    bool origin_released() const { return !client && flow.waiting_for_origin() == 0; }
    // Bytes wait to go to the origin.
    bool undelivered() const { return flow.waiting_for_origin() != 0; }
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
    char* space_for_origin(size_t* room) { return flow.client_space(room); }
    void from_origin_in_place(int len);
    size_t from_origin_read(response_reader& reader, const char* data, int len);
    int pipe_for_origin(uint64_t run, int* len) { return flow.pipe_for(run, len, client != nullptr); }
    void piped_from_origin(int n);
    // Whether the origin's socket may be read: false while the client is
    // more than high_water behind, while there is no room(), and once the
    // client has gone.
    bool origin_may_send() const { return flow.origin_may_send(client != nullptr); }

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
    connection* client_connection() const { return client; }
    origin_link* origin_connection() const { return origin; }

private:
    explicit proxy_relay(connection* client) : client(client) {}
    ~proxy_relay() = default;

    // How the client's stream ends.
    enum class client_close : uint8_t {
        no,         // it goes on
        lingering,  // after what is queued; the connection reads and drops until the client finishes
        at_once,    // after what is queued, and the connection with it: the client may send no more
    };
    // How much of the current request's body has come.
    enum class body_progress : uint8_t {
        awaited,  // none of it yet
        flowing,  // some of it
        whole,    // all of it (or there is none)
    };

    // The client's stream ends after what is queued (at once, if it was
    // to end so already).
    void close_stream()
    {
        if (close == client_close::no)
            close = client_close::lingering;
    }
    // The current origin connection stops serving this relay: it goes back
    // to the pool (park) or ends.
    void unbind(bool park);
    // Bytes lent to the origin connection and not sent yet go to its own
    // buffer; what waits for it may then be cleared.
    void take_back_from_origin();
    // len bytes read from the origin, of which `queued` went into the
    // client's queue.
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
    void wake_client() const;
    void wake_origin() const;

    int32_t holders = 0;  // handles to this record
    connection* client;
    origin_link* origin = nullptr;
    origin_search* search = nullptr;
    relay_flow flow;

    stage now = stage::idle;
    event due = event::none;
    client_close close = client_close::no;
    body_progress body = body_progress::whole;
    uint64_t exchanges = 0;
    request_kind kind;
    std::string head;             // the current request's head, until its answer starts
    uint64_t sent_to_origin = 0;  // bytes of the current request lent to the origin connection
    bool pooled = false;          // the origin connection came from the pool
    bool client_eof = false;      // the client has finished sending
    bool origin_eof = false;      // the origin has finished sending (a tunnel's)

    exchange_ledger ledger;  // the records of the client's requests
};
