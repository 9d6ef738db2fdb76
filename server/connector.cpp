#include "server/connector.h"

#include "server/connection.h"
#include "server/connection_registry.h"
#include "server/sockets.h"
#include "server/timer_heap.h"

#include <cerrno>
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
    using lifecycle = connection::lifecycle;
    if (c->life == lifecycle::open)
        c->life = lifecycle::connecting;
    else if (c->life == lifecycle::finishing)
        c->life = lifecycle::connecting_to_finish;  // (an ending or broken one stays so)
    c->connect_started = now;
    c->stagger_due = c->connect_stagger_ms > 0 ? now + c->connect_stagger_ms : timer_heap::never;
    registry.watch(c, true);
}

int64_t connector::moment(const connection* c) const
{
    if (!c->connecting())
        return timer_heap::never;
    int64_t at = c->stagger_due;
    if (c->connect_timeout > 0 && c->connect_started + int64_t(c->connect_timeout) * 1000 < at)
        at = c->connect_started + int64_t(c->connect_timeout) * 1000;
    return at;
}

connector::step connector::on_time(connection* c)
{
    if (!c->connecting())
        return step::waiting;
    if (c->connect_timeout > 0 && now >= c->connect_started + int64_t(c->connect_timeout) * 1000)
        return finish(c, ETIMEDOUT);
    if (c->stagger_due <= now) {
        c->stagger_due = timer_heap::never;
        c->on_connect_slow();
    }
    return step::waiting;
}

connector::step connector::on_poll(connection* c)
{
    int fd = c->socket;
    if (!polled.writable(fd) && !polled.errors(fd))
        return step::waiting;
    // A failed connect is always reported as an error by the poll; only then
    // is its reason worth a system call.
    int err = 0;
    if (polled.errors(fd)) {
        err = socket_error(fd);
        if (err == 0)
            err = ECONNREFUSED;
    }
    return finish(c, err);
}

connector::step connector::finish(connection* c, int error)
{
    using lifecycle = connection::lifecycle;
    if (c->life == lifecycle::connecting)
        c->life = lifecycle::open;
    else if (c->life == lifecycle::connecting_to_finish)
        c->life = lifecycle::finishing;
    c->stagger_due = timer_heap::never;
    int next = c->on_connect(error);
    if (error == 0)
        return step::connected;
    if (next < 0)
        return step::failed;
    registry.replace_socket(c, next);
    c->last_active = now;
    watch(c);
    return step::retrying;
}
