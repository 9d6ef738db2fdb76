// The proxy's own answers to its clients, byte for byte.
#pragma once

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

}  // namespace answers
