// String-keyed map with open addressing and linear probing that also keeps
// its keys in insertion order.
//
// Ownership: the map owns its key strings; it stores values by copy and never
// destroys them (values are small: a bool or a pointer the owner manages).
//
// Invariants: count < capacity whenever capacity > 0 (the table is grown
// before it is half full), each live key sits in exactly one slot and once in
// `keys`, and no slot on the probe path from a key's home slot to its slot is
// empty. The last invariant is why `unset` rebuilds the table instead of
// leaving a hole: linear probing without tombstones.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>

namespace base {

// The library's string hash. Reads text[0] even when length is 0, so callers
// pass a zero-terminated string (std::string::c_str() always is).
uint32_t zarlet_hash(const char* text, uint32_t length);

template <typename T>
class hashmap {
    static_assert(std::is_trivially_copyable_v<T>, "values are stored by plain copy");

public:
    using hash_fn = uint32_t (*)(const char*, uint32_t);

    struct slot {
        uint32_t hash;
        std::string* key;  // null marks an empty slot
        T value;
    };

    slot* slots = nullptr;         // `capacity` slots, zeroed
    std::string** keys = nullptr;  // insertion order; keys[count] is null
    uint32_t count = 0;
    uint32_t capacity = 0;
    hash_fn hash_function = zarlet_hash;

    hashmap() { reserve(0); }
    hashmap(const hashmap&) = delete;
    hashmap& operator=(const hashmap&) = delete;

    ~hashmap()
    {
        for (uint32_t i = 0; i < count; i++)
            delete keys[i];
        free(slots);
        free(keys);
    }

    uint32_t size() const { return count; }

    // Exchanges the whole contents (a list built aside is put in force at
    // once, without copying it).
    void swap(hashmap& other)
    {
        std::swap(slots, other.slots);
        std::swap(keys, other.keys);
        std::swap(count, other.count);
        std::swap(capacity, other.capacity);
        std::swap(hash_function, other.hash_function);
    }

    // The i-th key in insertion order; i must be below size().
    const std::string& key_at(uint32_t i) const { return *keys[i]; }

    // Grows the table to n slots if it has fewer; never shrinks. Stored hashes
    // are reused, so no key is hashed again.
    void reserve(uint32_t n)
    {
        if (capacity >= n)
            return;
        slot* old = slots;
        uint32_t old_capacity = capacity;
        capacity = n;
        slots = static_cast<slot*>(calloc(n, sizeof(slot)));
        keys = static_cast<std::string**>(realloc(keys, sizeof(std::string*) * n));
        if (!slots || !keys)
            abort();
        if (old_capacity == 0)
            keys[0] = nullptr;
        for (uint32_t i = 0; i < old_capacity; i++)
            if (old[i].key)
                place(old[i]);
        free(old);
    }

    // Stores value under key, adding the key if it is new. The table grows
    // before the search, also when the key turns out to be present.
    void set(const std::string& key, T value)
    {
        if (capacity == 0)
            reserve(3);
        else if (count >= capacity / 2) {
            if (capacity > UINT32_MAX / 2)
                abort();  // 2^31 slots: memory ran out long before
            reserve(capacity * 2);
        }
        uint32_t h = hash_of(key);
        int64_t i = search(h, key);
        if (i < 0) {
            puts("Error! Out of space!");
            fflush(stdout);
            return;
        }
        slot& s = slots[i];
        if (s.key) {
            s.value = value;
            return;
        }
        s.hash = h;
        s.key = new std::string(key);
        s.value = value;
        keys[count++] = s.key;
        keys[count] = nullptr;
    }

    // The value stored under key, or a zero value when the key is absent.
    T get(const std::string& key) const
    {
        int64_t i = find(key);
        return i < 0 ? T{} : slots[i].value;
    }

    bool contains(const std::string& key) const { return find(key) >= 0; }

    // Removes key and returns its value (a zero value when absent). Costs a
    // rebuild of the whole table: linear probing without deletion marks.
    T unset(const std::string& key)
    {
        int64_t i = find(key);
        if (i < 0)
            return T{};
        std::string* k = slots[i].key;
        T value = slots[i].value;
        uint32_t at = 0;
        while (keys[at] != k)
            at++;
        memmove(keys + at, keys + at + 1, sizeof(std::string*) * (count - at - 1));
        count--;
        keys[count] = nullptr;
        delete k;
        slots[i].key = nullptr;

        slot* old = slots;
        slots = static_cast<slot*>(calloc(capacity, sizeof(slot)));
        if (!slots)
            abort();
        for (uint32_t j = 0; j < capacity; j++)
            if (old[j].key)
                place(old[j]);
        free(old);
        return value;
    }

private:
    uint32_t hash_of(const std::string& key) const
    {
        return hash_function(key.c_str(), static_cast<uint32_t>(key.size()));
    }

    // Index of the slot holding key, or -1.
    int64_t find(const std::string& key) const
    {
        if (count == 0)
            return -1;
        int64_t i = search(hash_of(key), key);
        return i >= 0 && slots[i].key ? i : -1;
    }

    // Probes from the home slot: the index of the slot holding key, or of the
    // first empty slot on the way; -1 after a full round without either.
    int64_t search(uint32_t hash, const std::string& key) const
    {
        uint32_t home = hash % capacity;
        uint32_t i = home;
        do {
            const slot& s = slots[i];
            if (!s.key)
                return i;
            if (s.hash == hash && *s.key == key)
                return i;
            i = (i + 1) % capacity;
        } while (i != home);
        return -1;
    }

    // Moves an occupied slot into the current table (no key comparison is
    // needed: keys are unique).
    void place(const slot& s)
    {
        uint32_t i = s.hash % capacity;
        while (slots[i].key)
            i = (i + 1) % capacity;
        slots[i] = s;
    }
};

}  // namespace base
