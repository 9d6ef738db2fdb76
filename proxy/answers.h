// The proxy's own answers to its clients, byte for byte.
#pragma once

#include <cstdint>
#include <string>

namespace answers {

inline constexpr const char tunnel_open[] = "HTTP/1.1 200 OK\r\n\r\n";

inline constexpr const char not_found[] =
    "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\nContent-Length: 0\r\n\r\n";

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

// Names the limit the head went over (http_proxy::max_head).
inline std::string head_too_large(int32_t limit)
{
    return "HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Type: text/plain\r\nConnection: close\r\n\r\n"
           "Request head exceeds " +
           std::to_string(limit) + " bytes";
}

}  // namespace answers
