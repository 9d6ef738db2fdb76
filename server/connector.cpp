#include "server/connector.h"

#include "server/clock.h"
#include "server/connection_registry.h"
#include "server/sockets.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// SO_ERROR of fd, which reading clears (or getsockopt's own errno).
int socket_error(int fd)
{
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        return errno;
    return err;
}

}  // namespace

int connector::start(const socket_address& to, int* error)
{
    int fd = ::socket(to.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd, to.get(), to.length()) != 0 && errno != EINPROGRESS &&
        errno != EINTR) {
        *error = errno;
        close(fd);
        return -1;
    }
    return fd;
}

void connector::watch(connection* c)
{
    c->connect_pending = true;
    registry.watch(c, true);
    if (c->connect_stagger_ms > 0)
        staggered.push_back({c, monotonic_ms() + c->connect_stagger_ms});
}

void connector::tick()
{
    if (staggered.empty())
        return;
    int64_t at = monotonic_ms(), nearest = INT64_MAX;
    for (size_t i = 0; i < staggered.size();) {
        stagger s = staggered[i];
        if (!s.c->connect_pending || s.due_ms <= at) {
            staggered[i] = staggered.back();
            staggered.pop_back();
            if (s.c->connect_pending) {
                connection::selection() = s.c;
                s.c->on_connect_slow();
                connection::selection() = nullptr;
            }
            continue;  // entries added by the handler are looked at too
        }
        nearest = std::min(nearest, s.due_ms);
        i++;
    }
    if (nearest != INT64_MAX)
        sockets::wait_at_most(int(nearest - at));
}

void connector::forget(connection* c)
{
    for (size_t i = 0; i < staggered.size();)
        if (staggered[i].c == c) {
            staggered[i] = staggered.back();
            staggered.pop_back();
        } else
            i++;
}

connector::step connector::on_poll(connection* c)
{
    int fd = c->socket;
    if (!sockets::writable(fd) && !sockets::errors(fd))
        return step::waiting;
    // A failed connect is always reported as an error by the poll; only then
    // is its reason worth a system call.
    int err = 0;
    if (sockets::errors(fd)) {
        err = socket_error(fd);
        if (err == 0)
            err = ECONNREFUSED;
    }
    return finish(c, err);
}

connector::step connector::on_clock(connection* c)
{
    if (!c->connect_pending || c->connect_timeout <= 0 || now - c->last_active <= c->connect_timeout)
        return step::waiting;
    return finish(c, ETIMEDOUT);
}

connector::step connector::finish(connection* c, int error)
{
    c->connect_pending = false;
    int next = c->on_connect(error);
    if (error == 0)
        return step::connected;
    if (next < 0)
        return step::failed;
    registry.replace_socket(c, next);
    c->last_active = now;  // the new attempt's connect_timeout starts now
    watch(c);
    return step::retrying;
}
