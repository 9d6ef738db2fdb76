// epoll backend: level-triggered, so a socket that is not fully drained in one
// turn is reported again in the next, exactly like a fresh poll would.
#include "server/poller.h"

#include <cstdio>
#include <cstdlib>
#include <sys/epoll.h>
#include <unistd.h>
#include <vector>

namespace poller {

namespace {

int epoll_fd()
{
    static int fd = -1;
    if (fd < 0) {
        fd = epoll_create1(EPOLL_CLOEXEC);
        if (fd < 0) {
            perror("epoll_create1");
            abort();
        }
    }
    return fd;
}

uint32_t mask(bool read, bool write)
{
    return (read ? uint32_t(EPOLLIN | EPOLLRDHUP) : 0u) | (write ? EPOLLOUT : 0u);
}

}  // namespace

bool watch(int fd, bool read, bool write)
{
    epoll_event ev{};
    ev.events = mask(read, write);
    ev.data.fd = fd;
    return epoll_ctl(epoll_fd(), EPOLL_CTL_ADD, fd, &ev) == 0;
}

void modify(int fd, bool read, bool write)
{
    epoll_event ev{};
    ev.events = mask(read, write);
    ev.data.fd = fd;
    epoll_ctl(epoll_fd(), EPOLL_CTL_MOD, fd, &ev);
}

void forget(int fd, bool closing)
{
    // Closing the last descriptor of a socket removes it from the interest
    // list; the server never duplicates descriptors.
    if (closing)
        return;
    epoll_event ev{};
    epoll_ctl(epoll_fd(), EPOLL_CTL_DEL, fd, &ev);
}

int wait(int timeout_ms, void (*report)(int fd, uint8_t events))
{
    // Descriptors reported by one wait at most; the rest stay ready and come
    // in the next (level-triggered).
    constexpr int max_events = 1024;
    static epoll_event events[max_events];
    int n = epoll_wait(epoll_fd(), events, max_events, timeout_ms);
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
        report(events[i].data.fd, r);
    }
    return n;
}

}  // namespace poller
