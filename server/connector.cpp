#include "server/connector.h"

#include "server/connection_registry.h"
#include "server/sockets.h"

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

int connector::start(const sockaddr_in& to, int* error)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS &&
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
