#include "server/timer_heap.h"

#include "server/connection.h"

int64_t timer_heap::moment(const connection* c) { return c->timer_at; }

void timer_heap::place(size_t at, connection* c)
{
    heap[at] = c;
    c->timer_slot = int32_t(at);
}

void timer_heap::up(size_t at)
{
    connection* c = heap[at];
    while (at > 0) {
        size_t parent = (at - 1) / 2;
        if (moment(heap[parent]) <= moment(c))
            break;
        place(at, heap[parent]);
        at = parent;
    }
    place(at, c);
}

void timer_heap::down(size_t at)
{
    connection* c = heap[at];
    for (;;) {
        size_t child = 2 * at + 1;
        if (child >= heap.size())
            break;
        if (child + 1 < heap.size() && moment(heap[child + 1]) < moment(heap[child]))
            child++;
        if (moment(heap[child]) >= moment(c))
            break;
        place(at, heap[child]);
        at = child;
    }
    place(at, c);
}

void timer_heap::take(size_t at)
{
    connection* gone = heap[at];
    connection* last = heap.back();
    heap.pop_back();
    gone->timer_slot = -1;
    if (gone == last)
        return;
    place(at, last);
    down(at);
    up(size_t(last->timer_slot));
}

void timer_heap::arm(connection* c, int64_t when)
{
    if (c->timer_slot >= 0 && c->timer_at == when)
        return;
    if (c->timer_slot >= 0)
        take(size_t(c->timer_slot));
    c->timer_at = when;
    if (when == never)
        return;
    heap.push_back(c);
    c->timer_slot = int32_t(heap.size() - 1);
    up(heap.size() - 1);
}

connection* timer_heap::due(int64_t now)
{
    if (heap.empty() || moment(heap[0]) > now)
        return nullptr;
    connection* c = heap[0];
    take(0);
    c->timer_at = never;
    return c;
}
