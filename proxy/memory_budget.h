// What the proxy holds for all its clients together, in memory and in splice
// pipes: request heads being read and requests waiting to be parsed, the
// queues between each client and its origin, answer heads being read. Each
// client's relay has a budget of its own (relay_flow::budget); this one
// bounds their sum, so that many clients, each within its own budget, cannot
// together make the proxy hold more than `limit`.
//
// The rule: a relay may take in what is left below `limit`, or, when that is
// less, what is left of its fair share (`limit` divided among the relays
// holding anything, and no more than `least`), and never more than its own
// budget allows. Past the limit only the fair share is left. So the relays
// holding the most are the ones not read until the sum has drained, a
// client that has just come (holding nothing) is still read far enough for
// a request head of common size, and the sum stays within `limit` plus
// `least` per relay at worst. What relays hold drains by itself as clients
// read and origins take (and a request head never finished ends with its
// client, http_connection::max_head_seconds).
//
// Relays report what they hold with charge(); nothing is counted twice, and
// a relay that goes away charges 0. Both are asked several times per
// request, so they are inline. Loop's thread only.
#pragma once

#include <cstddef>

namespace memory_budget {

// Everything held for all clients together, at most (a little more only for
// the proxy's own short answers, which are never refused).
constexpr size_t limit = size_t(128) << 20;
// What a relay may always hold, whatever the others hold: room for a
// request head of common size.
constexpr size_t least = size_t(64) << 10;

namespace detail {
inline size_t sum = 0;    // everything charged
inline size_t count = 0;  // holders with something charged
}  // namespace detail

// A holder's bytes change from `was` to `now`.
inline void charge(size_t was, size_t now)
{
    detail::sum = detail::sum - was + now;
    detail::count += (was == 0 && now != 0) - (was != 0 && now == 0);
}

// How many more bytes a holder that holds `mine` may take in now; 0: none.
inline size_t allowance(size_t mine)
{
    size_t spare = detail::sum < limit ? limit - detail::sum : 0;
    // Far from the limit (nearly always), no share is worth working out:
    // it is never more than `least`.
    if (spare >= least)
        return spare;
    // A holder with nothing yet is about to be one more among them.
    size_t share = limit / (detail::count + (mine == 0 ? 1 : 0));
    if (share > least)
        share = least;
    size_t fair = mine < share ? share - mine : 0;
    return spare > fair ? spare : fair;
}

// Everything held now, and by how many holders.
inline size_t total() { return detail::sum; }
inline size_t holders() { return detail::count; }

}  // namespace memory_budget
