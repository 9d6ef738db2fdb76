#include "base/hashmap.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using keys = std::vector<std::string>;

// The keys in insertion order; also checks the null that ends the key array.
static keys keys_of(const base::hashmap<uint32_t>& m)
{
    keys out;
    for (uint32_t i = 0; i < m.count; i++)
        out.push_back(*m.keys[i]);
    EXPECT_EQ(m.keys[m.count], nullptr);
    return out;
}

// Pins the hash: bytes read unsigned, a long key wrapping 32 bits many times.
TEST(zarlet_hash, known_values)
{
    EXPECT_EQ(base::zarlet_hash("", 0), 843u);
    EXPECT_EQ(base::zarlet_hash("a", 1), 4770u);
    EXPECT_EQ(base::zarlet_hash("abc", 3), 8173338u);
    EXPECT_EQ(base::zarlet_hash("\xff\x80\xc3", 3), 20988024u);
    EXPECT_EQ(base::zarlet_hash(std::string(1000, 'x').c_str(), 1000), 1624175941u);
}

// Growth (3 slots, doubling before half full, also when the key is present),
// lookups on an empty map, and keys as exact bytes (case, "", a zero byte).
TEST(hashmap, growth_sequence_and_exact_keys)
{
    base::hashmap<uint32_t> m;
    EXPECT_EQ(m.get("x"), 0u);
    EXPECT_EQ(m.unset("x"), 0u);
    const keys k = {"a", "a", "A", "", std::string("a\0b", 3)};
    std::vector<uint32_t> capacities;
    for (uint32_t i = 0; i < k.size(); i++) {
        m.set(k[i], i + 1);
        capacities.push_back(m.capacity);
    }
    EXPECT_EQ(capacities, (std::vector<uint32_t>{3, 6, 6, 6, 12}));
    for (uint32_t i = 1; i < k.size(); i++)
        EXPECT_EQ(m.get(k[i]), i + 1) << i;
    EXPECT_EQ(keys_of(m), (keys{"a", "A", "", k[4]}));
}

// Removing every even key and the last: lookups, the survivors' order, and
// a capacity that never shrinks.
TEST(hashmap, many_keys_and_removals)
{
    const uint32_t n = 10000;
    auto host = [](uint32_t i) { return "host" + std::to_string(i) + ".example"; };
    auto kept = [n](uint32_t i) { return i % 2 && i != n - 1; };
    base::hashmap<uint32_t> m;
    for (uint32_t i = 0; i < n; i++)
        m.set(host(i), i + 1);
    EXPECT_EQ(m.capacity, 24576u);  // 3 doubled 13 times
    keys want;
    for (uint32_t i = 0; i < n; i++)
        if (kept(i))
            want.push_back(host(i));
        else
            ASSERT_EQ(m.unset(host(i)), i + 1) << i;
    EXPECT_EQ(m.unset(host(0)), 0u);
    for (uint32_t i = 0; i < n; i++)
        ASSERT_EQ(m.get(host(i)), kept(i) ? i + 1 : 0) << i;
    EXPECT_EQ(keys_of(m), want);
    EXPECT_EQ(m.capacity, 24576u);
}

// All keys on one home slot: no removal (start, middle, end) may break the chain.
TEST(hashmap, colliding_hashes)
{
    base::hashmap<uint32_t> m;
    m.hash_function = [](const char*, uint32_t) -> uint32_t { return 7; };
    auto k = [](uint32_t i) { return "k" + std::to_string(i); };
    auto gone = [](uint32_t i) { return i == 0 || i == 5 || i == 17 || i == 18 || i == 39; };
    for (uint32_t i = 0; i < 40; i++)
        m.set(k(i), i + 1);
    m.set("k5", 100);
    EXPECT_FALSE(m.contains("k40"));
    for (uint32_t i : {0u, 17u, 18u, 39u, 5u})
        EXPECT_EQ(m.unset(k(i)), i == 5 ? 100u : i + 1);
    for (uint32_t i = 0; i < 40; i++)
        EXPECT_EQ(m.get(k(i)), gone(i) ? 0u : i + 1) << i;
    m.set("k17", 7);
    EXPECT_EQ(m.get("k17"), 7u);
    EXPECT_EQ(keys_of(m).back(), "k17");
}
