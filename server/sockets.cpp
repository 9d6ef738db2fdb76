#include "server/sockets.h"

#include "server/poller.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace sockets {

namespace {

// Per-descriptor state, indexed by descriptor number.
struct entry {
    bool open;          // registered with add()
    bool want_read;     // read interest asked for
    bool armed;         // watch for writing in the next poll
    bool kernel_read;   // interest the backend currently has
    bool kernel_write;
    uint8_t result;     // poller:: flags from the last poll
};

struct registry {
    std::vector<entry> table;
    std::vector<int> armed;     // fds armed since the last poll
    std::vector<int> writing;   // fds whose kernel interest includes writing
    std::vector<int> was_writing;  // scratch for select_all()
    std::vector<int> changed;   // fds whose read interest changed
    std::vector<int> reported;  // fds with a result from the last poll
    int num_ready = 0;
    int last_error = 0;
    bool at_once = false;
    int wait_limit = 0;  // ms the next poll may wait at most; 0: until an event

    entry* at(int fd)
    {
        if (fd < 0)
            return nullptr;
        if (table.size() <= size_t(fd))
            table.resize(size_t(fd) + 1 + table.size() / 2, entry{});
        return &table[fd];
    }
};

registry& reg()
{
    static registry* r = new registry;  // lives until the process ends
    return *r;
}

void record(int fd, uint8_t events)
{
    entry* e = reg().at(fd);
    if (!e->open)
        return;
    if (!e->result)
        reg().reported.push_back(fd);
    e->result |= events;
}

// Brings the kernel's interest for fd in line with what was asked for.
void apply(int fd)
{
    entry* e = reg().at(fd);
    if (!e->open)
        return;
    if (e->want_read == e->kernel_read && e->armed == e->kernel_write)
        return;
    e->kernel_read = e->want_read;
    e->kernel_write = e->armed;
    poller::modify(fd, e->kernel_read, e->kernel_write);
}

bool result(int fd, uint8_t flag)
{
    registry& r = reg();
    return fd >= 0 && size_t(fd) < r.table.size() && (r.table[fd].result & flag);
}

}  // namespace

bool add(int fd, bool armed)
{
    entry* e = reg().at(fd);
    if (!e || e->open)
        return false;
    if (!poller::watch(fd, true, armed))
        return false;
    *e = entry{true, true, armed, true, armed, 0};
    if (armed)
        reg().armed.push_back(fd);
    return true;
}

void remove(int fd, bool closing)
{
    entry* e = reg().at(fd);
    if (!e || !e->open)
        return;
    poller::forget(fd, closing);
    *e = entry{};
}

void arm(int fd)
{
    entry* e = reg().at(fd);
    if (!e || !e->open || e->armed)
        return;
    e->armed = true;
    reg().armed.push_back(fd);
}

void set_reading(int fd, bool on)
{
    entry* e = reg().at(fd);
    if (!e || !e->open || e->want_read == on)
        return;
    e->want_read = on;
    reg().changed.push_back(fd);
}

bool readable(int fd) { return result(fd, poller::readable); }
bool writable(int fd) { return result(fd, poller::writable); }
bool errors(int fd) { return result(fd, poller::error); }
bool failed(int fd) { return result(fd, poller::failed); }
bool peer_closed(int fd) { return result(fd, poller::peer_closed); }

int num_ready() { return reg().num_ready; }

const std::vector<int>& reported() { return reg().reported; }

void poll_at_once() { reg().at_once = true; }

void wait_at_most(int ms)
{
    int& limit = reg().wait_limit;
    if (ms < 1)
        ms = 1;
    if (limit == 0 || ms < limit)
        limit = ms;
}
int last_error() { return reg().last_error; }

void select_all()
{
    registry& r = reg();
    for (int fd : r.reported)
        r.table[fd].result = 0;
    r.reported.clear();

    // Write interest lasts one poll: whatever was armed last time and not
    // re-armed since loses it now. Only real changes reach the kernel.
    std::vector<int>& was_writing = r.was_writing;
    was_writing.clear();
    was_writing.swap(r.writing);
    for (int fd : r.armed) {
        apply(fd);
        if (r.table[fd].open)
            r.writing.push_back(fd);
    }
    for (int fd : was_writing)
        if (!r.table[fd].armed)
            apply(fd);
    for (int fd : r.changed)
        apply(fd);
    r.changed.clear();
    for (int fd : r.armed)
        r.table[fd].armed = false;
    r.armed.clear();

    int wait = r.wait_limit > 0 ? r.wait_limit : -1;
    r.num_ready = poller::wait(r.at_once ? 0 : wait, record);
    r.at_once = false;
    r.wait_limit = 0;
    if (r.num_ready < 0) {
        r.last_error = errno;
        if (r.last_error != EINTR)
            printf("select() failed! %d\n", r.last_error);
    }
}

}  // namespace sockets
