#include "server/sockets.h"

#include <cerrno>
#include <cstdio>

sockets::entry* sockets::at(int fd)
{
    if (fd < 0)
        return nullptr;
    if (table.size() <= size_t(fd))
        table.resize(size_t(fd) + 1 + table.size() / 2, entry{});
    return &table[fd];
}

void sockets::record(void* self, int fd, uint8_t events)
{
    auto* s = static_cast<sockets*>(self);
    entry* e = s->at(fd);
    if (!e->open)
        return;
    if (!e->result)
        s->ready.push_back(fd);
    e->result |= events;
}

void sockets::apply(int fd)
{
    entry* e = at(fd);
    if (!e->open)
        return;
    if (e->want_read == e->kernel_read && e->armed == e->kernel_write)
        return;
    e->kernel_read = e->want_read;
    e->kernel_write = e->armed;
    kernel.modify(fd, e->kernel_read, e->kernel_write);
}

bool sockets::add(int fd, bool armed_now)
{
    entry* e = at(fd);
    if (!e || e->open)
        return false;
    if (!kernel.watch(fd, true, armed_now))
        return false;
    *e = entry{true, true, armed_now, true, armed_now, 0};
    if (armed_now)
        armed.push_back(fd);
    return true;
}

void sockets::remove(int fd, bool closing)
{
    entry* e = at(fd);
    if (!e || !e->open)
        return;
    kernel.forget(fd, closing);
    *e = entry{};
}

void sockets::arm(int fd)
{
    entry* e = at(fd);
    if (!e || !e->open || e->armed)
        return;
    e->armed = true;
    armed.push_back(fd);
}

void sockets::set_reading(int fd, bool on)
{
    entry* e = at(fd);
    if (!e || !e->open || e->want_read == on)
        return;
    e->want_read = on;
    changed.push_back(fd);
}

void sockets::wait_at_most(int ms)
{
    if (ms < 1)
        ms = 1;
    if (wait_limit == 0 || ms < wait_limit)
        wait_limit = ms;
}

void sockets::select_all()
{
    for (int fd : ready)
        table[fd].result = 0;
    ready.clear();

    // Write interest lasts one poll: whatever was armed last time and not
    // re-armed since loses it now. Only real changes reach the kernel.
    was_writing.clear();
    was_writing.swap(writing);
    for (int fd : armed) {
        apply(fd);
        if (table[fd].open)
            writing.push_back(fd);
    }
    for (int fd : was_writing)
        if (!table[fd].armed)
            apply(fd);
    for (int fd : changed)
        apply(fd);
    changed.clear();
    for (int fd : armed)
        table[fd].armed = false;
    armed.clear();

    int wait = wait_limit > 0 ? wait_limit : -1;
    ready_count = kernel.wait(at_once ? 0 : wait, record, this);
    at_once = false;
    wait_limit = 0;
    if (ready_count < 0) {
        error = errno;
        if (error != EINTR)
            printf("select() failed! %d\n", error);
    }
}
