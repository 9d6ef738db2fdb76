#include "proxy/http_proxy.h"

#include "base/escape.h"
#include "base/text.h"
#include "proxy/access_log.h"
#include "proxy/answers.h"
#include "proxy/metrics.h"
#include "server/clock.h"
#include "proxy/canonical_host.h"
#include "proxy/origin_pool.h"
#include "proxy/origin_race.h"
#include "proxy/proxy_connection.h"
#include "proxy/resolver.h"
#include "proxy/split_url.h"
#include "server/abstract_server.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

http_proxy::http_proxy() : relay(new proxy_relay(this))
{
    max_head_length = max_head;
    metrics::count().clients_total++;
    metrics::count().clients_open++;
}

http_proxy::~http_proxy()
{
    // The origin connection, if any, finishes what it was given and ends.
    relay->client_gone(timing_out, unsent() == 0);
    proxy_relay::release(relay);
    metrics::count().clients_open--;
}

abstract_server*& http_proxy::g_server()
{
    static abstract_server* running = nullptr;
    return running;
}

namespace {

// Fields that describe one hop of a message, never forwarded: the client's
// connection with the proxy is not the proxy's connection with the origin.
bool hop_by_hop(std::string_view name, const request_facts& facts)
{
    // Proxy-Authorization, Proxy-Connection and the like; Connection.
    using base::equals_nocase;
    if (base::starts_with_nocase(name, "Proxy") || base::starts_with_nocase(name, "Connection"))
        return true;
    if (equals_nocase(name, "keep-alive") || equals_nocase(name, "te") || equals_nocase(name, "trailer"))
        return true;
    if (equals_nocase(name, "upgrade"))
        return !facts.upgrade();
    // What frames the body and names the origin goes on, whatever the
    // client's Connection field says: dropping them would let the body of
    // this request be read as another one.
    if (equals_nocase(name, "content-length") || equals_nocase(name, "transfer-encoding") ||
        equals_nocase(name, "host"))
        return false;
    return facts.names_option(name);
}

}  // namespace

std::string http_proxy::copy_headers(const std::string& head, const request_facts& facts, const split_url& target)
{
    // The origin is the one the target names: a Host field that names
    // another would let a request for an allowed origin ask a shared server
    // for a blocked one. Where the client's Host already names the target's
    // origin, its line goes on unchanged.
    std::string kept, host_line = "Host: " + target.authority() + "\r\n";
    std::string host;
    int32_t port;
    bool agrees = facts.has_host && split_url::read_authority(facts.host, target.scheme, &host, &port) &&
                  host == target.host && port == target.port;
    bool host_written = false;
    for_each_header_line(head, [&](std::string_view line) {
        std::string_view name = line.substr(0, line.find(':'));
        if (hop_by_hop(name, facts))
            return;
        if (base::equals_nocase(name, "host")) {
            if (!agrees) {
                kept += host_line;
                host_written = true;
                return;
            }
            host_written = true;
        }
        size_t from = kept.size();
        kept += line;
        for (size_t i = from; i < kept.size(); i++)
            if (kept[i] == '\r' || kept[i] == '\n' || kept[i] == '\0')
                kept[i] = ' ';
        kept += "\r\n";
    });
    return host_written ? kept : host_line + kept;
}

std::string http_proxy::forwarded_head(const std::string& method, const split_url& target, const std::string& version,
                                       const std::string& head, const request_facts& facts)
{
    std::string request = method + " " + target.path + " " + version + "\r\n";
    request += copy_headers(head, facts, target);
    // The origin is asked to switch protocols too (the client's Connection
    // line is its own hop's); a 101 then opens a tunnel. An HTTP/1.0 request
    // asks to keep the proxy's connection with the origin open, for the pool,
    // whatever the client wants of its own.
    if (facts.upgrade())
        request += "Connection: " + facts.upgrade_option + "\r\n";
    else if (version == "HTTP/1.0")
        request += "Connection: keep-alive\r\n";
    request += "\r\n";
    return request;
}

bool http_proxy::should_block(const std::string&) { return false; }

bool http_proxy::should_block_address(const std::string&, const socket_address&) { return false; }

bool http_proxy::should_deny(const std::string&, int32_t, bool, bool* allowed)
{
    *allowed = false;
    return false;
}

bool http_proxy::should_deny_address(const socket_address&, bool, std::string*) { return false; }

void http_proxy::refuse(const char* answer)
{
    relay->answer(answer, !keep_alive() || facts().names_option("close"));
}

void http_proxy::close_after_answer(const char* answer)
{
    relay->answer(answer, true);
    end_requests();
}

void http_proxy::begin_record(bool parsed)
{
    auto r = std::make_unique<exchange_record>();
    r->started_ms = monotonic_ms();
    // The head, its blank line included, came from the client.
    r->bytes_in = parsed ? head().size() + 2 : 0;
    // Text only the access log reads is copied only for it.
    if (access_log::enabled()) {
        r->client = peer;
        if (parsed) {
            r->method = method();
            r->target = url();
        }
    }
    relay->begin(std::move(r));
}

bool http_proxy::own_page() const
{
    return facts().problem == request_facts::fault::none && method() == "GET" &&
           (url() == "/healthz" || url() == "/metrics");
}

bool http_proxy::refuse_faulty_head()
{
    // Nothing more is answered on a connection that is closing: what
    // follows is read and dropped.
    if (relay->closing() || output_ended()) {
        end_requests();
        return true;
    }
    target = split_url();
    // The proxy's own pages are the caller's to answer or refuse, and are
    // no exchange to keep a record of.
    if (own_page())
        return false;
    begin_record(true);
    if (facts().problem == request_facts::fault::none) {
        target = split_url(url(), method() == "CONNECT");
        if (target.valid()) {
            if (exchange_record* r = relay->record()) {
                r->host = target.host;
                r->port = target.port;
            }
            return false;
        }
        // A target that is not a URL (an origin-form path), or whose origin
        // cannot be told for sure: nothing after it can be trusted either.
        close_after_answer(answers::bad_target);
        return true;
    }
    // The proxy cannot tell where this request ends, or an origin might read
    // it differently, so nothing after it on this connection can be trusted
    // to be the next request either.
    close_after_answer(facts().problem == request_facts::fault::malformed ? answers::malformed_request
                                                                           : answers::bad_request);
    return true;
}

void http_proxy::on_head_too_long()
{
    begin_record(false);  // nothing of the head is kept to tell its method or target
    if (exchange_record* r = relay->record())
        r->bytes_in = uint64_t(request_bytes());
    close_after_answer(answers::head_too_large(max_head_length).c_str());
}

void http_proxy::on_framing_broken() { close_after_answer(answers::malformed_request); }

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
        if (g_server()->reaches_self(to))
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
    return origin_race::start(*g_server(), relay, host, port, std::move(addresses));
}

void http_proxy::upstream_resolved(resolver::lookup& job, int status, const addrinfo* list)
{
    metrics::count().lookups_pending--;
    metrics::count().lookup_seconds.observe(double(monotonic_ms() - job.started_ms) / 1000);
    proxy_relay* relay = job.relay;
    // Only a client still waiting for this origin cares about the result.
    bool keeps;
    if (relay->waits_for_origin(job.exchange))
        if (const char* answer = connect_upstream(relay, job.host, job.port, status, list, &keeps))
            relay->answer(answer, !keeps);
    proxy_relay::release(relay);
}

const char* http_proxy::open_upstream(const std::string& host, int32_t port, bool* keeps)
{
    *keeps = false;
    addrinfo* list = nullptr;
    int status = resolver::numeric(host, port, &list);
    if (status != EAI_NONAME) {
        const char* answer = connect_upstream(relay, host, port, status, list, keeps);
        if (list)
            freeaddrinfo(list);
        return answer;
    }
    auto* job = new resolver::lookup;
    job->host = host;
    job->port = port;
    job->relay = relay;
    job->exchange = relay->serial();
    job->done = upstream_resolved;
    job->started_ms = monotonic_ms();
    metrics::count().lookups_pending++;
    relay->hold();  // the lookup's: the origin side counts as attached meanwhile
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
        if (proxy_connection* idle = origin_pool::take(target.host, target.port)) {
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
            idle->serve(relay, true);
            return;
        }
    metrics::count().pool_misses++;
    // A refusal for a listed or denied address keeps the connection, as a
    // name's lookup does (upstream_resolved); a failure ends it.
    bool keeps;
    if (const char* answer = open_upstream(target.host, target.port, &keeps))
        relay->answer(answer, !keeps);
}

void http_proxy::on_headers()
{
    if (!refuse_faulty_head())
        forward();
}

void http_proxy::forward()
{
    puts(info(true).c_str());

    if (should_block(target.host)) {
        refuse(answers::not_found);
        return;
    }
    if (should_deny(target.host, target.port, method() == "CONNECT", &name_allowed)) {
        if (method() == "CONNECT")
            close_after_answer(answers::forbidden_closing);
        else
            refuse(answers::forbidden);
        return;
    }
    proxy_relay::request_kind kind;
    kind.connect = method() == "CONNECT";
    kind.head = method() == "HEAD";
    kind.upgrade = !kind.connect && facts().upgrade();
    kind.close_after = !keep_alive() || facts().names_option("close");
    kind.expects_continue = facts().expects_continue;
    kind.has_body = chunked() || content_length() > 0;
    const std::string& m = method();
    kind.idempotent = m == "GET" || m == "HEAD" || m == "OPTIONS" || m == "TRACE" || m == "PUT" || m == "DELETE";
    kind.interim = version() != "HTTP/1.0";
    std::string request;
    if (kind.connect)
        end_requests();  // every later byte is the tunnel's
    else
        request = forwarded_head(method(), target, version(), head(), facts());
    upstream_host = target.host;
    upstream_port = target.port;
    relay->start(kind, std::move(request));
    reach(false);
}

void http_proxy::on_recv(char* data, int len)
{
    http_connection::on_recv(data, len);
    account();
}

void http_proxy::account()
{
    relay->client_holds(head().size() + held().size());
    relay->account();
}

char* http_proxy::receive_space(int* len)
{
    // No read takes more than this client's exchange may still hold (what
    // comes while closing is dropped: any amount).
    if (!relay->closing()) {
        size_t room = relay->room();
        if (room < size_t(*len))
            *len = room > 0 ? int(room) : 1;
    }
    return nullptr;
}

void http_proxy::on_data(char* data, int len) { relay->from_client(data, size_t(len)); }

void http_proxy::on_request() { relay->request_finished(); }

handover http_proxy::on_send(char*, int cap)
{
    relay->client_took();  // the bytes sent last time
    if (relay->switch_due()) {
        relay->switched();
        pass_through();
    }
    if (relay->retry_due()) {
        relay->retried();
        reach(true);
    }
    resume_requests();
    if (eof() && held().empty() && !relay->client_ended())
        relay->client_finished();

    account();
    handover out;
    size_t lent = relay->lend_to_client(size_t(cap), &out.data, &out.pipe);
    out.length = int32_t(lent);
    if (relay->for_client() > lent)
        return out;
    // These are the last bytes queued for now.
    bool write_done = output_ended();
    if (relay->client_write_done()) {
        drop_held();
        write_done = true;
    }
    out.then = handover::after(write_done, relay->client_finished_with(eof() && held().empty(), write_done));
    return out;
}

bool http_proxy::on_eof()
{
    // The answers to what the client sent may still be on their way;
    // on_send decides when the connection is finished.
    return true;
}

bool http_proxy::wants_input() const { return relay->client_may_send(held().size()); }

bool http_proxy::serves_websocket() const { return false; }

bool http_proxy::relays_body() const { return true; }

bool http_proxy::ready_for_request() const { return relay->ready_for_request(); }

bool http_proxy::timed_out(int64_t now) const
{
    timing_out = ends_for_time(now);
    return timing_out;
}

int64_t http_proxy::last_exchange_activity() const
{
    int64_t latest = last_active;
    if (connection* origin = relay->origin_connection(); origin && origin->last_active > latest)
        latest = origin->last_active;
    return latest;
}

bool http_proxy::ends_for_time(int64_t now) const
{
    if (relay->client_stalled(*this, now))
        return true;
    if (!relay->in_flight())
        return http_connection::timed_out(now);
    // An exchange in flight is idle only while neither side moves.
    return now - last_exchange_activity() > int64_t(proxy_connection::idle_limit) * 1000;
}

int64_t http_proxy::deadline() const
{
    int64_t at = relay->client_stall_deadline(*this);
    int64_t limit = relay->in_flight() ? last_exchange_activity() + int64_t(proxy_connection::idle_limit) * 1000 + 1
                                       : http_connection::deadline();
    if (limit < at)
        at = limit;
    // A client not read for the memory all clients hold is looked at again
    // soon: what others hold drains without telling it.
    if (!relay->closing() && relay->room() == 0 && connection::now() + paused_recheck_ms < at)
        at = connection::now() + paused_recheck_ms;
    return at;
}
