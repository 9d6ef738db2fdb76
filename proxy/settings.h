// What the operator set for the proxy: the credentials it demands, the block
// list and the egress policy. One object, owned by the proxy's context
// (proxy_context.h) and read by every client connection through it; set
// from the command line before the server starts. Afterwards the loop's
// thread only reads it, except that a reload (SIGHUP) swaps in a new block
// list and a new egress policy together between two turns, so no request
// sees half of a reload; both are built on another thread and never shared
// while they are being built.
#pragma once

#include "base/hashmap.h"
#include "proxy/egress_policy.h"

#include <string>

struct settings {
    // "username:password" for Basic proxy authentication; empty: none demanded.
    std::string auth;

    // Blocked domains as keys in canonical form (the values are always true).
    // A host is blocked when it, or any parent domain of it, is a key; an
    // address a name resolves to is looked up the same way.
    base::hashmap<bool> blacklist;

    // Who may use the proxy and where it may go (egress_policy.h): the -p
    // files' rules, the default for a proxy on every adapter, or none.
    egress_policy policy;
};
