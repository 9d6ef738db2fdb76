// The upstream side of a proxied exchange: one TCP connection to an origin
// server, opened for a client connection (http_proxy) and handed to the
// server.
//
// It sends what the client side queues in the relay's to_origin and appends
// whatever the origin sends to to_client, without looking at the bytes. When
// the client has finished sending and to_origin is empty, it shuts down its
// sending side; it ends once both directions are finished, when the origin
// closes while the client is gone, on a socket error, after 600 idle seconds,
// or, once the client side has let go of the relay, as soon as everything
// queued for the origin has been sent.
#pragma once

#include "proxy/proxy_relay.h"
#include "server/connection.h"

class proxy_connection : public connection {
public:
    proxy_relay* relay;  // one reference, held for the object's whole life

    // Takes a socket whose non-blocking connect is in progress.
    proxy_connection(int socket, proxy_relay* relay);
    ~proxy_connection() override;

    void on_recv(char* data, int len) override;
    bool on_send(char* buf, int cap, int* len) override;
    void on_connect(int error) override;
    bool on_eof() override;
    bool wants_input() const override;
    char* receive_space(int* len) override;
    int receive_pipe(int* len) override;
    void on_piped(int len) override;

private:
    bool attached() const { return relay->refs > 1; }

    size_t lent = 0;               // bytes of to_origin being sent from in place
    char* offered = nullptr;       // space in to_client offered for receiving
};
