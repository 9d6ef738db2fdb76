// The upstream side of a proxied exchange: one TCP connection to an origin
// server, opened for a client connection (http_proxy) and handed to the
// server.
//
// Reaching the origin: its IPv4 addresses are tried in order. An address
// that refuses, is unreachable or has not connected within attempt_limit
// seconds (while others remain) counts as failed, and the next one is tried
// on a new socket; only when every address has failed is the client told
// (502).
//
// It sends what the client side queues in the relay's to_origin and appends
// whatever the origin sends to to_client, without looking at the bytes. When
// the client has finished sending and to_origin is empty, it shuts down its
// sending side; it ends once both directions are finished, when the origin
// closes while the client is gone, on a socket error, after idle_limit
// seconds without bytes in either direction of the pair, or, once the client
// side has let go of the relay, as soon as everything queued for the origin
// has been sent.
#pragma once

#include "proxy/proxy_relay.h"
#include "server/connection.h"

#include <netinet/in.h>
#include <string>
#include <vector>

class proxy_connection : public connection {
public:
    // Seconds an exchange with an origin may stay silent in both directions
    // before the client and its upstream are ended together.
    static constexpr int32_t idle_limit = 600;
    // Seconds one address may take to connect while others remain to try.
    static constexpr int32_t attempt_limit = 5;

    proxy_relay* relay;  // one reference, held from open() to the end

    // Starts connecting to the first of `addresses` (IPv4, ports set) that
    // takes a connect, for the relay, and returns the new connection for the
    // server; null, with "No addresses worked for host %s:%d." printed, when
    // none does. host and port are the origin's, for that line.
    static proxy_connection* open(proxy_relay* relay, const std::string& host, int32_t port,
                                  std::vector<sockaddr_in> addresses);
    ~proxy_connection() override;

    void on_recv(char* data, int len) override;
    bool on_send(char* buf, int cap, int* len) override;
    int on_connect(int error) override;
    bool timed_out(time_t now) const override;
    bool on_eof() override;
    bool wants_input() const override;
    char* receive_space(int* len) override;
    int receive_pipe(int* len) override;
    void on_piped(int len) override;

private:
    proxy_connection(proxy_relay* relay, const std::string& host, int32_t port, std::vector<sockaddr_in> addresses);

    // Starts a connect to the next address that takes one: its socket, or
    // -1 when none is left. Sets connect_timeout for it.
    int next_attempt();
    // Every address has failed: says so.
    void no_address_worked() const;

    std::string host;  // the origin, as the client named it (after IDN conversion)
    int32_t port = 0;
    std::vector<sockaddr_in> addresses;  // until connected: every address, in order
    size_t tried = 0;                    // addresses attempted so far
};
