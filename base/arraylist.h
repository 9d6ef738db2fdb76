// Growable array that is always terminated by a zero element, so it can be
// walked either by size or up to the terminator.
//
// Ownership: the list owns its storage, never what its elements point to.
// Elements are moved with realloc and plain copies, hence trivially copyable.
// Capacities run 0, 2, 4, 8, ...; storage holds capacity + 1 elements and
// never shrinks.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace base {

template <typename T>
class arraylist {
    static_assert(std::is_trivially_copyable_v<T>, "elements are moved with realloc");

public:
    T* data = nullptr;
    uint32_t size = 0;
    uint32_t capacity = 0;

    arraylist() = default;
    arraylist(const arraylist&) = delete;
    arraylist& operator=(const arraylist&) = delete;
    ~arraylist() { free(data); }

    void add(T value)
    {
        if (capacity == 0)
            grow(2);
        else if (size >= capacity) {
            if (capacity > UINT32_MAX / 4)
                abort();
            grow(capacity * 2);
        }
        data[size++] = value;
        data[size] = T{};
    }

    // Makes room for n elements at once (used when the final size is known).
    void reserve(uint32_t n)
    {
        if (n > capacity)
            grow(n);
    }

    // The element at index, or a zero value when index is not below size.
    T get(uint32_t index) const { return index < size ? data[index] : T{}; }

    void remove_last()
    {
        if (size > 0)
            data[--size] = T{};
    }

    // Removes the element at index (which must be below size), keeping order.
    void remove_at(uint32_t index)
    {
        memmove(static_cast<void*>(data + index), data + index + 1, sizeof(T) * (size - index - 1));
        data[--size] = T{};
    }

    // Index of the first element equal to value, or -1.
    int64_t index_of(T value) const
    {
        for (uint32_t i = 0; i < size; i++)
            if (data[i] == value)
                return i;
        return -1;
    }

private:
    void grow(uint32_t n)
    {
        T* p = static_cast<T*>(realloc(static_cast<void*>(data), sizeof(T) * (size_t(n) + 1)));
        if (!p)
            abort();
        data = p;
        capacity = n;
        if (size == 0)
            data[0] = T{};
    }
};

}  // namespace base
