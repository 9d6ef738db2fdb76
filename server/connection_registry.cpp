#include "server/connection_registry.h"

#include "server/sockets.h"

#include <unistd.h>

void connection_registry::enlist(connection* c)
{
    c->list_node = list.add(c);
    live_count++;
    index(c);
    c->wake_list = &woken;
    if (c->awake)
        woken.push_back(c);  // woken before it was the server's
    else
        c->wake();
}

void connection_registry::watch(connection* c, bool writable)
{
    if (!polled.add(c->socket, writable))
        c->life = connection::lifecycle::broken;
}

void connection_registry::replace_socket(connection* c, int fd)
{
    close_socket(c);
    c->socket = fd;
    index(c);
}

void connection_registry::remove(connection* c)
{
    if (list.has_current() && list.current() == c)
        list.remove();
    else {
        c->list_node->value = nullptr;
        vacated++;
    }
    close_socket(c);
    live_count--;
}

void connection_registry::compact()
{
    if (vacated <= live_count || vacated <= 64)
        return;
    for (list.rewind(); list.has_current(); list.advance())
        if (!list.current())
            list.remove();
    vacated = 0;
}

void connection_registry::index(connection* c)
{
    if (c->socket < 0)
        return;
    if (by_fd.size() <= size_t(c->socket))
        by_fd.resize(size_t(c->socket) + 1 + by_fd.size() / 2, nullptr);
    by_fd[size_t(c->socket)] = c;
}

void connection_registry::close_socket(connection* c)
{
    if (c->socket < 0)
        return;
    polled.remove(c->socket, true);
    close(c->socket);
    if (size_t(c->socket) < by_fd.size() && by_fd[size_t(c->socket)] == c)
        by_fd[size_t(c->socket)] = nullptr;
}
