#include "server/byte_mover.h"

#include "server/abstract_server.h"
#include "server/connection_registry.h"
#include "server/sockets.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The receive buffer shared by every connection: received bytes are handed to
// on_recv straight from here and must be consumed or copied during the call.
char* receive_buffer()
{
    static char* buf = new char[connection::buffer_size];
    return buf;
}

// The send buffer every on_send call copies its output into. What the socket
// does not take at once moves to a buffer of the connection's own before
// another connection is asked, so a connection holds a buffer only while
// copied output waits.
char* send_scratch()
{
    static char* buf = new char[connection::buffer_size];
    return buf;
}

// Output still in the scratch buffer moves to c's own.
void keep_copied_output(connection* c)
{
    if (c->send_length == 0 || c->send_data != send_scratch())
        return;
    memcpy(c->send_space(), c->send_data + c->send_offset, size_t(c->send_length));
    c->send_data = nullptr;
    c->send_offset = 0;
}

}  // namespace

byte_mover::drained byte_mover::drain(connection* c, bool ignore_pause)
{
    for (;;) {
        if (!ignore_pause && !c->wants_input())
            return drained::again;
        int pipe_room = connection::buffer_size;
        int pipe = ignore_pause ? -1 : c->receive_pipe(&pipe_room);
        if (pipe >= 0) {
            ssize_t n = splice(c->socket, nullptr, pipe, nullptr, size_t(pipe_room), SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
            if (n > 0) {
                c->on_piped(int(n));
                c->last_active = now;
                if (n < pipe_room)
                    return drained::again;
                continue;
            }
            if (n == 0)
                return drained::eof;
            int err = errno;
            if (err == EAGAIN || err == EINTR) {
                c->on_piped(0);
                return drained::again;
            }
            return drained::failed;
        }
        int room = connection::buffer_size;
        char* buf = c->receive_space(&room);
        if (!buf) {
            buf = receive_buffer();
            room = connection::buffer_size;
        }
        int n = server.recv(c, buf, room);
        if (n > 0) {
            c->on_recv(buf, n);
            c->last_active = now;
            // A short read almost always means the socket is empty; asking
            // again would cost a system call that says so. Whatever arrives
            // meanwhile is reported by the next poll. If the peer had
            // finished when the poll looked, its end has been reached now:
            // a short read of a TCP socket leaves nothing behind.
            if (n < room && !ignore_pause)
                return sockets::peer_closed(c->socket) ? drained::eof : drained::again;
            continue;
        }
        if (n == 0)
            return drained::eof;
        int err = errno;
        if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR)
            return drained::again;
        return drained::failed;
    }
}

void byte_mover::send_pending(connection* c)
{
    char* from = c->send_data ? const_cast<char*>(c->send_data) : c->send_buffer;
    int32_t before = c->send_length;
    while (c->send_length > 0) {
        int n = c->send_pipe >= 0
                    ? int(splice(c->send_pipe, nullptr, c->socket, nullptr, size_t(c->send_length),
                                 SPLICE_F_MOVE | SPLICE_F_NONBLOCK))
                    : server.send(c, from + c->send_offset, c->send_length);
        if (n <= 0)
            break;
        c->send_length -= n;
        c->send_offset += n;
    }
    // Only bytes that moved count as activity: a peer that takes nothing is
    // idle however often the server tries.
    if (c->send_length < before)
        c->last_active = now;
    c->release_send_space();
    shut_if_done(c);
}

// Bytes the socket takes at once need no poll for writability and no further
// turn; only what it refuses waits for the next poll. When the socket took
// everything, the connection is asked again, a few rounds at most so that the
// others get their turn; a connection that may have more then is armed, so
// that the next poll comes back at once.
byte_mover::pulled byte_mover::pull_output(connection* c)
{
    for (int64_t pulled_bytes = 0;;) {
        bool produced = false;
        if (c->send_length == 0) {
            c->send_data = nullptr;
            c->send_pipe = -1;
            c->release_send_space();
            c->more = c->on_send(send_scratch(), connection::buffer_size, &c->send_length);
            if (c->write_shut)
                c->send_length = 0;  // nothing can follow the end of the stream
            if (c->send_length > 0 && !c->send_data && c->send_pipe < 0)
                c->send_data = send_scratch();  // sent from there as long as it lasts
            if (c->send_length > 0) {
                c->send_offset = 0;
                produced = true;
                pulled_bytes += c->send_length;
            }
            shut_if_done(c);
        }
        if (c->send_length > 0 && !c->connecting) {
            int32_t before = c->send_length;
            send_pending(c);
            // Bytes left over from an earlier turn that go out now count as
            // progress too: whatever follows them must be asked for.
            produced = produced || c->send_length < before;
        }
        keep_copied_output(c);
        if (c->send_length != 0 || c->connecting)
            return pulled::arm;
        if (!c->more)
            return pulled::finished;
        if (!produced)
            return pulled::idle;
        if (pulled_bytes >= max_pull_bytes)
            return pulled::arm;
    }
}

void byte_mover::shut_if_done(connection* c)
{
    if (c->write_done && c->send_length == 0 && !c->write_shut) {
        shutdown(c->socket, SHUT_WR);
        c->write_shut = true;
    }
}

int byte_mover::socket_error(int fd)
{
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        return errno;
    return err;
}

int byte_mover::connect_outcome(connection* c)
{
    // A failed connect is always reported as an error by the poll; only then
    // is its reason worth a system call.
    int err = 0;
    if (sockets::errors(c->socket)) {
        err = socket_error(c->socket);
        if (err == 0)
            err = ECONNREFUSED;
    }
    return err;
}

bool byte_mover::finish_connect(connection* c, int error)
{
    c->connecting = false;
    int next = c->on_connect(error);
    if (error == 0)
        return true;
    if (next < 0)
        return false;
    replace_socket(c, next);
    return true;
}

void byte_mover::replace_socket(connection* c, int fd)
{
    int old = c->socket;
    sockets::remove(old, true);
    close(old);
    registry.unindex(c);
    c->socket = fd;
    registry.index(c);
    c->connecting = true;
    c->last_active = now;  // the new attempt's connect_timeout starts now
    if (!sockets::add(fd, true))
        c->broken = true;
}
