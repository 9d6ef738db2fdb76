#include "proxy/relay_flow.h"

#include <fcntl.h>
#include <unistd.h>

relay_flow::~relay_flow()
{
    memory_budget::charge(charged, 0);
    if (pipe_read >= 0) {
        close(pipe_read);
        close(pipe_write);
    }
}

size_t relay_flow::lend_to_origin(size_t cap, const char** data)
{
    size_t n;
    *data = for_origin.front(&n);
    origin_lent = n < cap ? n : cap;
    return origin_lent;
}

size_t relay_flow::origin_took()
{
    size_t n = origin_lent;
    for_origin.consume(n);
    origin_lent = 0;
    return n;
}

size_t relay_flow::lend_to_client(size_t cap, const char** data, int* pipe)
{
    *data = nullptr;
    *pipe = -1;
    if (piped > 0) {
        *pipe = pipe_read;
        client_lent = piped < cap ? piped : cap;
    } else {
        size_t n;
        *data = for_client.front(&n);
        client_lent = n < cap ? n : cap;
        if (client_lent == 0)
            for_client.clear();  // gives back a block reserved for receiving but never filled
    }
    return client_lent;
}

size_t relay_flow::client_took()
{
    size_t n = client_lent;
    if (n == 0)
        return 0;
    // Lent from the pipe if anything is in it: bytes go into the pipe only
    // while the queue is empty, so a lend from the queue keeps the pipe
    // empty until this.
    if (piped > 0) {
        piped -= n;
        pipe_full = false;
    } else
        for_client.consume(n);
    client_lent = 0;
    return n;
}

void relay_flow::forget_client()
{
    client_lent = 0;
    client_bytes = 0;
    for_client.clear();
}

bool relay_flow::open_pipe()
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

int relay_flow::pipe_for(uint64_t run, int* len, bool client_there)
{
    // Only straight to a client that is there, while nothing waits in the
    // queue ahead of these bytes, and only bytes whose framing need not be
    // read.
    if (!client_there || !streaming || run < uint64_t(streaming_read) || !for_client.empty() || pipe_full)
        return -1;
    if (pipe_read < 0 && (relayed < pipe_after || !open_pipe()))
        return -1;
    size_t space = pipe_capacity - piped;
    if (size_t left = room(); left < space)
        space = left;
    if (space == 0)
        return -1;
    if (uint64_t(space) > run)
        space = size_t(run);
    *len = space < size_t(*len) ? int(space) : *len;
    return pipe_write;
}

void relay_flow::piped_in(int n)
{
    if (n == 0) {
        // Nothing went in: the pipe is full, or the socket was empty. Either
        // way reading may wait until the client has taken some of the pipe,
        // unless there is nothing in it to take.
        pipe_full = piped > 0;
        return;
    }
    piped += size_t(n);
    read_in(n);
}

void relay_flow::read_in(int n)
{
    relayed += uint64_t(n);
    streaming = n >= streaming_read;
}
