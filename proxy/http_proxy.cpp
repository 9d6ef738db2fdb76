#include "proxy/http_proxy.h"

#include "base/escape.h"
#include "base/text.h"
#include "proxy/access_log.h"
#include "proxy/answers.h"
#include "proxy/metrics.h"
#include "server/clock.h"
#include "proxy/canonical_host.h"
#include "proxy/origin_form.h"
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

http_proxy::http_proxy(proxy_context& c) : context(c), relay(proxy_relay::open(this))
{
    max_head_length = max_head;
    metrics::count().clients_total++;
    metrics::count().clients_open++;
}

http_proxy::~http_proxy()
{
    // The origin connection, if any, finishes what it was given and ends.
    relay->client_gone(timing_out, unsent() == 0);
    metrics::count().clients_open--;
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
    using kind_t = request_kind;
    kind_t kind;
    const std::string& m = method();
    if (m == "CONNECT")
        kind.method = kind_t::method_class::connect;
    else if (m == "HEAD")
        kind.method = kind_t::method_class::head;
    else if (m == "GET" || m == "OPTIONS" || m == "TRACE" || m == "PUT" || m == "DELETE")
        kind.method = kind_t::method_class::idempotent;
    if (chunked() || content_length() > 0)
        kind.body = facts().expects_continue ? kind_t::body_form::after_continue : kind_t::body_form::follows;
    kind.upgrade = !kind.connect() && facts().upgrade();
    kind.close_after = !keep_alive() || facts().names_option("close");
    kind.interim = version() != "HTTP/1.0";
    std::string request;
    if (kind.connect())
        end_requests();  // every later byte is the tunnel's
    else
        request = origin_form::forwarded_head(method(), target, version(), head(), facts());
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
    switch (relay->take_event()) {
    case proxy_relay::event::switch_protocols:
        pass_through();
        break;
    case proxy_relay::event::reach_again:
        reach(true);
        break;
    case proxy_relay::event::none:
        break;
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
    bool output_over = output_ended();
    if (relay->client_write_done()) {
        drop_held();
        output_over = true;
    }
    out.then = handover::after(output_over, relay->client_finished_with(eof() && held().empty(), output_over));
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
