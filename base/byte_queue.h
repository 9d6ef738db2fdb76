// A FIFO of bytes: appended at the back, consumed from the front.
//
// Consuming advances an offset instead of moving the rest of the bytes, and
// the consumed prefix is dropped only once it is at least half of the
// storage, so moving n bytes through the queue costs O(n) whatever its size.
// Storage that has grown large is given back once the queue runs empty, so an
// idle queue costs almost nothing.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>

namespace base {

class byte_queue {
public:
    size_t size() const { return bytes.size() - head; }
    bool empty() const { return head == bytes.size(); }

    // The queued bytes, oldest first (valid until the next change).
    const char* data() const { return bytes.data() + head; }

    void append(const char* p, size_t n) { bytes.append(p, n); }
    void append(const std::string& s) { bytes.append(s); }

    // Moves up to cap bytes from the front into out; returns how many.
    size_t take(char* out, size_t cap)
    {
        size_t n = size() < cap ? size() : cap;
        memcpy(out, data(), n);
        consume(n);
        return n;
    }

    // Drops n bytes (at most size()) from the front.
    void consume(size_t n)
    {
        head += n;
        if (head == bytes.size())
            clear();
        else if (head >= bytes.size() / 2 && head >= 65536) {
            bytes.erase(0, head);
            head = 0;
        }
    }

    void clear()
    {
        head = 0;
        if (bytes.capacity() > 65536)
            std::string().swap(bytes);
        else
            bytes.clear();
    }

private:
    std::string bytes;
    size_t head = 0;  // bytes before this offset are consumed
};

}  // namespace base
