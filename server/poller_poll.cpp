// poll(2) backend: the whole interest list is handed to the kernel on every
// wait. Simple and portable; its cost grows with the number of sockets.
#include "server/poller.h"

#include <cstddef>
#include <poll.h>
#include <vector>

namespace {

short mask(bool read, bool write)
{
    return short((read ? POLLIN | POLLRDHUP : 0) | (write ? POLLOUT : 0));
}

}  // namespace

struct poller::backend {
    std::vector<pollfd> list;
    std::vector<int> index;  // position of each fd in list, -1 when not watched
};

poller::poller() : state(new backend) {}

poller::~poller() = default;

bool poller::watch(int fd, bool read, bool write)
{
    if (fd < 0)
        return false;
    if (state->index.size() <= size_t(fd))
        state->index.resize(size_t(fd) + 1, -1);
    state->index[fd] = int(state->list.size());
    state->list.push_back(pollfd{fd, mask(read, write), 0});
    return true;
}

void poller::modify(int fd, bool read, bool write) { state->list[state->index[fd]].events = mask(read, write); }

void poller::forget(int fd, bool)
{
    std::vector<pollfd>& list = state->list;
    int at = state->index[fd];
    // Swap the last entry into the hole so removal is constant time.
    list[at] = list.back();
    state->index[list[at].fd] = at;
    list.pop_back();
    state->index[fd] = -1;
}

int poller::wait(int timeout_ms, void (*report)(void* context, int fd, uint8_t events), void* context)
{
    int n = poll(state->list.data(), state->list.size(), timeout_ms);
    if (n <= 0)
        return n;
    for (const pollfd& p : state->list) {
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
        report(context, p.fd, r);
    }
    return n;
}
