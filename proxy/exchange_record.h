// What is known of one request when its exchange ends: who asked for what,
// what the client got, where the proxy connected, how many bytes went each
// way and how long it all took. The relay keeps one per request, from the
// parsed head until the last byte of the answer has been handed to the
// client's socket (or the client has gone), then gives it to the access log
// and the metrics (access_log.h, metrics.h).
#pragma once

#include "server/socket_address.h"

#include <cstdint>
#include <string>

// How an exchange ended, in one word each (the access log's `outcome`).
enum class exchange_outcome : uint8_t {
    ok,           // the origin's whole answer reached the client, or a tunnel ended
    blocked,      // the block list (404)
    denied,       // the egress policy (403)
    auth,         // credentials missing or wrong (407)
    bad_request,  // a head or target the proxy refuses (400)
    loop,         // the proxy's own address (508)
    unreachable,  // no address of the origin could be connected to (502)
    timeout,      // a limit of time ended it
    client_gone,  // the client left before its answer was complete
    origin_gone,  // the origin closed, reset or sent something unreadable
    too_large,    // a request head over the limit (431)
};
constexpr int exchange_outcomes = int(exchange_outcome::too_large) + 1;

// The outcome's word ("ok", "client_gone", ...).
const char* outcome_word(exchange_outcome outcome);

struct exchange_record {
    int64_t started_ms = 0;    // monotonic
    int64_t connected_ms = -1; // monotonic; -1: never connected
    int64_t ended_ms = 0;      // monotonic

    // Copied only when the access log is written.
    socket_address client;  // the client's address and port
    std::string user;    // the Basic user accepted; empty: none
    std::string method, target;
    std::string host;    // canonical; empty: no host could be read
    int32_t port = 0;

    int status = 0;  // what the client got; 0: nothing
    exchange_outcome outcome = exchange_outcome::ok;
    socket_address upstream;  // the address connected to; empty: none
    bool pooled = false;
    bool tunnel = false;      // bytes pass both ways unread (CONNECT, a 101): it ends with its client
    uint64_t bytes_in = 0;   // from the client: head and body, or tunnel bytes
    uint64_t bytes_out = 0;  // to the client

    // The answer's place in the client's byte stream: it ends once the
    // client's socket has taken everything up to answer_end.
    uint64_t answer_start = 0, answer_end = 0;
};
