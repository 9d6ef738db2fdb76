#include "proxy/proxy_connection.h"

#include "proxy/answers.h"

proxy_connection::proxy_connection(int fd, proxy_relay* r) : relay(r)
{
    socket = fd;
    relay->refs++;
    relay->origin = this;
    timeout = 600;
    connecting = true;
}

proxy_connection::~proxy_connection()
{
    // The origin is gone: a client still attached is ended once it has
    // received everything the origin sent, instead of waiting for an end
    // that would otherwise never come.
    if (attached())
        relay->close_client = true;
    relay->connected = false;
    relay->origin = nullptr;
    relay->wake_client();
    proxy_relay::release(relay);
}

int proxy_connection::receive_pipe(int* len)
{
    // Only straight to an attached client, and only while nothing waits in
    // the queue ahead of these bytes.
    if (!attached() || !relay->streaming || !relay->to_client.empty() || relay->pipe_full)
        return -1;
    if (relay->pipe_read < 0 && (relay->relayed < proxy_relay::pipe_after || !relay->open_pipe()))
        return -1;
    size_t room = relay->pipe_capacity - relay->piped;
    if (room == 0)
        return -1;
    *len = room < size_t(*len) ? int(room) : *len;
    return relay->pipe_write;
}

void proxy_connection::on_piped(int len)
{
    if (len == 0) {
        // Nothing went in: the pipe is full, or the socket was empty. Either
        // way reading may wait until the client has taken some of the pipe,
        // unless there is nothing in it to take.
        relay->pipe_full = relay->piped > 0;
        return;
    }
    relay->piped += size_t(len);
    relay->relayed += uint64_t(len);
    relay->streaming = len >= proxy_relay::streaming_read;
    relay->wake_client();
}

void proxy_connection::on_recv(char* data, int len)
{
    relay->relayed += uint64_t(len);
    relay->streaming = len >= proxy_relay::streaming_read;
    bool in_place = data == offered;
    offered = nullptr;
    // Nobody will read what an orphaned relay collects.
    if (!attached())
        relay->to_client.clear();
    else if (in_place)
        relay->to_client.commit(size_t(len));
    else
        relay->to_client.append(data, size_t(len));
    relay->wake_client();
}

char* proxy_connection::receive_space(int* len)
{
    if (!attached())
        return nullptr;
    size_t room;
    offered = relay->to_client.back_space(&room);
    *len = room < size_t(*len) ? int(room) : *len;
    return offered;
}

bool proxy_connection::on_send(char*, int cap, int* len)
{
    // The bytes sent last time, from the queue itself, are done with; a
    // client held back by a full queue may read again.
    bool was_full = relay->to_origin.size() >= proxy_relay::high_water;
    relay->to_origin.consume(lent);
    if (was_full && relay->to_origin.size() < proxy_relay::high_water)
        relay->wake_client();
    size_t n;
    send_data = relay->to_origin.front(&n);
    lent = n < size_t(cap) ? n : size_t(cap);
    *len = int(lent);
    if (relay->to_origin.size() > lent)
        return true;
    if (!attached())
        return false;
    if (relay->client_eof)
        write_done = true;
    // Both directions finished: nothing more can pass.
    return !(write_done && relay->origin_eof);
}

void proxy_connection::on_connect(int error)
{
    relay->wake_client();  // a "200" or "502" to deliver, held requests to take up
    if (error == 0) {
        relay->connected = true;
        if (relay->tunnel_pending && attached())
            relay->to_client.append(answers::tunnel_open);
        relay->tunnel_pending = false;
        return;
    }
    // Nothing from this origin has reached the client yet, so the client can
    // still be told the truth.
    if (attached()) {
        relay->to_client.append(answers::bad_gateway);
        relay->close_client = true;
    }
    relay->tunnel_pending = false;
}

bool proxy_connection::on_eof()
{
    relay->origin_eof = true;
    relay->wake_client();
    // The client may still be sending (a half-closed tunnel, or a request
    // whose body is still on its way): keep that direction open.
    return attached();
}

bool proxy_connection::wants_input() const
{
    return !attached() || (relay->for_client() < proxy_relay::high_water && !relay->pipe_full);
}
