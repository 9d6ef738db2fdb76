// A FIFO of bytes, appended at the back and consumed from the front, kept in
// fixed-size blocks.
//
// Blocks never move once written, so a reader may send straight from the
// front block (front()) and a writer may receive straight into the back
// block (back_space(), then commit()): the bytes need not be copied in and
// out of a staging buffer. Consuming and appending cost O(n) in the bytes
// moved, whatever the size of the queue.
//
// A queue starts with a small block, which is all a short message needs, and
// goes on with large ones, so that a bulk transfer moves big pieces per
// system call. Emptied blocks go to small process-wide caches, one per size,
// and are reused, so a busy transfer does not fault fresh pages in for every
// block; an empty queue holds no block at all. Not thread-safe: queues and the
// caches belong to the event loop's thread.
#pragma once

#include <cstddef>
#include <string>

namespace base {

class byte_queue {
public:
    static constexpr size_t small_block = 16 * 1024;
    static constexpr size_t large_block = 256 * 1024;

    byte_queue() = default;
    byte_queue(const byte_queue&) = delete;
    byte_queue& operator=(const byte_queue&) = delete;
    ~byte_queue() { clear(); }

    size_t size() const { return total; }
    bool empty() const { return total == 0; }

    void append(const char* p, size_t n);
    void append(const std::string& s) { append(s.data(), s.size()); }

    // Puts n bytes in front of what the queue holds (a request to send
    // once more, ahead of what followed it).
    void prepend(const char* p, size_t n);

    // The contiguous bytes at the front (null and 0 when empty). They stay
    // valid and unchanged until they are consumed or the queue is cleared;
    // appending does not move them.
    const char* front(size_t* len) const;

    // Drops n bytes (at most size()) from the front.
    void consume(size_t n);

    // Free space at the back to write into, at least one byte; commit() then
    // adds the bytes written there. Appending in between is not allowed.
    char* back_space(size_t* len);
    void commit(size_t n);

    void clear();

private:
    struct block {
        block* next;
        size_t capacity;  // small_block or large_block
        size_t begin;     // first unread byte
        size_t end;       // one past the last written byte
        char* data() { return reinterpret_cast<char*>(this + 1); }
    };

    static block* get_block(size_t capacity);
    static void put_block(block* b);

    block* head = nullptr;
    block* tail = nullptr;
    size_t total = 0;
};

}  // namespace base
