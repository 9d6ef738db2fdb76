// The kernel side of the socket registry: one small backend per polling
// interface, chosen at build time (poller_epoll.cpp or poller_poll.cpp). The
// registry (sockets.h) decides what to watch; a backend only applies
// interest changes and waits. Each registry has a poller of its own.
#pragma once

#include <cstdint>
#include <memory>

class poller {
public:
    // error: a hang-up or a failure; failed: a failure only (an error is
    // pending on the socket, such as a reset); peer_closed: the peer has shut
    // down its sending side (every byte it sent is already readable).
    enum : uint8_t { readable = 1, writable = 2, error = 4, failed = 8, peer_closed = 16 };

    // A poller of its own (an epoll instance, or a poll(2) list); the
    // process ends if the kernel refuses one.
    poller();
    ~poller();
    poller(const poller&) = delete;
    poller& operator=(const poller&) = delete;

    // Starts watching fd with the given interest; false if the kernel refuses.
    bool watch(int fd, bool read, bool write);

    // Changes the interest of a watched fd.
    void modify(int fd, bool read, bool write);

    // Stops watching fd. closing: the caller closes fd right after.
    void forget(int fd, bool closing);

    // Waits up to timeout_ms and calls report(context, fd, events) for every
    // ready fd, events being a mask of the values above. Returns the number of
    // ready fds, or -1 with errno set.
    int wait(int timeout_ms, void (*report)(void* context, int fd, uint8_t events), void* context);

private:
    struct backend;  // each backend's own state
    std::unique_ptr<backend> state;
};
