// The client side of the forward proxy: an HTTP server connection whose
// handlers forward each request to its origin instead of answering it.
//
// For every request head: refuse a head whose framing or lines are faulty,
// or whose target names no origin for sure (400; request_facts.h,
// split_url.h), log the request description line, refuse blocked hosts
// (404) and targets that would loop back into the proxy (508), then hand the
// request to an origin connection - an idle one to the same origin from the
// pool, or a new one (a lookup, then a connect; 502 when neither works) -
// rewritten to origin form, or, for CONNECT, answer "200" once the origin's
// connect has completed. A head over max_head is answered 431.
//
// Requests are taken up one at a time: the next head is parsed only once
// the exchange before it is complete (proxy_relay.h), so the answers keep
// the order of the requests whoever makes them, and pipelined requests to
// different origins all get theirs. Everything the client receives goes
// through the relay's queue, never through the HTTP layer's response writer.
//
// After CONNECT, and after an origin has switched protocols (101), the
// connection parses no more requests and every byte the client sends goes
// to the origin unchanged.
//
// Time-outs: a client with no exchange in flight is ended after 10 idle
// seconds; while one is in flight, the client and its origin connection are
// idle only while neither moves a byte, and are ended together after
// proxy_connection::idle_limit seconds.
//
// Ending: the proxy's own final answers (400, 431, 502, 508) and the end of
// an origin's stream are followed by the end of the client's stream; what
// the client still sends is read and dropped until it closes or goes quiet,
// so that no unread input turns the close into a reset that could destroy
// the answer before the client has read it.
#pragma once

#include "http/http_connection.h"
#include "proxy/proxy_relay.h"
#include "proxy/split_url.h"

#include <cstdint>
#include <netdb.h>
#include <string>

struct proxy_context;
namespace resolver {
struct lookup;
}

class http_proxy : public http_connection {
public:
    // Most bytes a request head may take (request line, header lines and the
    // blank line).
    static constexpr int32_t max_head = 1 << 20;

    std::string upstream_host;  // origin of the current exchange (canonical)
    int32_t upstream_port = 0;
    proxy_context& context;
    proxy_relay::handle relay;  // this client's, for its whole life; never empty

    // What the proxy's connections share (proxy_context.h): the server
    // that takes the origin connections this class opens, the settings,
    // the pool.
    explicit http_proxy(proxy_context& context);
    ~http_proxy() override;

    void on_recv(char* data, int len) override;
    handover on_send(char* buf, int cap) override;
    char* receive_space(int* len) override;
    bool on_eof() override;
    void on_headers() override;
    void on_data(char* data, int len) override;
    void on_request() override;
    void on_head_too_long() override;
    void on_framing_broken() override;
    bool serves_websocket() const override;
    bool wants_input() const override;
    bool relays_body() const override;
    bool ready_for_request() const override;
    bool timed_out(int64_t now) const override;
    int64_t deadline() const override;

    // True refuses the request with 404. Here: never.
    virtual bool should_block(const std::string& host);
    // True refuses the request for host with 404 because an address its
    // name resolved to (or a pooled connection to it is connected to) is
    // blocked. Here: never.
    virtual bool should_block_address(const std::string& host, const socket_address& to);
    // True refuses the request for host:port with 403: the egress policy
    // denies it before any address is known (and the "Denied: " line is
    // printed). *name_allowed says whether the policy lets the name through
    // by name, for should_deny_address(). Here: never.
    virtual bool should_deny(const std::string& host, int32_t port, bool connect, bool* name_allowed);
    // True when the egress policy forbids connecting to `to` for the current
    // target, with the rule in *rule (nothing printed: an address denied is
    // skipped like a failed one). Here: never.
    virtual bool should_deny_address(const socket_address& to, bool name_allowed, std::string* rule);

protected:
    // Answers the current request with one of the proxy's own texts; its
    // body reaches no origin. The connection goes on unless the client asked
    // to close it after this request.
    void refuse(const char* answer);

    // Refuses a request whose head is faulty, or whose target is not one a
    // proxy can act on (400), and ends the connection after the answer;
    // true if it did (also when the connection is closing anyway, silently).
    // Otherwise `target` holds the split target.
    bool refuse_faulty_head();

    split_url target;  // of the current request, once its head has passed
    bool name_allowed = false;  // the egress policy lets target's name through by name

    // Everything on_headers does after the checks of the head: log, block,
    // hand the request to an origin. For subclasses that check more first.
    void forward();

    // Ends the connection after what is queued for the client.
    void close_after_answer(const char* answer);

    // The request asks for one of the proxy's own pages (/healthz,
    // /metrics: GET in origin form), which refuse_faulty_head() leaves to
    // the caller, without a target.
    bool own_page() const;
    // Opens the record of the request just read (parsed: its head was read
    // whole, not refused for its length).
    void begin_record(bool parsed);

private:
    // Finds the current exchange an origin connection: from the pool
    // (unless `fresh`), or a new one.
    void reach(bool fresh);
    // Starts reaching host:port for the relay's current exchange: at once
    // for a numeric address, through a lookup otherwise. When it failed at
    // once: the answer for the client (502, 508 for the proxy's own address,
    // 404 or 403 for a listed or denied one, which *keeps the connection),
    // with the reason printed; otherwise null.
    const char* open_upstream(const std::string& host, int32_t port, bool* keeps);

    // Creates the origin connection from a lookup's result, to every address
    // but the proxy's own and those the policy denies; the answer for the
    // client when none can be started, or the name is blocked or denied by
    // an address, otherwise null. *keeps says whether that answer leaves the
    // connection open (a 404 or a plain request's 403).
    static const char* connect_upstream(proxy_relay* relay, const std::string& host, int32_t port, int status,
                                        const addrinfo* list, bool* keeps);
    static void upstream_resolved(resolver::lookup& job, int status, const addrinfo* list);

    // Brings the relay's count of what is held up to date.
    void account();
    // Whether a limit of time ends the connection at `now`; timed_out()
    // remembers the answer, for the record of what it ends.
    bool ends_for_time(int64_t now) const;
    // The last time a byte moved on the client's or its origin's connection.
    int64_t last_exchange_activity() const;

    // How soon a client not read for memory is looked at again.
    static constexpr int64_t paused_recheck_ms = 250;

    mutable bool timing_out = false;
};
