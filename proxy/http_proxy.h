// The client side of the forward proxy: an HTTP server connection whose
// handlers forward each request to its origin instead of answering it.
//
// For every request head: refuse a head whose framing or lines are faulty
// (400; request_facts.h), log the request description line, split the
// target, refuse blocked hosts (404), then either reuse the attached upstream
// (same host and port, still open) or open a new one, and queue the request
// rewritten to origin form (or, for CONNECT, the "200" once the origin's
// connect has completed). Failing to reach the origin is answered 502 and ends
// the connection; so does a head over max_head (431). Everything the client
// receives - the proxy's own answers and the origin's bytes - goes through the
// relay's to_client queue, never through the HTTP layer's response writer.
//
// The next request head is parsed only once the current origin has been
// reached (or has failed), so the answers to one client keep their order
// even when a name takes long to resolve.
//
// Once keep_alive is false (CONNECT, a request asking to upgrade the
// protocol, an HTTP/1.0 request without keep-alive) the connection parses no
// more requests and every byte the client sends goes to the current relay
// unchanged.
//
// Time-outs: a client with nothing in flight (no upstream attached, no lookup
// or connect pending) is ended after 10 idle seconds; while something is in
// flight, the client and its upstream are idle only while neither moves a
// byte, and are ended together after proxy_connection::idle_limit seconds.
//
// Ending: the proxy's own final answers (400, 431, 502) and the end of an
// origin's stream are followed by the end of the client's stream; what the
// client still sends is read and dropped until it closes or goes quiet, so
// that no unread input turns the close into a reset that could destroy the
// answer before the client has read it.
#pragma once

#include "http/http_connection.h"
#include "proxy/proxy_relay.h"
#include "proxy/split_url.h"

#include <cstdint>
#include <netdb.h>
#include <string>

class abstract_server;
namespace resolver {
struct lookup;
}

class http_proxy : public http_connection {
public:
    // Most bytes a request head may take (request line, header lines and the
    // blank line).
    static constexpr int32_t max_head = 1 << 20;

    std::string upstream_host;  // origin of the current upstream (after IDN conversion)
    int32_t upstream_port = 0;
    proxy_relay* relay;         // shared with the current upstream; never null

    http_proxy();
    ~http_proxy() override;

    // The running server, which takes the upstream connections this class
    // opens. Set by main before the server starts.
    static abstract_server*& g_server();

    // The header lines of head to forward to target's origin: every line
    // after the request line except the hop-by-hop ones (names beginning
    // with "Proxy" or "Connection" in any letter case, Keep-Alive, TE,
    // Trailer, Upgrade unless the request upgrades, and every field the
    // Connection options name but those that frame the body or name the
    // origin), and a Host field naming the target's origin: the client's
    // own line where it names that origin already, otherwise one built from
    // the target in place of the client's (first, if it sent none). CR, LF
    // and NUL bytes inside a line (which some recipients take for line ends)
    // are forwarded as spaces.
    static std::string copy_headers(const std::string& head, const request_facts& facts, const split_url& target);

    bool on_send(char* buf, int cap, int* len) override;
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
    bool timed_out(time_t now) const override;

    // True refuses the request with 404. Here: never.
    virtual bool should_block(const std::string& host);

protected:
    // Answers the current request with one of the proxy's own texts and
    // drops its body: it must reach no origin.
    void refuse(const char* answer);

    // Refuses a request whose head is faulty, or whose target is not one a
    // proxy can act on (400), and ends the connection after the answer;
    // true if it did. Otherwise `target` holds the split target.
    bool refuse_faulty_head();

    split_url target;  // of the current request, once its head has passed

    // Everything on_headers does after the framing check: log, block,
    // reach the origin, queue the request. For subclasses that check the
    // framing themselves first.
    void forward();

private:
    // Starts reaching host:port on a fresh relay: at once for a numeric
    // address, through a lookup otherwise. When it failed at once: the
    // answer for the client (502, or 508 for the proxy's own address), with
    // the reason printed; otherwise null.
    const char* open_upstream(const std::string& host, int32_t port);

    // Creates the upstream connection from a lookup's result, to every
    // address but the proxy's own; the answer for the client when no connect
    // could be started (as open_upstream), otherwise null.
    static const char* connect_upstream(proxy_relay* relay, const std::string& host, int32_t port, int status,
                                        const addrinfo* list);
    static void upstream_resolved(resolver::lookup& job, int status, const addrinfo* list);

    // An upstream is attached, or a lookup or connect for one is pending.
    bool attached() const { return relay->attached(); }
    // The client waits for, or talks with, an origin.
    bool in_flight() const { return attached() && !relay->close_client; }
    // Ends the connection after what is queued for the client.
    void close_after_answer(const char* answer);

    // Gives up this connection's hold on the relay.
    void let_go_of_relay();

    bool discarding = false;  // body bytes of the current request are dropped
    bool tunnel = false;      // CONNECT or an upgrade: bytes pass both ways, each way ending on its own
};
