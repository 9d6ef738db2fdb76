// One TCP connection to an origin server, opened for a client's request and
// handed to the server. It serves one exchange at a time (proxy_relay.h):
// it sends the request the relay lends it, reads the answer with a
// response_reader, which tells where the answer ends while its bytes pass on
// unchanged (large bodies spliced), and then goes back to the pool
// (origin_pool.h) when it can carry another exchange, for the next request
// to the same origin from any client, or ends.
//
// Reaching the origin: each address is tried by a connection of its own,
// in a race (origin_race.h) whose winner serves the exchange.
//
// It ends when the origin closes (an answer that runs to the close, a tunnel
// both of whose directions have finished, a connection closed while in the
// pool), on a socket error, at once once it has finished an exchange it
// cannot pass on (what it had not sent is dropped), after idle_limit seconds
// without bytes in either direction of an exchange, when the origin has
// taken nothing of the request for proxy_relay::stall_limit seconds, after
// origin_pool::idle_limit seconds in the pool, when it has bytes to read
// while in the pool, or once its client has gone and what it was given has gone out
// (orphan_stall seconds at most while the origin takes nothing; as long for
// a client that has finished sending while bytes it sent wait). An attempt
// whose connect takes longer than connect_limit seconds fails.
#pragma once

#include "http/response_reader.h"
#include "proxy/answers.h"
#include "proxy/origin_pool.h"
#include "proxy/proxy_relay.h"
#include "server/connection.h"

#include "server/socket_address.h"

#include <string>

class proxy_connection;

// The race a connection is an attempt of, as the attempt sees it
// (origin_race is the one there is): the attempt reports, the race decides.
class attempt_owner {
public:
    virtual ~attempt_owner() = default;
    // The connect has taken its stagger: the next address starts beside it.
    virtual void slow(proxy_connection* attempt) = 0;
    // The connect has ended (error 0: connected).
    virtual void outcome(proxy_connection* attempt, int error) = 0;
    // The attempt is going away without an outcome.
    virtual void gone(proxy_connection* attempt) = 0;
};

class proxy_connection : public origin_link {
public:
    // Seconds an exchange with an origin may stay silent in both directions
    // before the client and its origin connection are ended together.
    static constexpr int32_t idle_limit = 600;
    // Seconds a connection whose client has gone, or has finished sending,
    // may go without the origin taking any of the bytes it still has to
    // deliver.
    static constexpr int32_t orphan_stall = 5;
    // Seconds one connect attempt may take.
    static constexpr int32_t connect_limit = 5;
    // How soon a connection not read for memory is looked at again.
    static constexpr int64_t paused_recheck_ms = 250;

    // A connection whose connect to `to` is under way, for the race (null
    // when no connect could be started); the race hands it to the server.
    // host and port are the origin's, for `pool`, which it goes back to
    // when it can carry another exchange; `to` must be canonical
    // (socket_address.h).
    static proxy_connection* attempt(attempt_owner* race, origin_pool& pool, const std::string& host, int32_t port,
                                     const socket_address& to);
    // Called by the race: it reports to it no more; and, lost or not wanted,
    // it ends.
    void leave_race();
    void abandon();
    ~proxy_connection() override;


    // Called by the relay it serves. expect(): the answer to read next is
    // for a request of this kind (a tunnel: no answer is read at all).
    // let_go(): the exchange is over; to the pool (park) or to its end.
    void expect(bool head_request, bool upgrade, bool tunnel, bool interim) override;
    void let_go(bool park) override;
    // Serves the relay's current exchange: taken from the pool, or the
    // winner of its race, just connected.
    void serve(proxy_relay* relay, bool pooled);
    const socket_address& address() const override { return to; }

    void on_recv(char* data, int len) override;
    handover on_send(char* buf, int cap) override;
    int on_connect(int error) override;
    void on_connect_slow() override;
    bool timed_out(int64_t now) const override;
    int64_t deadline() const override;
    bool on_eof() override;
    bool wants_input() const override;
    char* receive_space(int* len) override;
    int receive_pipe(int* len) override;
    void on_piped(int len) override;

private:
    proxy_connection(origin_pool& pool, const std::string& host, int32_t port, const socket_address& to);

    // Tells the relay what the reader has found since the last look.
    void report();
    // Serving a relay: whether no client waits for what it delivers, and
    // when a byte last moved for the exchange on either side.
    bool orphaned() const;
    int64_t last_exchange_activity() const;
    // Brings the relay's count of what is held up to date.
    void account();

    // What the connection is for; each role's data beside it. An attempt
    // reports to `race` until the race lets go of it, then serves or is
    // released; a serving one has `relay`; a released one has neither.
    enum class role : uint8_t {
        attempt,   // connecting, for a race
        serving,   // carries the relay's exchange
        released,  // serves nothing: waits in the pool while the pool holds it
                   // (`place`), otherwise ends once its own output is out
    };
    role state = role::attempt;
    bool parked() const { return origin_pool::holds(place); }

    proxy_relay::handle relay;  // the exchange it serves, while serving
    attempt_owner* race = nullptr;  // while an attempt of a race still running
    origin_pool& pool;
    origin_pool::place place;  // the pool's record of it
    std::string host;    // the origin, as the client named it (canonical)
    int32_t port = 0;
    socket_address to;
    response_reader reader;
    char* offered = nullptr;  // space in the client's queue offered for receiving
    // How far the relay has been told the current answer has come.
    enum class told : uint8_t { nothing, begun, final_head };
    told reported = told::nothing;
    bool spoiled = false;     // bytes came after the answer: never reused
    // Why timed_out() said it is to end, for the relay when it goes (asked
    // when its moment comes, and true only once: the server then ends it).
    mutable answers::origin_failure ended_by = answers::origin_failure::reset;
};
