// A bounded stack of freed memory blocks of one size, kept for reuse so that
// objects that come and go all the time (connections, queue blocks) do not
// map and fault in fresh memory each time. The blocks are linked through
// their first word; the list owns none of them until it is given one, and
// hands each back at most once. Not thread-safe.
#pragma once

namespace base {

class free_list {
public:
    explicit constexpr free_list(int limit) : limit(limit) {}

    // A kept block, or null when there is none.
    void* take()
    {
        void* block = first;
        if (block) {
            first = *static_cast<void**>(block);
            count--;
        }
        return block;
    }

    // Keeps block for reuse; false when the list is full (the caller frees
    // it then).
    bool keep(void* block)
    {
        if (count >= limit)
            return false;
        *static_cast<void**>(block) = first;
        first = block;
        count++;
        return true;
    }

private:
    void* first = nullptr;
    int count = 0;
    int limit;
};

}  // namespace base
