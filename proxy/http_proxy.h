// The client side of the forward proxy: an HTTP server connection whose
// handlers forward each request to its origin instead of answering it.
//
// For every request head: refuse ambiguous body framing (400), log the
// request description line, split the target, refuse blocked hosts (404),
// then either reuse the attached upstream (same host and port, still open)
// or open a new one, and queue the request rewritten to origin form (or, for
// CONNECT, the "200" once the origin's connect has completed). Failing to
// reach the origin is answered 502 and ends the connection. Everything the
// client receives - the proxy's own answers and the origin's bytes - goes
// through the relay's to_client queue, never through the HTTP layer's
// response writer.
//
// The next request head is parsed only once the current origin has been
// reached (or has failed), so the answers to one client keep their order
// even when a name takes long to resolve.
//
// Once keep_alive is false (CONNECT, an HTTP/1.0 request without keep-alive)
// the connection parses no more requests and every byte the client sends
// goes to the current relay unchanged.
#pragma once

#include "http/http_connection.h"
#include "proxy/proxy_relay.h"

#include <cstdint>
#include <netdb.h>
#include <string>

class abstract_server;
namespace resolver {
struct lookup;
}

class http_proxy : public http_connection {
public:
    std::string upstream_host;  // origin of the current upstream (after IDN conversion)
    int32_t upstream_port = 0;
    proxy_relay* relay;         // shared with the current upstream; never null

    http_proxy();
    ~http_proxy() override;

    // The running server, which takes the upstream connections this class
    // opens. Set by main before the server starts.
    static abstract_server*& g_server();

    // The header lines of head to forward: every line after the request line
    // except the hop-by-hop ones, whose names begin with "Proxy" or
    // "Connection" in any letter case.
    static std::string copy_headers(const std::string& head);

    // True when a request head leaves open where its body ends, so that an
    // origin could read it differently than the proxy: Transfer-Encoding
    // together with Content-Length, Content-Length values that differ, or a
    // Transfer-Encoding whose last coding is not chunked.
    static bool framing_is_ambiguous(const std::string& head);

    bool on_send(char* buf, int cap, int* len) override;
    bool on_eof() override;
    void on_headers() override;
    void on_data(char* data, int len) override;
    void on_request() override;
    bool wants_input() const override;
    bool relays_body() const override;
    bool ready_for_request() const override;

    // True refuses the request with 404. Here: never.
    virtual bool should_block(const std::string& host);

protected:
    // Answers the current request with one of the proxy's own texts and
    // drops its body: it must reach no origin.
    void refuse(const char* answer);

    // Refuses a request with ambiguous framing (400) and ends the
    // connection after the answer; true if it did.
    bool refuse_ambiguous();

    // Everything on_headers does after the framing check: log, block,
    // reach the origin, queue the request. For subclasses that check the
    // framing themselves first.
    void forward();

private:
    // Starts reaching host:port on a fresh relay: at once for a numeric
    // address, through a lookup otherwise. False (with the reason printed)
    // when it failed at once.
    bool open_upstream(const std::string& host, int32_t port);

    // Creates the upstream connection from a lookup's result; false (with the
    // reason printed) when no connect could be started.
    static bool connect_upstream(proxy_relay* relay, const std::string& host, int32_t port, int status,
                                 addrinfo* list);
    static void upstream_resolved(resolver::lookup& job);

    bool attached() const { return relay->refs > 1; }

    // Before the relay is replaced: moves the bytes still being sent from its
    // queue into send_buffer, so nothing points into a relay that may be
    // freed.
    void keep_unsent_output();

    // The bytes handed to the server last time are sent: drops them from the
    // pipe's count or the queue.
    void release_lent();

    // Gives up this connection's hold on the relay.
    void let_go_of_relay();

    bool discarding = false;      // body bytes of the current request are dropped
    size_t lent = 0;              // bytes being sent from the pipe or in place from to_client
    bool lent_from_pipe = false;
};
