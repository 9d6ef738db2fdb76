#include "base/byte_queue.h"

#include "base/free_list.h"
#include "base/sanitizer.h"

#include <cstdlib>
#include <cstring>

namespace base {

namespace {

// Blocks kept for reuse, per size: enough for a few dozen busy transfers,
// bounded so that an idle process gives memory back.
free_list& cache(size_t capacity)
{
    static free_list small(address_sanitizer ? 0 : 256);
    static free_list large(address_sanitizer ? 0 : 32);
    return capacity == byte_queue::small_block ? small : large;
}

}  // namespace

byte_queue::block* byte_queue::get_block(size_t capacity)
{
    void* raw = cache(capacity).take();
    if (!raw) {
        raw = malloc(sizeof(block) + capacity);
        if (!raw)
            abort();
    }
    block* b = static_cast<block*>(raw);
    b->next = nullptr;
    b->capacity = capacity;
    b->begin = b->end = 0;
    return b;
}

void byte_queue::put_block(block* b)
{
    if (!cache(b->capacity).keep(b))
        free(b);
}

void byte_queue::append(const char* p, size_t n)
{
    while (n > 0) {
        size_t room;
        char* at = back_space(&room);
        size_t k = n < room ? n : room;
        memcpy(at, p, k);
        commit(k);
        p += k;
        n -= k;
    }
}

void byte_queue::prepend(const char* p, size_t n)
{
    // Fresh blocks, filled from their ends, linked in front of the head:
    // the bytes already queued stay where they are.
    while (n > 0) {
        block* b = get_block(n > small_block ? large_block : small_block);
        size_t k = n < b->capacity ? n : b->capacity;
        b->begin = b->capacity - k;
        b->end = b->capacity;
        memcpy(b->data() + b->begin, p + n - k, k);
        b->next = head;
        head = b;
        if (!tail)
            tail = b;
        total += k;
        n -= k;
    }
}

const char* byte_queue::front(size_t* len) const
{
    if (!head) {
        *len = 0;
        return nullptr;
    }
    *len = head->end - head->begin;
    return head->data() + head->begin;
}

void byte_queue::consume(size_t n)
{
    total -= n;
    while (n > 0) {
        size_t here = head->end - head->begin;
        if (n < here) {
            head->begin += n;
            return;
        }
        n -= here;
        block* done = head;
        head = head->next;
        put_block(done);
    }
    if (!head)
        tail = nullptr;
}

char* byte_queue::back_space(size_t* len)
{
    if (!tail || tail->end == tail->capacity) {
        block* b = get_block(tail ? large_block : small_block);
        if (tail)
            tail->next = b;
        else
            head = b;
        tail = b;
    }
    *len = tail->capacity - tail->end;
    return tail->data() + tail->end;
}

void byte_queue::commit(size_t n)
{
    tail->end += n;
    total += n;
}

void byte_queue::clear()
{
    while (head) {
        block* next = head->next;
        put_block(head);
        head = next;
    }
    tail = nullptr;
    total = 0;
}

}  // namespace base
