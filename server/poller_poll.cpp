// poll(2) backend: the whole interest list is handed to the kernel on every
// wait. Simple and portable; its cost grows with the number of sockets.
#include "server/poller.h"

#include <cstddef>
#include <poll.h>
#include <vector>

namespace poller {

namespace {

std::vector<pollfd>& list()
{
    static std::vector<pollfd> fds;
    return fds;
}

// Position of each fd in list(), -1 when not watched.
std::vector<int>& index()
{
    static std::vector<int> at;
    return at;
}

short mask(bool read, bool write)
{
    return short((read ? POLLIN | POLLRDHUP : 0) | (write ? POLLOUT : 0));
}

}  // namespace

bool watch(int fd, bool read, bool write)
{
    if (fd < 0)
        return false;
    if (index().size() <= size_t(fd))
        index().resize(size_t(fd) + 1, -1);
    index()[fd] = int(list().size());
    list().push_back(pollfd{fd, mask(read, write), 0});
    return true;
}

void modify(int fd, bool read, bool write)
{
    list()[index()[fd]].events = mask(read, write);
}

void forget(int fd, bool)
{
    int at = index()[fd];
    // Swap the last entry into the hole so removal is constant time.
    list()[at] = list().back();
    index()[list()[at].fd] = at;
    list().pop_back();
    index()[fd] = -1;
}

int wait(int timeout_ms, void (*report)(int fd, uint8_t events))
{
    int n = poll(list().data(), list().size(), timeout_ms);
    if (n <= 0)
        return n;
    for (const pollfd& p : list()) {
        if (!p.revents)
            continue;
        uint8_t r = 0;
        if (p.revents & (POLLIN | POLLHUP))
            r |= readable;
        if (p.revents & POLLOUT)
            r |= writable;
        if (p.revents & (POLLERR | POLLHUP | POLLNVAL))
            r |= error;
        if (p.revents & (POLLERR | POLLNVAL))
            r |= failed;
        if (p.revents & POLLRDHUP)
            r |= peer_closed;
        report(p.fd, r);
    }
    return n;
}

}  // namespace poller
