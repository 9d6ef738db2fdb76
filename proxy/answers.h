// The proxy's own answers to its clients, byte for byte.
#pragma once

#include "proxy/exchange_record.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace answers {

inline constexpr const char tunnel_open[] = "HTTP/1.1 200 OK\r\n\r\n";

inline constexpr const char not_found[] =
    "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\nContent-Length: 0\r\n\r\n";

// A request the egress policy refuses: the connection goes on, or (for a
// CONNECT, and for a client the policy does not admit) ends.
inline constexpr const char forbidden[] =
    "HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain\r\nContent-Length: 25\r\n\r\nForbidden by proxy policy";

inline constexpr const char forbidden_closing[] =
    "HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain\r\nConnection: close\r\n\r\nForbidden by proxy policy";

inline constexpr const char auth_required[] =
    "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"proxy\"\r\n"
    "Content-Length: 0\r\n\r\n";

inline constexpr const char bad_gateway[] =
    "HTTP/1.1 502 Bad Gateway\r\nContent-Type: text/plain\r\nConnection: close\r\n\r\nUnable to connect";

inline constexpr const char bad_request[] =
    "HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain\r\nConnection: close\r\n\r\nAmbiguous message framing";

inline constexpr const char malformed_request[] =
    "HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain\r\nConnection: close\r\n\r\nMalformed request head";

inline constexpr const char bad_target[] =
    "HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain\r\nConnection: close\r\n\r\nInvalid request target";

inline constexpr const char loop_detected[] =
    "HTTP/1.1 508 Loop Detected\r\nContent-Type: text/plain\r\nConnection: close\r\n\r\n"
    "Request loops back to this proxy";

// Why an origin that was reached gave no answer the client can have: each
// cause has its 502, whose body says what happened, and the words the log
// line "Origin HOST:PORT WORDS." uses for it.
enum class origin_failure {
    closed,      // closed the connection before any byte of an answer
    cut_off,     // closed it in the middle of an answer's head
    reset,       // reset it, or the socket failed
    unreadable,  // sent a head that cannot be read
    interim,     // sent too many interim answers
    stalled,     // took nothing of the request for the stall limit
    silent,      // sent nothing for the idle limit
};

// The words after "Origin " in both.
inline const char* origin_failure_words(origin_failure why)
{
    switch (why) {
    case origin_failure::closed:
        return "closed the connection without an answer";
    case origin_failure::cut_off:
        return "closed the connection in the middle of its answer";
    case origin_failure::reset:
        return "reset the connection";
    case origin_failure::unreadable:
        return "sent an answer that cannot be read";
    case origin_failure::interim:
        return "sent too many interim answers";
    case origin_failure::stalled:
        return "stopped taking the request";
    case origin_failure::silent:
        return "did not answer in time";
    }
    return "failed";
}

inline const char* origin_failed(origin_failure why)
{
    static const auto texts = [] {
        std::array<std::string, size_t(origin_failure::silent) + 1> all;
        for (size_t i = 0; i < all.size(); i++)
            all[i] = std::string("HTTP/1.1 502 Bad Gateway\r\nContent-Type: text/plain\r\nConnection: close\r\n\r\n"
                                 "Origin ") +
                     origin_failure_words(origin_failure(i));
        return all;
    }();
    return texts[size_t(why)].c_str();
}

// The status code of one of these answers ("HTTP/1.1 404 ..." is 404).
inline int status_of(const char* answer)
{
    return (answer[9] - '0') * 100 + (answer[10] - '0') * 10 + (answer[11] - '0');
}

// How an exchange the proxy answered itself ended, by the answer's status
// (a 502 is an origin that could not be reached unless the caller says
// otherwise).
inline exchange_outcome outcome_of(const char* answer)
{
    switch (status_of(answer)) {
    case 200:
        return exchange_outcome::ok;
    case 400:
        return exchange_outcome::bad_request;
    case 403:
        return exchange_outcome::denied;
    case 404:
        return exchange_outcome::blocked;
    case 407:
        return exchange_outcome::auth;
    case 431:
        return exchange_outcome::too_large;
    case 508:
        return exchange_outcome::loop;
    default:
        return exchange_outcome::unreachable;
    }
}

// Names the limit the head went over (http_proxy::max_head).
inline std::string head_too_large(int32_t limit)
{
    return "HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Type: text/plain\r\nConnection: close\r\n\r\n"
           "Request head exceeds " +
           std::to_string(limit) + " bytes";
}

}  // namespace answers
