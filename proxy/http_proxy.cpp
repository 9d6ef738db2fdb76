#include "proxy/http_proxy.h"

#include "base/escape.h"
#include "base/text.h"
#include "proxy/answers.h"
#include "proxy/proxy_connection.h"
#include "proxy/resolver.h"
#include "proxy/split_url.h"
#include "server/abstract_server.h"

#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

http_proxy::http_proxy() : relay(new proxy_relay)
{
    relay->client = this;
    max_head_length = max_head;
}

http_proxy::~http_proxy() { let_go_of_relay(); }

void http_proxy::let_go_of_relay()
{
    // The upstream, if any, finishes what it was given and then ends.
    relay->client = nullptr;
    relay->wake_origin();
    proxy_relay::release(relay);
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

bool http_proxy::should_block(const std::string&) { return false; }

void http_proxy::refuse(const char* answer)
{
    relay->to_client.append(answer);
    discarding = true;
}

void http_proxy::close_after_answer(const char* answer)
{
    refuse(answer);
    relay->close_client = true;
    keep_alive = false;
}

bool http_proxy::refuse_faulty_head()
{
    // Nothing more is answered on a connection that is closing, or whose
    // sending side has been shut down after the origin finished: what
    // follows is read and dropped.
    if (relay->close_client || write_done) {
        discarding = true;
        keep_alive = false;
        return true;
    }
    if (facts.problem == request_facts::fault::none) {
        target = split_url(url, method == "CONNECT");
        if (target.valid())
            return false;
        // A target that is not a URL (an origin-form path), or whose origin
        // cannot be told for sure: nothing after it can be trusted either.
        close_after_answer(answers::bad_target);
        return true;
    }
    // The proxy cannot tell where this request ends, or an origin might read
    // it differently, so nothing after it on this connection can be trusted
    // to be the next request either.
    close_after_answer(facts.problem == request_facts::fault::malformed ? answers::malformed_request
                                                                         : answers::bad_request);
    return true;
}

void http_proxy::on_head_too_long() { close_after_answer(answers::head_too_large); }

void http_proxy::on_framing_broken() { close_after_answer(answers::malformed_request); }

const char* http_proxy::connect_upstream(proxy_relay* relay, const std::string& host, int32_t port, int status,
                                         const addrinfo* list)
{
    if (status != 0) {
        printf("getaddrinfo() failed for host %s:%d!\n", base::escape_controls(host).c_str(), port);
        return answers::bad_gateway;
    }
    // Every IPv4 address, in the order the resolver gives them, except the
    // proxy's own: a request it would forward to itself would come back
    // again, once per level, until descriptors and memory run out.
    std::vector<sockaddr_in> addresses;
    bool loops = false;
    for (const addrinfo* a = list; a; a = a->ai_next)
        if (a->ai_family == AF_INET && a->ai_addrlen >= sizeof(sockaddr_in)) {
            sockaddr_in to;
            memcpy(&to, a->ai_addr, sizeof to);
            to.sin_port = htons(uint16_t(port));
            if (g_server()->reaches_self(to))
                loops = true;
            else
                addresses.push_back(to);
        }
    if (loops && addresses.empty())
        return answers::loop_detected;
    proxy_connection* upstream = proxy_connection::open(relay, host, port, std::move(addresses));
    if (!upstream)
        return answers::bad_gateway;
    g_server()->add_connection(upstream);
    return nullptr;
}

void http_proxy::upstream_resolved(resolver::lookup& job, int status, const addrinfo* list)
{
    proxy_relay* relay = job.relay;
    // Only a client still waiting for this origin cares about the result.
    if (relay->refs > 1)
        if (const char* answer = connect_upstream(relay, job.host, job.port, status, list)) {
            relay->to_client.append(answer);
            relay->close_client = true;
        }
    relay->wake_client();
    proxy_relay::release(relay);
}

const char* http_proxy::open_upstream(const std::string& host, int32_t port)
{
    // The old relay may go away with it; what is being sent from its queue
    // moves into this connection's own buffer first.
    relay->keep_lent_bytes(*this);
    let_go_of_relay();
    relay = new proxy_relay;
    relay->client = this;
    upstream_host = host;
    upstream_port = port;

    addrinfo* list = nullptr;
    int status = resolver::numeric(host, port, &list);
    if (status != EAI_NONAME) {
        const char* answer = connect_upstream(relay, host, port, status, list);
        if (list)
            freeaddrinfo(list);
        return answer;
    }
    auto* job = new resolver::lookup;
    job->host = host;
    job->port = port;
    job->relay = relay;
    job->done = upstream_resolved;
    relay->refs++;  // the lookup's hold: the relay counts as attached meanwhile
    resolver::start(job);
    return nullptr;
}

void http_proxy::on_headers()
{
    if (!refuse_faulty_head())
        forward();
}

void http_proxy::forward()
{
    discarding = false;
    puts(info(true).c_str());

    if (should_block(target.host)) {
        refuse(answers::not_found);
        return;
    }

    bool reuse = attached() && !relay->origin_eof && upstream_host == target.host && upstream_port == target.port;
    if (!reuse)
        if (const char* answer = open_upstream(target.host, target.port)) {
            close_after_answer(answer);
            return;
        }

    if (method == "CONNECT") {
        keep_alive = false;
        tunnel = true;
        if (relay->connected)
            relay->to_client.append(answers::tunnel_open);
        else
            relay->tunnel_pending = true;
        return;
    }
    std::string request = method + " " + target.path + " " + version + "\r\n";
    request += copy_headers(head, facts, target);
    if (facts.upgrade()) {
        // The origin is asked to switch protocols too (the client's
        // Connection line is its own hop's), and whatever it answers, the
        // connection carries bytes both ways unchanged from here on, as a
        // tunnel does: its 101 and everything after it pass through.
        request += "Connection: " + facts.upgrade_option + "\r\n";
        keep_alive = false;
        tunnel = true;
    }
    request += "\r\n";
    relay->from_client(request.data(), request.size());
}

void http_proxy::on_data(char* data, int len)
{
    if (!discarding && !relay->close_client)
        relay->from_client(data, size_t(len));
}

void http_proxy::on_request() {}

bool http_proxy::on_send(char*, int cap, int* len)
{
    relay->client_took();  // the bytes sent last time
    resume_requests();
    if (eof && held.empty() && !relay->client_eof) {
        relay->client_eof = true;
        relay->wake_origin();  // it shuts down its sending side once it is done
    }

    size_t lent = relay->lend_to_client(size_t(cap), &send_data, &send_pipe);
    *len = int(lent);
    if (relay->for_client() > lent)
        return true;
    if (relay->close_client) {
        // The end of the stream follows the answer; the connection ends once
        // the client has finished too (or after the idle time-out).
        held.clear();
        write_done = true;
        return !eof;
    }
    if (relay->origin_eof) {
        // The origin has finished and everything it sent is on its way. A
        // client whose last request is complete and that may send no other
        // (no keep-alive, no tunnel) has nothing left to say: the
        // connection ends at once, which spares waiting for the client's
        // own end. Otherwise the client sees the end of the stream and may
        // still send (a body still on its way, a half-closed tunnel).
        if (completed && !tunnel)
            return false;
        write_done = true;
    }
    // The client has finished too, or nothing can come back any more.
    return !(relay->client_eof && (write_done || !attached()));
}

bool http_proxy::on_eof()
{
    // The answer to what the client sent may still be on its way; on_send
    // decides when the connection is finished.
    return true;
}

bool http_proxy::wants_input() const
{
    // A closing connection reads what the client still sends and drops it.
    return relay->close_client || (held.empty() && relay->client_may_send());
}

bool http_proxy::serves_websocket() const { return false; }

bool http_proxy::relays_body() const { return true; }

bool http_proxy::ready_for_request() const { return !(attached() && !relay->connected); }

bool http_proxy::timed_out(time_t now) const
{
    if (!in_flight())
        return http_connection::timed_out(now);
    // An exchange in flight is idle only while neither side moves.
    time_t latest = last_active;
    if (relay->origin && relay->origin->last_active > latest)
        latest = relay->origin->last_active;
    return now - latest > proxy_connection::idle_limit;
}
