// Outgoing TCP connections: the other half of what the acceptor does for
// incoming ones.
#pragma once

#include <netinet/in.h>

namespace connector {

// Creates a non-blocking TCP socket for `to` (no Nagle delay: output is
// handed over in large pieces already) and starts connecting it. Returns the
// socket, whose connect is in progress or done - hand it to the server with
// `connecting` set, and it reports the outcome - or -1 when no connect could
// be started (no socket, or an error the system reports at once, such as an
// unreachable network), with the reason in *error.
int start(const sockaddr_in& to, int* error);

}  // namespace connector
