#include "server/turn_scheduler.h"

#include "base/unordered_erase.h"
#include "server/byte_mover.h"
#include "server/connection_registry.h"
#include "server/connector.h"
#include "server/server_hooks.h"
#include "server/sockets.h"

#include <cstdio>

void turn_scheduler::input_half()
{
    connection::turn_number()++;
    sweeping = now != last_sweep;
    if (sweeping) {
        last_sweep = now;
        sweep_input();
    } else
        input_from_events();
}

void turn_scheduler::output_half()
{
    if (sweeping)
        sweep_output();
    else
        output_to_woken();
    rearm_writers();
    // Connections woken during this turn are served in the next one, which
    // must then not wait for events.
    if (!connection::woken().empty())
        sockets::poll_at_once();
    connection::selection() = nullptr;
}

void turn_scheduler::end_all()
{
    base::linkedlist<connection*>& list = registry.list;
    for (list.rewind(); list.has_current(); list.advance()) {
        if (connection* c = list.current())
            end(c, verdict::finished);
        else
            list.remove();
    }
}

turn_scheduler::verdict turn_scheduler::serve_input(connection* c)
{
    connection::selection() = c;
    int fd = c->socket;
    if (c->broken)
        return verdict::errors;
    if (c->ending)
        return verdict::finished;
    if (c->connect_pending) {
        switch (connects.on_poll(c)) {
        case connector::step::waiting:
        case connector::step::retrying:
            return verdict::keep;
        case connector::step::failed:
            return verdict::errors;
        case connector::step::connected:
            break;
        }
    }
    using drained = byte_mover::drained;
    if (sockets::errors(fd)) {
        // Bytes that arrived before a reset or hang-up are still readable
        // and must reach the connection before it is ended.
        drained d = sockets::readable(fd) && !c->input_ended ? mover.drain(c, true) : drained::again;
        if (d == drained::eof) {
            if (!c->on_eof())
                return verdict::finished;
            c->input_ended = true;
        }
        // A hang-up after both directions were shut down in order is the
        // normal end of the stream, not an error.
        bool orderly = d != drained::failed && c->input_ended && c->write_shut && !sockets::failed(fd);
        return orderly ? verdict::finished : verdict::errors;
    }
    if (sockets::readable(fd) && !c->input_ended) {
        if (mover.drain(c, false) == drained::eof) {
            if (!c->on_eof())
                return verdict::finished;
            c->input_ended = true;
        }
    } else if (sockets::writable(fd)) {
        mover.send_pending(c);
        if (!c->more && c->output.size() == 0)
            return verdict::finished;
    }
    return verdict::keep;
}

turn_scheduler::verdict turn_scheduler::serve_output(connection* c)
{
    connection::selection() = c;
    if (c->broken)
        return verdict::errors;
    if (c->ending)
        return verdict::finished;
    switch (mover.pull_output(c)) {
    case byte_mover::pulled::finished:
        return verdict::finished;
    case byte_mover::pulled::arm:
        arm(c);
        break;
    case byte_mover::pulled::idle:
        break;
    }
    sockets::set_reading(c->socket, !c->input_ended && c->wants_input());
    return verdict::keep;
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
        connection::selection() = c;
        verdict v;
        switch (connects.on_clock(c)) {
        case connector::step::retrying:
            continue;  // served again once the new attempt has an outcome
        case connector::step::failed:
            v = verdict::timed_out;
            break;
        default:
            v = c->timed_out(now) ? verdict::timed_out : serve_input(c);
            break;
        }
        if (v != verdict::keep)
            end(c, v);
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
        if (verdict v = serve_output(c); v != verdict::keep)
            end(c, v);
    }
}

void turn_scheduler::input_from_events()
{
    // Copied: ending a connection changes the poll's results.
    events.assign(sockets::reported().begin(), sockets::reported().end());
    for (int fd : events) {
        connection* c = registry.owner(fd);
        if (!c)
            continue;  // the listener, or a descriptor no connection owns
        if (verdict v = serve_input(c); v != verdict::keep)
            end(c, v);
        else
            c->wake();  // asked for output in the output half
    }
}

void turn_scheduler::output_to_woken()
{
    serving.swap(connection::woken());
    for (connection* c : serving)
        c->awake = false;
    for (connection* c : serving)
        if (verdict v = serve_output(c); v != verdict::keep)
            end(c, v);
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
    // reports it writable, so its interest is renewed here rather than when
    // it is served.
    for (size_t i = 0; i < writers.size();) {
        connection* c = writers[i];
        if (c->output.size() != 0 || c->connect_pending) {
            sockets::arm(c->socket);
            i++;
            continue;
        }
        c->writing = false;
        writers[i] = writers.back();
        writers.pop_back();
    }
}

void turn_scheduler::end(connection* c, verdict why)
{
    connection::selection() = c;
    if (why == verdict::errors)
        printf("%d has errors.\n", c->socket);
    else if (why == verdict::timed_out)
        printf("%d has timed out.\n", c->socket);
    registry.remove(c);
    connects.forget(c);
    if (c->writing)
        base::unordered_erase(writers, c);
    hooks.on_remove(c);
    delete c;
    connection::selection() = nullptr;
}
