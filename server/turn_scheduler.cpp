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
    connection::turn_clock() = now;
    registry.compact();  // between turns: no walk of the list is under way
    input_from_events();
    input_from_timers();
}

void turn_scheduler::output_half()
{
    output_to_woken();
    rearm_writers();
    // Connections woken during this turn are served in the next one, which
    // must then not wait for events.
    if (!registry.woken.empty())
        polled.poll_at_once();
    int64_t next = timers.next();
    if (next != timer_heap::never)
        polled.wait_at_most(next - now < 1 ? 1 : next - now > INT32_MAX ? INT32_MAX : int(next - now));
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

int64_t turn_scheduler::moment_of(const connection* c) const
{
    int64_t at = c->deadline();
    int64_t connect = connects.moment(c);
    return connect < at ? connect : at;
}

void turn_scheduler::rearm(connection* c)
{
    if (int64_t at = moment_of(c); at < c->timer_at)
        timers.arm(c, at);
}

turn_scheduler::verdict turn_scheduler::over(const connection* c)
{
    switch (c->life) {
    case connection::lifecycle::broken:
        return verdict::errors;
    case connection::lifecycle::ending:
        return verdict::finished;
    default:
        return verdict::keep;
    }
}

turn_scheduler::verdict turn_scheduler::serve_input(connection* c)
{
    connection::selection() = c;
    int fd = c->socket;
    if (verdict v = over(c); v != verdict::keep)
        return v;
    if (c->connecting()) {
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
    if (polled.errors(fd)) {
        // Bytes that arrived before a reset or hang-up are still readable
        // and must reach the connection before it is ended.
        drained d = polled.readable(fd) && !c->input_ended ? mover.drain(c, true) : drained::again;
        if (d == drained::eof) {
            if (!c->on_eof())
                return verdict::finished;
            c->input_ended = true;
        }
        // A hang-up after both directions were shut down in order is the
        // normal end of the stream, not an error.
        bool orderly = d != drained::failed && c->input_ended && c->sending == connection::output_side::shut &&
                       !polled.failed(fd);
        return orderly ? verdict::finished : verdict::errors;
    }
    if (polled.readable(fd) && !c->input_ended) {
        if (mover.drain(c, false) == drained::eof) {
            if (!c->on_eof())
                return verdict::finished;
            c->input_ended = true;
        }
    } else if (polled.writable(fd)) {
        mover.send_pending(c);
        if (c->finishing() && c->output.size() == 0)
            return verdict::finished;
    }
    return verdict::keep;
}

turn_scheduler::verdict turn_scheduler::serve_time(connection* c)
{
    connection::selection() = c;
    if (verdict v = over(c); v != verdict::keep)
        return v;
    if (c->connecting()) {
        switch (connects.on_time(c)) {
        case connector::step::failed:
            return verdict::timed_out;
        default:
            return verdict::keep;
        }
    }
    if (c->timed_out(now))
        return verdict::timed_out;
    // Not over yet, or a wait of its own that on_send decides (a pooled
    // connection's expiry): asked for output in this turn's output half.
    // One with output its socket refused is left to the poll: a send made
    // only because a moment came could pass a few bytes the socket would
    // not report room for, and count as progress that postpones limits.
    if (c->output.size() == 0)
        c->wake();
    return verdict::keep;
}

turn_scheduler::verdict turn_scheduler::serve_output(connection* c)
{
    connection::selection() = c;
    if (verdict v = over(c); v != verdict::keep)
        return v;
    switch (mover.pull_output(c)) {
    case byte_mover::pulled::finished:
        return verdict::finished;
    case byte_mover::pulled::arm:
        arm(c);
        break;
    case byte_mover::pulled::idle:
        break;
    }
    polled.set_reading(c->socket, !c->input_ended && c->wants_input());
    return verdict::keep;
}

void turn_scheduler::input_from_events()
{
    // Copied: ending a connection changes the poll's results.
    events.assign(polled.reported().begin(), polled.reported().end());
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

void turn_scheduler::input_from_timers()
{
    // A moment armed while these run (a connect's next attempt, a handler's
    // new connection) is at least 1 ms away or waits for the next turn, so
    // the loop ends.
    while (connection* c = timers.due(now)) {
        if (verdict v = serve_time(c); v != verdict::keep) {
            end(c, v);
            continue;
        }
        int64_t at = moment_of(c);
        timers.arm(c, at > now ? at : now + 1);
    }
}

void turn_scheduler::output_to_woken()
{
    serving.swap(registry.woken);
    for (connection* c : serving)
        c->awake = false;
    for (connection* c : serving) {
        if (verdict v = serve_output(c); v != verdict::keep)
            end(c, v);
        else
            rearm(c);
    }
    serving.clear();
}

void turn_scheduler::arm(connection* c)
{
    polled.arm(c->socket);
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
        if (c->output.size() != 0 || c->connecting()) {
            polled.arm(c->socket);
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
    timers.cancel(c);
    if (c->writing)
        base::unordered_erase(writers, c);
    hooks.on_remove(c);
    delete c;
    connection::selection() = nullptr;
}
