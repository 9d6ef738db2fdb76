#include "proxy/proxy_relay.h"

#include <cstring>
#include <fcntl.h>
#include <unistd.h>

proxy_relay::~proxy_relay()
{
    if (pipe_read >= 0) {
        close(pipe_read);
        close(pipe_write);
    }
}

void proxy_relay::release(proxy_relay* relay)
{
    if (--relay->refs == 0)
        delete relay;
}

bool proxy_relay::open_pipe()
{
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
        return false;
    // A larger pipe moves more per system call; the system may refuse.
    fcntl(fds[1], F_SETPIPE_SZ, 1 << 20);
    int size = fcntl(fds[1], F_GETPIPE_SZ);
    pipe_read = fds[0];
    pipe_write = fds[1];
    pipe_capacity = size > 0 ? size_t(size) : 65536;
    return true;
}

void proxy_relay::from_client(const char* data, size_t len)
{
    to_origin.append(data, len);
    wake_origin();
}

size_t proxy_relay::lend_to_origin(size_t cap, const char** data)
{
    size_t n;
    *data = to_origin.front(&n);
    origin_lent = n < cap ? n : cap;
    return origin_lent;
}

void proxy_relay::origin_took()
{
    bool was_full = !client_may_send();
    to_origin.consume(origin_lent);
    origin_lent = 0;
    // A client held back by a full queue may read again.
    if (was_full && client_may_send())
        wake_client();
}

char* proxy_relay::space_for_origin(int* len)
{
    if (!attached())
        return nullptr;
    size_t room;
    offered = to_client.back_space(&room);
    *len = room < size_t(*len) ? int(room) : *len;
    return offered;
}

void proxy_relay::from_origin(const char* data, int len)
{
    relayed += uint64_t(len);
    streaming = len >= streaming_read;
    bool in_place = data == offered;
    offered = nullptr;
    // Nobody will read what an orphaned relay collects.
    if (!attached())
        to_client.clear();
    else if (in_place)
        to_client.commit(size_t(len));
    else
        to_client.append(data, size_t(len));
    wake_client();
}

int proxy_relay::pipe_for_origin(int* len)
{
    // Only straight to an attached client, and only while nothing waits in
    // the queue ahead of these bytes.
    if (!attached() || !streaming || !to_client.empty() || pipe_full)
        return -1;
    if (pipe_read < 0 && (relayed < pipe_after || !open_pipe()))
        return -1;
    size_t room = pipe_capacity - piped;
    if (room == 0)
        return -1;
    *len = room < size_t(*len) ? int(room) : *len;
    return pipe_write;
}

void proxy_relay::piped_from_origin(int n)
{
    if (n == 0) {
        // Nothing went in: the pipe is full, or the socket was empty. Either
        // way reading may wait until the client has taken some of the pipe,
        // unless there is nothing in it to take.
        pipe_full = piped > 0;
        return;
    }
    piped += size_t(n);
    relayed += uint64_t(n);
    streaming = n >= streaming_read;
    wake_client();
}

bool proxy_relay::origin_may_send() const { return !attached() || (for_client() < high_water && !pipe_full); }

size_t proxy_relay::lend_to_client(size_t cap, const char** data, int* pipe)
{
    *data = nullptr;
    *pipe = -1;
    if (piped > 0) {
        *pipe = pipe_read;
        client_lent_pipe = true;
        client_lent = piped < cap ? piped : cap;
    } else {
        size_t n;
        *data = to_client.front(&n);
        client_lent = n < cap ? n : cap;
        if (client_lent == 0)
            to_client.clear();  // gives back a block offered for receiving but never filled
    }
    return client_lent;
}

void proxy_relay::client_took()
{
    bool was_full = !origin_may_send();
    if (client_lent_pipe) {
        piped -= client_lent;
        pipe_full = false;
    } else
        to_client.consume(client_lent);
    client_lent = 0;
    client_lent_pipe = false;
    // An upstream held back by a full queue or pipe may read again.
    if (was_full && origin_may_send())
        wake_origin();
}

void proxy_relay::keep_lent_bytes(connection& c)
{
    if (c.send_length > 0 && c.send_pipe >= 0) {
        // Pipe bytes already announced to the server: take them out of the
        // pipe before it goes away with the relay.
        char* buffer = c.send_space();
        int got = 0;
        while (got < c.send_length) {
            ssize_t n = read(c.send_pipe, buffer + got, size_t(c.send_length - got));
            if (n <= 0)
                break;
            got += int(n);
        }
        c.send_length = got;
        c.send_offset = 0;
    } else if (c.send_length > 0 && c.send_data) {
        memmove(c.send_space(), c.send_data + c.send_offset, size_t(c.send_length));
        c.send_offset = 0;
    }
    c.send_data = nullptr;
    c.send_pipe = -1;
    client_took();  // whatever of those bytes is left now lives in c's own buffer
}
