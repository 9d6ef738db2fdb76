// The two interfaces through which a relay (proxy_relay.h) reaches what
// works for its origin side, so that those parts call the relay and the
// relay only these: the origin connection serving the exchange, and a
// search for one.
#pragma once

#include "server/connection.h"
#include "server/socket_address.h"

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
