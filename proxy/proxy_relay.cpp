#include "proxy/proxy_relay.h"

#include <fcntl.h>
#include <unistd.h>

proxy_relay::~proxy_relay()
{
    if (pipe_read >= 0) {
        close(pipe_read);
        close(pipe_write);
    }
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

void proxy_relay::release(proxy_relay* relay)
{
    if (--relay->refs == 0)
        delete relay;
}
