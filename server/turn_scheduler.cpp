#include "server/turn_scheduler.h"

#include "base/unordered_erase.h"
#include "server/abstract_server.h"
#include "server/sockets.h"

#include <cerrno>
#include <cstdio>

void turn_scheduler::serve_input()
{
    sweeping = now != last_sweep;
    if (sweeping) {
        last_sweep = now;
        sweep_input();
    } else
        serve_events();
}

void turn_scheduler::serve_output()
{
    if (sweeping)
        sweep_output();
    else
        serve_woken();
    rearm_writers();
    // Connections woken during this turn are served in the next one, which
    // must then not wait for events.
    if (!connection::woken().empty())
        sockets::poll_at_once();
}

void turn_scheduler::forget(connection* c)
{
    // A connection ended by a partner's handler may still wait its turn in
    // the list being served.
    for (connection*& waiting : serving)
        if (waiting == c)
            waiting = nullptr;
    if (c->writing)
        base::unordered_erase(writers, c);
}

bool turn_scheduler::service_input(connection* c)
{
    connection::selected() = c;
    int fd = c->socket;
    if (c->broken) {
        printf("%d has errors.\n", fd);
        return false;
    }
    if (c->connecting) {
        if (!sockets::writable(fd) && !sockets::errors(fd))
            return true;
        int err = byte_mover::connect_outcome(c);
        if (!mover.finish_connect(c, err)) {
            printf("%d has errors.\n", fd);
            return false;
        }
        if (err != 0)
            return true;  // another attempt is under way on a new socket
    }
    using drained = byte_mover::drained;
    if (sockets::errors(fd)) {
        // Bytes that arrived before a reset or hang-up are still readable
        // and must reach the connection before it is ended.
        drained d = sockets::readable(fd) && !c->eof ? mover.drain(c, true) : drained::again;
        if (d == drained::eof) {
            if (!c->on_eof())
                return false;
            c->eof = true;
        }
        // A hang-up after both directions were shut down in order is the
        // normal end of the stream, not an error.
        bool orderly = d != drained::failed && c->eof && c->write_shut && !sockets::failed(fd);
        if (!orderly)
            printf("%d has errors.\n", fd);
        return false;
    }
    if (sockets::readable(fd) && !c->eof) {
        if (mover.drain(c, false) == drained::eof) {
            if (!c->on_eof())
                return false;
            c->eof = true;
        }
    } else if (sockets::writable(fd)) {
        mover.send_pending(c);
        if (!c->more && c->send_length == 0)
            return false;
    }
    return true;
}

bool turn_scheduler::service_output(connection* c)
{
    connection::selected() = c;
    if (c->broken) {
        printf("%d has errors.\n", c->socket);
        return false;
    }
    switch (mover.pull_output(c)) {
    case byte_mover::pulled::finished:
        return false;
    case byte_mover::pulled::arm:
        arm(c);
        break;
    case byte_mover::pulled::idle:
        break;
    }
    sockets::set_reading(c->socket, !c->eof && c->wants_input());
    return true;
}

void turn_scheduler::sweep_input()
{
    base::linkedlist<connection*>& list = registry.list;
    for (list.rewind(); list.has_current(); list.advance()) {
        connection* c = list.current();
        if (!c) {
            list.remove();  // the place of a connection ended between sweeps
            continue;
        }
        if (c->connecting && c->connect_timeout > 0 && now - c->last_active > c->connect_timeout) {
            connection::selected() = c;
            int fd = c->socket;
            if (!mover.finish_connect(c, ETIMEDOUT)) {
                printf("%d has timed out.\n", fd);
                unlink_and_end(c);
            }
            continue;
        }
        if (c->timed_out(now)) {
            connection::selected() = c;
            printf("%d has timed out.\n", c->socket);
            unlink_and_end(c);
            continue;
        }
        if (!service_input(c))
            unlink_and_end(c);
    }
}

void turn_scheduler::sweep_output()
{
    // Everyone is visited now; a connection woken again by a partner on the
    // way is served once more in the next turn.
    for (connection* c : connection::woken())
        c->awake = false;
    connection::woken().clear();
    base::linkedlist<connection*>& list = registry.list;
    for (list.rewind(); list.has_current(); list.advance()) {
        connection* c = list.current();
        if (!c) {
            list.remove();
            continue;
        }
        if (!service_output(c))
            unlink_and_end(c);
    }
}

void turn_scheduler::serve_events()
{
    // Copied: ending a connection changes the poll's results.
    events.assign(sockets::reported().begin(), sockets::reported().end());
    for (int fd : events) {
        connection* c = registry.owner(fd);
        if (!c)
            continue;  // the listener, or a descriptor no connection owns
        if (!service_input(c))
            retire(c);
        else
            c->wake();  // asked for output in the second half of the turn
    }
}

void turn_scheduler::serve_woken()
{
    serving.swap(connection::woken());
    for (connection* c : serving)
        c->awake = false;
    for (size_t i = 0; i < serving.size(); i++) {
        connection* c = serving[i];
        if (!c)
            continue;  // ended while this list was being served
        if (!service_output(c))
            retire(c);
    }
    serving.clear();
}

void turn_scheduler::arm(connection* c)
{
    sockets::arm(c->socket);
    if (!c->writing) {
        c->writing = true;
        writers.push_back(c);
    }
}

void turn_scheduler::rearm_writers()
{
    // A connection whose socket was full stays unserved until the poll
    // reports it writable, so its interest is renewed here rather than in a
    // servicing pass.
    for (size_t i = 0; i < writers.size();) {
        connection* c = writers[i];
        if (c->send_length != 0 || c->connecting) {
            sockets::arm(c->socket);
            i++;
            continue;
        }
        c->writing = false;
        writers[i] = writers.back();
        writers.pop_back();
    }
}

void turn_scheduler::retire(connection* c)
{
    registry.vacate(c);
    server.end_connection(c);
}

void turn_scheduler::unlink_and_end(connection* c)
{
    registry.list.remove();
    server.end_connection(c);
}
