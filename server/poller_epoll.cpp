// epoll backend: level-triggered, so a socket that is not fully drained in one
// turn is reported again in the next, exactly like a fresh poll would.
#include "server/poller.h"

#include <cstdio>
#include <cstdlib>
#include <sys/epoll.h>
#include <unistd.h>

namespace {

uint32_t mask(bool read, bool write)
{
    return (read ? uint32_t(EPOLLIN | EPOLLRDHUP) : 0u) | (write ? EPOLLOUT : 0u);
}

// Descriptors reported by one wait at most; the rest stay ready and come in
// the next (level-triggered).
constexpr int max_events = 1024;

}  // namespace

struct poller::backend {
    int fd = -1;
    epoll_event events[max_events];
};

poller::poller() : state(new backend)
{
    state->fd = epoll_create1(EPOLL_CLOEXEC);
    if (state->fd < 0) {
        perror("epoll_create1");
        abort();
    }
}

poller::~poller() { close(state->fd); }

bool poller::watch(int fd, bool read, bool write)
{
    epoll_event ev{};
    ev.events = mask(read, write);
    ev.data.fd = fd;
    return epoll_ctl(state->fd, EPOLL_CTL_ADD, fd, &ev) == 0;
}

void poller::modify(int fd, bool read, bool write)
{
    epoll_event ev{};
    ev.events = mask(read, write);
    ev.data.fd = fd;
    epoll_ctl(state->fd, EPOLL_CTL_MOD, fd, &ev);
}

void poller::forget(int fd, bool closing)
{
    // Closing the last descriptor of a socket removes it from the interest
    // list; the server never duplicates descriptors.
    if (closing)
        return;
    epoll_event ev{};
    epoll_ctl(state->fd, EPOLL_CTL_DEL, fd, &ev);
}

int poller::wait(int timeout_ms, void (*report)(void* context, int fd, uint8_t events), void* context)
{
    epoll_event* events = state->events;
    int n = epoll_wait(state->fd, events, max_events, timeout_ms);
    for (int i = 0; i < n; i++) {
        uint32_t e = events[i].events;
        uint8_t r = 0;
        if (e & (EPOLLIN | EPOLLHUP))
            r |= readable;
        if (e & EPOLLOUT)
            r |= writable;
        if (e & (EPOLLERR | EPOLLHUP))
            r |= error;
        if (e & EPOLLERR)
            r |= failed;
        if (e & EPOLLRDHUP)
            r |= peer_closed;
        report(context, events[i].data.fd, r);
    }
    return n;
}
