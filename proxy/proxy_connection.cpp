#include "proxy/proxy_connection.h"

#include "base/escape.h"
#include "proxy/answers.h"
#include "server/connector.h"

#include <cstdio>

proxy_connection::proxy_connection(proxy_relay* r, const std::string& h, int32_t p, std::vector<sockaddr_in> a)
    : relay(r), host(h), port(p), addresses(std::move(a))
{
    timeout = idle_limit;
}

proxy_connection* proxy_connection::open(proxy_relay* relay, const std::string& host, int32_t port,
                                         std::vector<sockaddr_in> addresses)
{
    auto* c = new proxy_connection(relay, host, port, std::move(addresses));
    c->socket = c->next_attempt();
    if (c->socket < 0) {
        c->no_address_worked();
        c->relay = nullptr;  // it never held the relay
        delete c;
        return nullptr;
    }
    c->connecting = true;
    relay->refs++;
    relay->origin = c;
    return c;
}

int proxy_connection::next_attempt()
{
    while (tried < addresses.size()) {
        int error = 0;
        int fd = connector::start(addresses[tried++], &error);
        if (fd >= 0) {
            // The last address may take as long as the system allows; an
            // earlier one must not keep the others waiting.
            connect_timeout = tried < addresses.size() ? attempt_limit : 0;
            return fd;
        }
    }
    return -1;
}

void proxy_connection::no_address_worked() const
{
    printf("No addresses worked for host %s:%d.\n", base::escape_controls(host).c_str(), port);
}

proxy_connection::~proxy_connection()
{
    if (!relay)
        return;
    // The origin is gone: a client still attached is ended once it has
    // received everything the origin sent, instead of waiting for an end
    // that would otherwise never come.
    if (relay->attached())
        relay->close_client = true;
    relay->connected = false;
    relay->origin = nullptr;
    relay->wake_client();
    proxy_relay::release(relay);
}

int proxy_connection::receive_pipe(int* len) { return relay->pipe_for_origin(len); }

void proxy_connection::on_piped(int len) { relay->piped_from_origin(len); }

void proxy_connection::on_recv(char* data, int len) { relay->from_origin(data, len); }

char* proxy_connection::receive_space(int* len) { return relay->space_for_origin(len); }

bool proxy_connection::on_send(char*, int cap, int* len)
{
    relay->origin_took();  // the bytes sent last time
    size_t lent = relay->lend_to_origin(size_t(cap), &send_data);
    *len = int(lent);
    if (relay->to_origin.size() > lent)
        return true;
    if (!relay->attached())
        return false;
    if (relay->client_eof)
        write_done = true;
    // Both directions finished: nothing more can pass.
    return !(write_done && relay->origin_eof);
}

int proxy_connection::on_connect(int error)
{
    if (error != 0) {
        int next = next_attempt();
        if (next >= 0)
            return next;
        no_address_worked();
    }
    addresses = {};  // not needed any more
    relay->wake_client();  // a "200" or "502" to deliver, held requests to take up
    if (error == 0) {
        relay->connected = true;
        if (relay->tunnel_pending && relay->attached())
            relay->to_client.append(answers::tunnel_open);
        relay->tunnel_pending = false;
        return -1;
    }
    // Nothing from this origin has reached the client yet, so the client can
    // still be told the truth.
    if (relay->attached()) {
        relay->to_client.append(answers::bad_gateway);
        relay->close_client = true;
    }
    relay->tunnel_pending = false;
    return -1;
}

bool proxy_connection::timed_out(time_t now) const
{
    // An exchange in flight is idle only while neither side moves.
    time_t latest = last_active;
    if (relay->attached() && relay->client && relay->client->last_active > latest)
        latest = relay->client->last_active;
    return now - latest > timeout;
}

bool proxy_connection::on_eof()
{
    relay->origin_eof = true;
    relay->wake_client();
    // The client may still be sending (a half-closed tunnel, or a request
    // whose body is still on its way): keep that direction open.
    return relay->attached();
}

bool proxy_connection::wants_input() const { return relay->origin_may_send(); }
