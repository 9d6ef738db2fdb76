#include "server/acceptor.h"

#include "server/clock.h"
#include "server/connection_registry.h"
#include "server/server_hooks.h"
#include "server/socket_address.h"
#include "server/sockets.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

acceptor::outcome acceptor::accept_one(int listener)
{
    sockaddr_storage addr{};
    socklen_t addr_len = sizeof addr;
    int fd = accept4(listener, reinterpret_cast<sockaddr*>(&addr), &addr_len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR)
            return outcome::none;  // a spurious wake-up, or the client gave up already
        puts("accept() failed");
        switch (err) {
        case EBADF:
        case ENOTSOCK:
        case EINVAL:
        case EFAULT:
        case EOPNOTSUPP:
            return outcome::broken;
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
            // The client stays in the backlog; try again shortly instead of
            // spinning on a listener that stays readable.
            paused_until = monotonic_ms() + pause_ms;
            polled.set_reading(listener, false);
            polled.wait_at_most(int(pause_ms));
            return outcome::none;
        default:
            return outcome::skipped;  // this client only (reset before accept, and so on)
        }
    }
    socket_address peer(reinterpret_cast<const sockaddr*>(&addr), addr_len);
    connection* c = hooks.create_connection(peer.v4());
    if (!c) {
        close(fd);
        return outcome::skipped;
    }
    c->socket = fd;
    c->peer = peer;
    if (!hooks.on_accept(c) || !polled.add(fd)) {
        delete c;
        close(fd);
        return outcome::skipped;
    }
    registry.enlist(c);
    return outcome::client;
}

bool acceptor::accept_burst(const std::vector<int>& listeners)
{
    if (paused_until) {
        int64_t at = monotonic_ms();
        if (at < paused_until) {
            polled.wait_at_most(int(paused_until - at));  // the poll comes back to resume
            return true;
        }
        paused_until = 0;
        for (int listener : listeners)
            polled.set_reading(listener, true);
    }
    for (int listener : listeners)
        for (int i = 0; i < per_turn && polled.readable(listener); i++) {
            outcome a = accept_one(listener);
            if (a == outcome::broken)
                return false;
            if (a != outcome::client)
                break;
        }
    return true;
}
