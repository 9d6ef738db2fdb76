#include "http/http_connection.h"

#include "base/escape.h"

#include <cstdio>

std::string http_connection::info(bool with_agent) const
{
    // peer_address is in network byte order: its first byte is the first
    // number of the dotted form on every host.
    const unsigned char* a = reinterpret_cast<const unsigned char*>(&peer_address);
    std::string address;
    // Only a local front end (a reverse proxy on the same host) is trusted
    // to say who the client really is.
    if (a[0] == 127 && a[1] == 0 && a[2] == 0 && a[3] == 1)
        address = get_header("x-forwarded-for", head);
    if (address.empty()) {
        char dotted[16];
        snprintf(dotted, sizeof dotted, "%d.%d.%d.%d", a[0], a[1], a[2], a[3]);
        address = dotted;
    }
    std::string line = address + ":" + std::to_string(peer_port) + " " + method + " " + url + " " + version;
    if (with_agent)
        line += " [" + get_header("user-agent", head) + "]";
    // Target, version, agent and forwarded address are the client's bytes.
    return base::escape_controls(line);
}
