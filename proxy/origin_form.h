// What a forwarded request looks like to its origin: the request line in
// origin form and the client's header lines without the ones that describe
// only the client's hop. Pure functions of the head and its facts
// (request_facts.h), which tell them what the head says; they read no
// field of their own.
#pragma once

#include "http/request_facts.h"
#include "proxy/split_url.h"

#include <string>

namespace origin_form {

// The header lines of head to forward to target's origin: every line after
// the request line except the hop-by-hop ones (names beginning with "Proxy"
// or "Connection" in any letter case, Keep-Alive, TE, Trailer, Upgrade
// unless the request upgrades, and every field the Connection options name
// but those that frame the body or name the origin), and a Host field naming
// the target's origin: the client's own line where it names that origin
// already, otherwise one built from the target in place of the client's
// (first, if it sent none). CR, LF and NUL bytes inside a line (which some
// recipients take for line ends) are forwarded as spaces.
std::string copy_headers(const std::string& head, const request_facts& facts, const split_url& target);

// The whole head that goes to the origin for a request (not CONNECT): the
// request line in origin form (the client's version kept), the lines
// copy_headers() keeps, the proxy's own Connection line (the upgrade option
// for a request that upgrades; keep-alive for HTTP/1.0, so that the
// connection can serve later requests), the blank line.
std::string forwarded_head(const std::string& method, const split_url& target, const std::string& version,
                           const std::string& head, const request_facts& facts);

}  // namespace origin_form
