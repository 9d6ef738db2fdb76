#include "proxy/origin_race.h"

#include "base/escape.h"
#include "proxy/answers.h"
#include "proxy/canonical_host.h"
#include "proxy/proxy_connection.h"
#include "proxy/proxy_relay.h"
#include "proxy/proxy_context.h"
#include "server/abstract_server.h"

#include <algorithm>
#include <cstdio>

namespace {

// The resolver's order, with the families taking turns from the first
// address's on: a broken family costs one attempt delay, not all of its
// addresses' time-outs.
std::vector<socket_address> interleaved(std::vector<socket_address> in)
{
    if (in.empty())
        return in;
    std::vector<socket_address> first, other, out;
    for (const socket_address& a : in)
        (a.family() == in[0].family() ? first : other).push_back(a);
    for (size_t i = 0; i < first.size() || i < other.size(); i++) {
        if (i < first.size())
            out.push_back(first[i]);
        if (i < other.size())
            out.push_back(other[i]);
    }
    return out;
}

}  // namespace

origin_race::origin_race(proxy_context& c, proxy_relay* r, const std::string& h, int32_t p,
                         std::vector<socket_address> a)
    : context(c), relay(r), exchange(r->serial()), host(h), port(p), addresses(interleaved(std::move(a))),
      started(connection::now())
{
}

const char* origin_race::start(proxy_context& context, proxy_relay* relay, const std::string& host, int32_t port,
                               std::vector<socket_address> addresses)
{
    auto* race = new origin_race(context, relay, host, port, std::move(addresses));
    if (race->launch_next()) {
        relay->seek(race);
        return nullptr;
    }
    printf("No addresses worked for host %s.\n", base::escape_controls(host_and_port(host, port)).c_str());
    delete race;
    return answers::bad_gateway;
}

bool origin_race::wanted() const
{
    return relay->waits_for_origin(exchange);
}

bool origin_race::launch_next()
{
    if (attempts.size() >= max_attempts || (next > 0 && connection::now() - started > int64_t(launch_limit) * 1000))
        return false;
    while (next < addresses.size()) {
        const socket_address& to = addresses[next++];
        proxy_connection* attempt = proxy_connection::attempt(this, context.pool, host, port, to);
        if (!attempt)
            continue;  // refused at once (no route, no socket): the next goes at once
        // An attempt with addresses left behind it lets the next start
        // beside it after a while; the last waits as long as the system lets
        // a connect wait.
        attempt->connect_stagger_ms = next < addresses.size() ? attempt_delay_ms : 0;
        attempts.push_back(attempt);
        context.server.add_connection(attempt, true);
        return true;
    }
    return false;
}

void origin_race::slow(proxy_connection*) { launch_next(); }

void origin_race::give_up()
{
    // The relay has forgotten this search already.
    finish();
}

void origin_race::outcome(proxy_connection* attempt, int error)
{
    if (error != 0) {
        dropped(attempt);
        return;
    }
    attempts.erase(std::find(attempts.begin(), attempts.end(), attempt));
    attempt->leave_race();
    // The exchange may have ended while the race ran (the client gone, its
    // request refused): then the winner is not wanted either.
    relay->search_over(this);
    if (wanted()) {
        attempt->serve(relay.get(), false);
        relay->connected();
    } else
        attempt->abandon();
    finish();
}

void origin_race::gone(proxy_connection* attempt) { dropped(attempt); }

void origin_race::dropped(proxy_connection* attempt)
{
    auto at = std::find(attempts.begin(), attempts.end(), attempt);
    if (at == attempts.end())
        return;
    attempts.erase(at);
    attempt->leave_race();
    // A failure starts the next attempt at once, without waiting out the
    // delay.
    if (launch_next() || !attempts.empty())
        return;
    printf("No addresses worked for host %s.\n", base::escape_controls(host_and_port(host, port)).c_str());
    relay->search_over(this);
    if (wanted())
        relay->unreachable(answers::bad_gateway);
    finish();
}

void origin_race::finish()
{
    relay->search_over(this);
    for (proxy_connection* attempt : attempts) {
        attempt->leave_race();
        attempt->abandon();
    }
    attempts.clear();
    delete this;  // its handle on the relay with it
}
