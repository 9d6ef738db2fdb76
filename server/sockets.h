// The registry of a server's open sockets and its one readiness poll per
// turn of the run loop. Owned by the server, which hands it to its parts;
// each server has its own, with a poller of its own.
//
// Every registered socket is watched for reading and for errors; a socket is
// watched for writing only in the poll that follows an arm() call, so the
// server re-arms the sockets that still have bytes to send after every poll.
// The poll waits until something is reported, or as long as the turn
// before allowed (wait_at_most(): the next timer, the next report), or not
// at all (poll_at_once()); with neither, until an event or a signal.
// There is no descriptor ceiling: the registry grows with the highest
// descriptor it is given.
//
// The poll's results describe the last poll until the next one; the server
// reads them during the turn and never polls itself. The kernel side
// lives behind the small interface of poller.h (epoll by default, poll(2) as
// the alternative), chosen when the program is built.
#pragma once

#include "server/poller.h"

#include <cstddef>
#include <cstdint>
#include <vector>

class sockets {
public:
    sockets() = default;
    sockets(const sockets&) = delete;
    sockets& operator=(const sockets&) = delete;

    // Starts watching fd for reading and errors, and with armed true also for
    // writing in the next poll (as arm() would). False if the kernel refuses to
    // watch it; the caller then must not use the socket.
    bool add(int fd, bool armed = false);

    // Stops watching fd; call before closing it. Results for it are cleared.
    // With closing true the caller closes fd right after, which takes it out of
    // the kernel's interest list by itself, so no system call is spent on that.
    void remove(int fd, bool closing = false);

    // Watches fd for writing in the next poll only.
    void arm(int fd);

    // Turns read interest on or off (back-pressure, or a peer that has finished
    // sending). Errors are reported either way.
    void set_reading(int fd, bool on);

    // Results of the last poll. A hang-up is reported as readable too, so that the
    // bytes that arrived before it are read before the end is noticed.
    bool readable(int fd) const { return result(fd, poller::readable); }
    bool writable(int fd) const { return result(fd, poller::writable); }
    bool errors(int fd) const { return result(fd, poller::error); }
    // Of those errors, a failure (a reset, an error pending on the socket) rather
    // than only a hang-up.
    bool failed(int fd) const { return result(fd, poller::failed); }
    // The peer had shut down its sending side when the poll looked: once what is
    // readable has been read, the stream has ended.
    bool peer_closed(int fd) const { return result(fd, poller::peer_closed); }

    // Result of the last poll: the number of ready descriptors, 0 on time-out,
    // negative on failure (errno then is in last_error()).
    int num_ready() const { return ready_count; }
    int last_error() const { return error; }

    // Descriptors with a result from the last poll.
    const std::vector<int>& reported() const { return ready; }

    // Makes the next poll return at once, with whatever is ready: there is work
    // that does not wait for an event.
    void poll_at_once() { at_once = true; }

    // Makes the next poll wait at most ms (at least 1) for events: a timer is
    // due then. The shortest of the turn's limits holds.
    void wait_at_most(int ms);

    // One poll: waits as wait_at_most() and poll_at_once() said since the last
    // one (without either: until an event). An interrupted wait (a signal)
    // returns silently; any other failure prints "select() failed! %d\n" with
    // errno. The line names select() whatever the backend: it is the program's
    // log line for a failed poll, which readers of the log already know and
    // match, so it stays the same when the backend changes.
    void select_all();

private:
    // Per-descriptor state, indexed by descriptor number.
    struct entry {
        bool open;         // registered with add()
        bool want_read;    // read interest asked for
        bool armed;        // watch for writing in the next poll
        bool kernel_read;  // interest the backend currently has
        bool kernel_write;
        uint8_t result;  // poller:: flags from the last poll
    };

    entry* at(int fd);
    static void record(void* self, int fd, uint8_t events);
    // Brings the kernel's interest for fd in line with what was asked for.
    void apply(int fd);
    bool result(int fd, uint8_t flag) const
    {
        return fd >= 0 && size_t(fd) < table.size() && (table[fd].result & flag);
    }

    poller kernel;
    std::vector<entry> table;
    std::vector<int> armed;        // fds armed since the last poll
    std::vector<int> writing;      // fds whose kernel interest includes writing
    std::vector<int> was_writing;  // scratch for select_all()
    std::vector<int> changed;      // fds whose read interest changed
    std::vector<int> ready;        // fds with a result from the last poll
    int ready_count = 0;
    int error = 0;
    bool at_once = false;
    int wait_limit = 0;  // ms the next poll may wait at most; 0: until an event
};
