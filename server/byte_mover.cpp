#include "server/byte_mover.h"

#include "server/connection.h"
#include "server/server_hooks.h"
#include "server/sockets.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>

byte_mover::byte_mover(server_hooks& hooks, const sockets& polled, const int64_t& now)
    : hooks(hooks), polled(polled), now(now), receive_buffer(new char[connection::buffer_size]),
      send_scratch(new char[connection::buffer_size])
{
}

byte_mover::drained byte_mover::drain(connection* c, bool ignore_pause)
{
    for (int64_t taken = 0;;) {
        if (!ignore_pause && (!c->wants_input() || taken >= max_drain_bytes))
            return drained::again;
        int pipe_room = connection::buffer_size;
        int pipe = ignore_pause ? -1 : c->receive_pipe(&pipe_room);
        if (pipe >= 0) {
            ssize_t n = splice(c->socket, nullptr, pipe, nullptr, size_t(pipe_room), SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
            if (n > 0) {
                c->on_piped(int(n));
                c->last_active = now;
                taken += n;
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
        // A failing socket's last bytes are read whole, whatever the
        // connection would take at a time.
        int room = connection::buffer_size;
        char* buf = ignore_pause ? nullptr : c->receive_space(&room);
        if (!buf) {
            buf = receive_buffer.get();
            room = room < 1 ? 1 : room > connection::buffer_size ? connection::buffer_size : room;
        }
        int n = hooks.recv(c, buf, room);
        if (n > 0) {
            c->last_active = now;  // before: the handler may take it for the time of these bytes
            c->on_recv(buf, n);
            taken += n;
            // A short read almost always means the socket is empty; asking
            // again would cost a system call that says so. Whatever arrives
            // meanwhile is reported by the next poll. If the peer had
            // finished when the poll looked, its end has been reached now:
            // a short read of a TCP socket leaves nothing behind.
            if (n < room && !ignore_pause)
                return polled.peer_closed(c->socket) ? drained::eof : drained::again;
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
    pending_output& out = c->output;
    int32_t before = out.size();
    while (out.size() > 0) {
        int n = out.pipe() >= 0 ? int(splice(out.pipe(), nullptr, c->socket, nullptr, size_t(out.size()),
                                             SPLICE_F_MOVE | SPLICE_F_NONBLOCK))
                                : hooks.send(c, out.front(), out.size());
        if (n <= 0)
            break;
        out.sent(n);
    }
    // Only bytes that moved count as activity: a peer that takes nothing is
    // idle however often the server tries.
    if (out.size() < before)
        c->last_active = c->last_taken = now;
    out.release();
    shut_if_done(c);
}

// Bytes the socket takes at once need no poll for writability and no further
// turn; only what it refuses waits for the next poll. When the socket took
// everything, the connection is asked again, a few rounds at most so that the
// others get their turn; a connection that may have more then is armed, so
// that the next poll comes back at once.
byte_mover::pulled byte_mover::pull_output(connection* c)
{
    pending_output& out = c->output;
    char* scratch = send_scratch.get();
    // Whether on_send has said that c is finished. Kept here as well: a
    // connection whose life is over already (end_soon() from inside its
    // on_send) stays ending rather than finishing, and is not asked again
    // either.
    bool finished = c->finishing();
    for (int64_t pulled_bytes = 0;;) {
        bool produced = false;
        if (out.size() == 0 && !finished) {
            out.release();
            handover h = c->on_send(scratch, connection::buffer_size);
            if (h.ends_output() && c->sending == connection::output_side::open)
                c->sending = connection::output_side::closing;
            if (h.finishes()) {
                finished = true;
                finish_once_sent(c);
            }
            if (c->sending == connection::output_side::shut)
                h.length = 0;  // nothing can follow the end of the stream
            out.start(h.length, h.data, h.pipe, scratch);
            if (h.length > 0) {
                produced = true;
                pulled_bytes += h.length;
            }
            shut_if_done(c);
        }
        if (out.size() > 0 && !c->connecting()) {
            int32_t before = out.size();
            send_pending(c);
            // Bytes left over from an earlier turn that go out now count as
            // progress too: whatever follows them must be asked for.
            produced = produced || out.size() < before;
        }
        out.keep_copied(scratch);
        // A connection with nothing more to send is done, also while a
        // connect is still in progress (an attempt nobody waits for).
        if (finished && out.size() == 0)
            return pulled::finished;
        if (out.size() != 0 || c->connecting())
            return pulled::arm;
        if (!produced)
            return pulled::idle;
        if (pulled_bytes >= max_pull_bytes)
            return pulled::arm;
    }
}

void byte_mover::shut_if_done(connection* c)
{
    if (c->sending == connection::output_side::closing && c->output.size() == 0) {
        shutdown(c->socket, SHUT_WR);
        c->sending = connection::output_side::shut;
    }
}

void byte_mover::finish_once_sent(connection* c)
{
    using lifecycle = connection::lifecycle;
    if (c->life == lifecycle::open)
        c->life = lifecycle::finishing;
    else if (c->life == lifecycle::connecting)
        c->life = lifecycle::connecting_to_finish;
}
