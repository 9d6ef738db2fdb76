// Reaching an origin by every address its name has, the way RFC 8305 (Happy
// Eyeballs) describes: connect attempts start in the resolver's order with
// the families interleaved (the first address's family, then the other,
// and so on), each attempt_delay_ms after the one before unless that one has
// failed sooner, all of them going on side by side; the first to connect
// serves the exchange and the others are closed. Only when every address has
// failed is the client told ("No addresses worked for host %s." and the
// 502). A name with addresses of one family is tried one address after the
// other in the same way.
//
// Bounds, so that a name with many silent addresses holds little for not
// long: each attempt has proxy_connection::connect_limit seconds; at most
// max_attempts run at once (the next waits for one to fail); no attempt
// starts later than launch_limit seconds after the first, so the whole race
// is over within launch_limit + connect_limit seconds. And the race gives
// up, closing every attempt at once, as soon as the exchange no longer
// wants it (its client gone, its request refused or abandoned): the relay
// knows it as its origin_search.
//
// Each attempt is a proxy_connection of its own, handed to the server with
// its connect in progress; the race holds a handle on the relay until it is
// decided, and frees itself then. Loop thread only.
#pragma once

#include "proxy/proxy_connection.h"
#include "server/socket_address.h"

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

struct proxy_context;

class origin_race : public attempt_owner, public origin_search {
public:
    // Milliseconds an attempt has before the next starts beside it.
    static constexpr int32_t attempt_delay_ms = 250;
    // Attempts running at once, at most.
    static constexpr size_t max_attempts = 4;
    // Seconds after the race's start past which no attempt starts.
    static constexpr int32_t launch_limit = 25;

    // Starts reaching host:port at `addresses` (canonical, ports set) for
    // the relay's current exchange. Null when an attempt is under way;
    // otherwise (no address takes a connect at all) the answer for the
    // client, with the reason printed. The context's server takes the
    // attempts, and its pool the winner once it is done.
    static const char* start(proxy_context& context, proxy_relay* relay, const std::string& host, int32_t port,
                             std::vector<socket_address> addresses);

    // What an attempt reports: it is slow (the next one starts beside it);
    // its connect has ended (error 0: connected); it is going away.
    void slow(proxy_connection* attempt) override;
    void outcome(proxy_connection* attempt, int error) override;
    void gone(proxy_connection* attempt) override;

    // The exchange wants no origin connection any more.
    void give_up() override;

private:
    origin_race(proxy_context& context, proxy_relay* relay, const std::string& host, int32_t port,
                std::vector<socket_address> addresses);
    ~origin_race() override = default;

    // Starts the next address that takes a connect, if the bounds allow;
    // false when none could start.
    bool launch_next();
    // An attempt has dropped out; with none left and no address untried,
    // the race is lost.
    void dropped(proxy_connection* attempt);
    // The race is over: the attempts still running are closed, the relay
    // let go, the race freed.
    void finish();
    // The exchange that asked still waits for this race.
    bool wanted() const;

    proxy_context& context;
    proxy_relay::handle relay;
    uint64_t exchange;  // the relay's exchange that asked
    std::string host;
    int32_t port;
    std::vector<socket_address> addresses;  // interleaved by family
    size_t next = 0;                        // the first address not tried yet
    int64_t started;  // monotonic ms
    std::vector<proxy_connection*> attempts;
};
