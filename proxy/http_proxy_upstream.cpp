// The client side reaching the current exchange's origin: an idle
// connection from the pool, or a new one: at once for an address, through
// a lookup for a name, and then a race of connects to every address that
// the block list, the loop check and the egress policy let through
// (http_proxy.h).
#include "proxy/http_proxy.h"

#include "base/escape.h"
#include "proxy/answers.h"
#include "proxy/canonical_host.h"
#include "proxy/metrics.h"
#include "proxy/proxy_context.h"
#include "proxy/origin_race.h"
#include "proxy/proxy_connection.h"
#include "proxy/resolver.h"
#include "server/abstract_server.h"
#include "server/clock.h"

#include <cstdio>
#include <vector>

const char* http_proxy::connect_upstream(proxy_relay* relay, const std::string& host, int32_t port, int status,
                                         const addrinfo* list, bool* keeps)
{
    *keeps = false;
    if (status != 0) {
        printf("getaddrinfo() failed for host %s!\n", base::escape_controls(host_and_port(host, port)).c_str());
        return answers::bad_gateway;
    }
    // Every address, in the order the resolver gives them, except the
    // proxy's own (a request it would forward to itself would come back
    // again, once per level, until descriptors and memory run out) and those
    // the egress policy denies.
    auto* client = static_cast<http_proxy*>(relay->client_connection());
    std::vector<socket_address> addresses;
    std::string denied;  // the rule that denied the first address denied
    bool loops = false, numeric = is_ipv4_literal(host) || is_ipv6_literal(host);
    for (const addrinfo* a = list; a; a = a->ai_next) {
        // Checked and connected to in one form. An unspecified address names
        // this host, not an origin: it counts as not returned.
        socket_address to = socket_address(a->ai_addr, a->ai_addrlen).canonical();
        if (to.empty() || to.unspecified())
            continue;
        to.set_port(uint16_t(port));
        // A listed address blocks every name that leads to it.
        if (!numeric && client->should_block_address(host, to)) {
            *keeps = true;
            return answers::not_found;
        }
        std::string rule;
        if (client->context.server.reaches_self(to))
            loops = true;
        else if (client->should_deny_address(to, client->name_allowed, &rule)) {
            if (denied.empty())
                denied = rule;
        } else
            addresses.push_back(to);
    }
    if (loops && addresses.empty())
        return answers::loop_detected;
    if (!denied.empty() && addresses.empty()) {
        printf("Denied: %s (%s)\n", base::escape_controls(host).c_str(), denied.c_str());
        bool tunnel = client->method() == "CONNECT";
        *keeps = !tunnel;
        return tunnel ? answers::forbidden_closing : answers::forbidden;
    }
    return origin_race::start(client->context, relay, host, port, std::move(addresses));
}

namespace {

// A lookup for an exchange: the relay is held while it runs.
struct upstream_lookup : resolver::lookup {
    proxy_relay::handle relay;
    uint64_t exchange = 0;  // which of the relay's exchanges asked
};

}  // namespace

void http_proxy::upstream_resolved(resolver::lookup& job, int status, const addrinfo* list)
{
    auto& asked = static_cast<upstream_lookup&>(job);
    metrics::count().lookups_pending--;
    metrics::count().lookup_seconds.observe(double(monotonic_ms() - job.started_ms) / 1000);
    // Only a client still waiting for this origin cares about the result.
    bool keeps;
    if (asked.relay->waits_for_origin(asked.exchange))
        if (const char* answer = connect_upstream(asked.relay.get(), job.host, job.port, status, list, &keeps))
            asked.relay->answer(answer, !keeps);
}

const char* http_proxy::open_upstream(const std::string& host, int32_t port, bool* keeps)
{
    *keeps = false;
    addrinfo* list = nullptr;
    int status = resolver::numeric(host, port, &list);
    if (status != EAI_NONAME) {
        const char* answer = connect_upstream(relay.get(), host, port, status, list, keeps);
        if (list)
            freeaddrinfo(list);
        return answer;
    }
    auto* job = new upstream_lookup;
    job->host = host;
    job->port = port;
    job->relay = relay;  // the origin side counts as attached meanwhile
    job->exchange = relay->serial();
    job->done = upstream_resolved;
    job->started_ms = monotonic_ms();
    metrics::count().lookups_pending++;
    resolver::start(job);
    return nullptr;
}

void http_proxy::reach(bool fresh)
{
    // A tunnel is a connection of its own; anything else may take one that
    // an earlier exchange with the same origin left idle, if its address
    // still passes the block list in force (which may have changed since it
    // was connected: a reload).
    if (!fresh && method() != "CONNECT")
        if (proxy_connection* idle = context.pool.take(target.host, target.port)) {
            if (should_block_address(target.host, idle->address())) {
                idle->abandon();
                refuse(answers::not_found);
                return;
            }
            if (std::string rule; should_deny_address(idle->address(), name_allowed, &rule)) {
                printf("Denied: %s (%s)\n", base::escape_controls(target.host).c_str(), rule.c_str());
                idle->abandon();
                refuse(answers::forbidden);
                return;
            }
            metrics::count().pool_hits++;
            idle->serve(relay.get(), true);
            return;
        }
    metrics::count().pool_misses++;
    // A refusal for a listed or denied address keeps the connection, as a
    // name's lookup does (upstream_resolved); a failure ends it.
    bool keeps;
    if (const char* answer = open_upstream(target.host, target.port, &keeps))
        relay->answer(answer, !keeps);
}
