// Reaching an origin by every address its name has, the way RFC 8305 (Happy
// Eyeballs) describes: connect attempts start in the resolver's order with
// the families interleaved (the first address's family, then the other,
// and so on), each attempt_delay_ms after the one before unless that one has
// failed sooner, all of them going on side by side; the first to connect
// serves the exchange and the others are closed. Only when every address has
// failed is the client told ("No addresses worked for host %s:%d." and the
// 502). A name with addresses of one family is tried one address after the
// other in the same way.
//
// Each attempt is a proxy_connection of its own, handed to the server with
// its connect in progress; the race holds the relay (one hold) until it is
// decided, and frees itself then. Loop thread only.
#pragma once

#include "proxy/proxy_connection.h"
#include "server/socket_address.h"

#include <cstdint>
#include <string>
#include <vector>

class abstract_server;
class proxy_relay;

class origin_race : public attempt_owner {
public:
    // Milliseconds an attempt has before the next starts beside it.
    static constexpr int32_t attempt_delay_ms = 250;

    // Starts reaching host:port at `addresses` (ports set) for the relay's
    // current exchange. Null when an attempt is under way; otherwise (no
    // address takes a connect at all) the answer for the client, with the
    // reason printed.
    // `server` takes the attempts.
    static const char* start(abstract_server& server, proxy_relay* relay, const std::string& host, int32_t port,
                             std::vector<socket_address> addresses);

    // What an attempt reports: it is slow (the next one starts beside it);
    // its connect has ended (error 0: connected); it is going away.
    void slow(proxy_connection* attempt) override;
    void outcome(proxy_connection* attempt, int error) override;
    void gone(proxy_connection* attempt) override;

private:
    origin_race(abstract_server& server, proxy_relay* relay, const std::string& host, int32_t port,
                std::vector<socket_address> addresses);

    // Starts the next address that takes a connect; false when none is left.
    bool launch_next();
    // An attempt has dropped out; with none left and no address untried,
    // the race is lost.
    void dropped(proxy_connection* attempt);
    // The race is over: the attempts still running are closed, the relay
    // let go, the race freed.
    void finish();

    abstract_server& server;
    proxy_relay* relay;
    uint64_t exchange;  // the relay's exchange that asked
    std::string host;
    int32_t port;
    std::vector<socket_address> addresses;  // interleaved by family
    size_t next = 0;                        // the first address not tried yet
    std::vector<proxy_connection*> attempts;
};
