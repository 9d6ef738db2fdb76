#include "proxy/proxy_connection.h"

#include "base/escape.h"
#include "proxy/answers.h"
#include "proxy/metrics.h"
#include "server/connector.h"

#include <cstdio>

proxy_connection::proxy_connection(origin_pool& pool, const std::string& h, int32_t p, const socket_address& a)
    : pool(pool), host(h), port(p), to(a)
{
    timeout = idle_limit;
    connect_timeout = connect_limit;
    metrics::count().origins_open++;
}

proxy_connection* proxy_connection::attempt(attempt_owner* race, origin_pool& pool, const std::string& host,
                                            int32_t port, const socket_address& to)
{
    int error = 0;
    int fd = connector::start(to, &error);
    if (fd < 0)
        return nullptr;
    auto* c = new proxy_connection(pool, host, port, to);
    c->socket = fd;
    c->race = race;
    return c;
}

void proxy_connection::leave_race() { race = nullptr; }

void proxy_connection::abandon()
{
    state = role::released;
    end_soon();
}

proxy_connection::~proxy_connection()
{
    metrics::count().origins_open--;
    if (race)
        race->gone(this);
    pool.remove(this, place, host, port);
    if (relay) {
        proxy_relay::handle r = std::move(relay);  // keeps the relay for the call
        r->origin_gone(this, ended_by);
    }
}

void proxy_connection::expect(bool head_request, bool upgrade, bool tunnel, bool interim)
{
    reader.expect(head_request, upgrade, interim);
    if (tunnel)
        reader.pass_through();
    reported = told::nothing;
    spoiled = false;
    ended_by = answers::origin_failure::reset;
}

void proxy_connection::serve(proxy_relay* r, bool pooled)
{
    state = role::serving;
    relay = proxy_relay::handle(r);
    timeout = idle_limit;
    r->bind(this, pooled);
    wake();
}

void proxy_connection::let_go(bool park)
{
    relay.reset();
    offered = nullptr;
    state = role::released;
    if (park && pool.park(this, place, host, port, connection::now())) {
        last_active = connection::now();
        wake();
        return;
    }
    // Whatever it has not sent belongs to an exchange that is over.
    end_soon();
}

void proxy_connection::account()
{
    if (relay) {
        relay->origin_holds(reader.held());
        relay->account();
    }
}

void proxy_connection::report()
{
    // The relay may let go of this connection in any of these calls; each
    // looks at `relay` afresh.
    if (relay && reader.heard() && reported == told::nothing) {
        reported = told::begun;
        relay->answer_started();
    }
    if (relay && reader.final_head() && reported == told::begun) {
        reported = told::final_head;
        relay->final_started(reader.status());
    }
    if (!relay)
        return;
    using answers::origin_failure;
    switch (reader.at()) {
    case response_reader::state::done:
        relay->answer_finished(reader.reusable() && !spoiled, reader.ends_connection());
        break;
    case response_reader::state::failed:
        switch (reader.why()) {
        case response_reader::failure::too_many_interim:
            relay->answer_failed(origin_failure::interim);
            break;
        case response_reader::failure::closed:
            relay->answer_failed(origin_failure::closed);
            break;
        default:
            relay->answer_failed(origin_failure::unreadable);
            break;
        }
        break;
    case response_reader::state::tunnel:
        if (relay->at() != proxy_relay::stage::tunnel)
            relay->tunnel_opened();
        break;
    default:
        break;
    }
}

char* proxy_connection::receive_space(int* len)
{
    // Straight into the client's queue while the bytes need no reading:
    // the rest of a sized body, a body up to the close, a tunnel.
    offered = nullptr;
    if (!relay || !relay->client_connection())
        return nullptr;
    // No read takes more than the client's exchange may still hold.
    size_t allowed = relay->room();
    if (allowed < size_t(*len))
        *len = allowed > 0 ? int(allowed) : 1;
    uint64_t run = reader.raw_run();
    response_reader::state at = reader.at();
    if (run == 0 || at == response_reader::state::chunked)
        return nullptr;
    size_t room;
    offered = relay->space_for_origin(&room);
    if (uint64_t(room) > run)
        room = size_t(run);
    *len = room < size_t(*len) ? int(room) : *len;
    return offered;
}

void proxy_connection::on_recv(char* data, int len)
{
    if (!relay) {
        // Bytes from an origin whose connection is idle (or being let go)
        // belong to no exchange: the connection can be trusted no more.
        pool.remove(this, place, host, port);
        state = role::released;
        offered = nullptr;
        wake();
        return;
    }
    size_t used = size_t(len);
    if (data == offered) {
        reader.skip(uint64_t(len));
        offered = nullptr;
        relay->from_origin_in_place(len);
    } else {
        offered = nullptr;
        used = relay->from_origin_read(reader, data, len);
    }
    // Bytes after a complete answer: no exchange asked for them, and a
    // connection whose stream holds such bytes carries no other. They reach
    // nobody.
    if (used < size_t(len) && reader.done())
        spoiled = true;
    account();
    report();
}

int proxy_connection::receive_pipe(int* len)
{
    if (!relay)
        return -1;
    return relay->pipe_for_origin(reader.raw_run(), len);
}

void proxy_connection::on_piped(int len)
{
    if (!relay)
        return;
    reader.skip(uint64_t(len));
    relay->piped_from_origin(len);
    account();
    report();
}

handover proxy_connection::on_send(char*, int cap)
{
    if (!relay) {
        // In the pool: waiting, until it has waited long enough; that is no
        // time-out of anything in flight, and ends quietly. Let go or
        // abandoned: done once its own bytes are out. An attempt: waiting
        // for its connect.
        if (race)
            return handover::nothing();
        bool waiting = parked() && connection::now() < origin_pool::expires_at(place);
        return handover::nothing(waiting ? handover::next::more : handover::next::finish);
    }
    relay->origin_took();  // the bytes sent last time
    account();
    handover out;
    size_t lent = relay->lend_to_origin(size_t(cap), &out.data);
    out.length = int32_t(lent);
    if (lent > 0)
        return out;
    if (relay->origin_released())
        return handover::nothing(handover::next::finish);
    bool output_over = output_ended() || relay->origin_write_done();
    // A tunnel both of whose directions have finished carries nothing more.
    return handover::nothing(handover::after(output_over, output_over && eof()));
}

int proxy_connection::on_connect(int error)
{
    // The race decides what this attempt's outcome means: the winner is
    // bound to the exchange, a loser ends (its socket is done with).
    if (race)
        race->outcome(this, error);
    return -1;
}

void proxy_connection::on_connect_slow()
{
    if (race)
        race->slow(this);
}

bool proxy_connection::orphaned() const
{
    // Bytes that no client waits for any more (it has gone, or finished
    // sending in the middle of them) are given a few seconds, not the time
    // an exchange may take.
    return !relay->client_connection() || (relay->client_ended() && relay->undelivered());
}

int64_t proxy_connection::last_exchange_activity() const
{
    int64_t latest = last_active;
    if (relay->client_connection()->last_active > latest)
        latest = relay->client_connection()->last_active;
    return latest;
}

bool proxy_connection::timed_out(int64_t now) const
{
    if (!relay)
        return !parked() && now - last_active > int64_t(timeout) * 1000;  // the pool's wait ends in on_send
    if (orphaned())
        return now - last_active > int64_t(orphan_stall) * 1000;
    if (relay->origin_stalled(*this, now)) {
        ended_by = answers::origin_failure::stalled;
        return true;
    }
    // An exchange in flight is idle only while neither side moves.
    if (now - last_exchange_activity() <= int64_t(timeout) * 1000)
        return false;
    ended_by = answers::origin_failure::silent;
    return true;
}

int64_t proxy_connection::deadline() const
{
    if (!relay)
        return parked() ? origin_pool::expires_at(place) : last_active + int64_t(timeout) * 1000 + 1;
    if (orphaned())
        return last_active + int64_t(orphan_stall) * 1000 + 1;
    int64_t at = last_exchange_activity() + int64_t(timeout) * 1000 + 1;
    int64_t stall = relay->origin_stall_deadline(*this);
    if (stall < at)
        at = stall;
    // Not read for the memory all clients hold: looked at again soon, since
    // what others hold drains without telling it.
    if (relay->room() == 0 && connection::now() + paused_recheck_ms < at)
        at = connection::now() + paused_recheck_ms;
    return at;
}

bool proxy_connection::on_eof()
{
    if (!relay)
        return false;
    if (relay->at() == proxy_relay::stage::tunnel) {
        relay->origin_finished();
        // The client may still be sending (a half-closed tunnel): keep that
        // direction open.
        return relay->client_connection() != nullptr;
    }
    reader.finish();
    report();
    return false;
}

bool proxy_connection::wants_input() const
{
    if (!relay)
        return parked();  // the pool watches for an origin that closes or talks
    return relay->origin_may_send();
}
