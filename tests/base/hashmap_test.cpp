#include "base/hashmap.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> keys_of(const base::hashmap<uint32_t>& m)
{
    std::vector<std::string> out;
    for (uint32_t i = 0; i < m.count; i++)
        out.push_back(*m.keys[i]);
    EXPECT_EQ(m.keys[m.count], nullptr);  // the key array stays terminated
    return out;
}

uint32_t constant_hash(const char*, uint32_t) { return 7; }

}  // namespace

TEST(zarlet_hash, known_values)
{
    EXPECT_EQ(base::zarlet_hash("abc", 3), 8173338u);
    EXPECT_EQ(base::zarlet_hash("a", 1), 4770u);
    EXPECT_EQ(base::zarlet_hash("", 0), 843u);
    EXPECT_EQ(base::zarlet_hash("ab", 2), 86435u);
    // Bytes are read unsigned, and a long key wraps around 32 bits many times.
    EXPECT_EQ(base::zarlet_hash("\xff\x80\xc3", 3), 20988024u);
    std::string longkey(1000, 'x');
    EXPECT_EQ(base::zarlet_hash(longkey.c_str(), 1000), 1624175941u);
}

TEST(hashmap, new_map_is_empty_and_unallocated)
{
    base::hashmap<uint32_t> m;
    EXPECT_EQ(m.get("x"), 0u);
    EXPECT_EQ(m.unset("x"), 0u);
    EXPECT_FALSE(m.contains(""));
    EXPECT_EQ(m.slots, nullptr);
    EXPECT_EQ(m.keys, nullptr);
    EXPECT_EQ(m.capacity, 0u);
    EXPECT_EQ(m.count, 0u);
}

TEST(hashmap, grows_before_searching)
{
    base::hashmap<uint32_t> m;
    m.set("a", 1);
    EXPECT_EQ(m.capacity, 3u);
    m.set("a", 2);  // already present, yet the table grows first
    EXPECT_EQ(m.capacity, 6u);
    EXPECT_EQ(m.count, 1u);
    EXPECT_EQ(m.get("a"), 2u);
    EXPECT_EQ(keys_of(m), std::vector<std::string>{"a"});

    base::hashmap<uint32_t> n;
    n.set("a", 1);
    n.set("b", 2);
    EXPECT_EQ(n.capacity, 6u);
    n.set("c", 3);
    EXPECT_EQ(n.capacity, 6u);
    n.set("d", 4);
    EXPECT_EQ(n.capacity, 12u);
    EXPECT_EQ(keys_of(n), (std::vector<std::string>{"a", "b", "c", "d"}));
}

TEST(hashmap, removal_keeps_order_and_lookups)
{
    base::hashmap<uint32_t> m;
    m.set("a", 1);
    m.set("b", 2);
    m.set("c", 3);
    EXPECT_EQ(m.unset("b"), 2u);
    EXPECT_EQ(keys_of(m), (std::vector<std::string>{"a", "c"}));
    EXPECT_EQ(m.get("a"), 1u);
    EXPECT_EQ(m.get("c"), 3u);
    EXPECT_FALSE(m.contains("b"));
    EXPECT_EQ(m.unset("b"), 0u);  // absent now
    EXPECT_EQ(m.count, 2u);

    m.set("d", 4);
    EXPECT_EQ(m.unset("a"), 1u);  // first
    EXPECT_EQ(m.unset("d"), 4u);  // last
    EXPECT_EQ(keys_of(m), std::vector<std::string>{"c"});
    EXPECT_EQ(m.get("c"), 3u);

    uint32_t cap = m.capacity;
    EXPECT_EQ(m.unset("c"), 3u);
    EXPECT_EQ(m.count, 0u);
    EXPECT_EQ(m.capacity, cap);  // never shrinks
    EXPECT_EQ(m.get("c"), 0u);
    m.set("c", 5);
    m.set("a", 6);
    EXPECT_EQ(keys_of(m), (std::vector<std::string>{"c", "a"}));
    EXPECT_EQ(m.get("c"), 5u);
    EXPECT_EQ(m.get("a"), 6u);
}

TEST(hashmap, keys_are_exact_bytes)
{
    base::hashmap<uint32_t> m;
    m.set("Example.com", 1);
    m.set("example.com", 2);
    m.set("", 3);
    m.set(std::string("a\0b", 3), 4);
    m.set("a", 5);
    EXPECT_EQ(m.count, 5u);
    EXPECT_EQ(m.get("Example.com"), 1u);
    EXPECT_EQ(m.get("example.com"), 2u);
    EXPECT_EQ(m.get(""), 3u);
    EXPECT_EQ(m.get(std::string("a\0b", 3)), 4u);
    EXPECT_EQ(m.get("a"), 5u);
    EXPECT_EQ(m.unset(""), 3u);
    EXPECT_FALSE(m.contains(""));
    EXPECT_EQ(m.get(std::string("a\0b", 3)), 4u);
}

TEST(hashmap, many_keys)
{
    const uint32_t n = 10000;
    base::hashmap<uint32_t> m;
    for (uint32_t i = 0; i < n; i++)
        m.set("host" + std::to_string(i) + ".example", i + 1);
    EXPECT_EQ(m.count, n);
    EXPECT_EQ(m.capacity, 24576u);  // 3 doubled 13 times
    for (uint32_t i = 0; i < n; i++)
        ASSERT_EQ(m.get("host" + std::to_string(i) + ".example"), i + 1) << i;

    for (uint32_t i = 0; i < n; i += 2)
        ASSERT_EQ(m.unset("host" + std::to_string(i) + ".example"), i + 1) << i;
    EXPECT_EQ(m.count, n / 2);
    for (uint32_t i = 0; i < n; i++) {
        uint32_t want = i % 2 ? i + 1 : 0;
        ASSERT_EQ(m.get("host" + std::to_string(i) + ".example"), want) << i;
    }
    for (uint32_t i = 0; i < n / 2; i++)
        ASSERT_EQ(*m.keys[i], "host" + std::to_string(2 * i + 1) + ".example");
    EXPECT_EQ(m.keys[n / 2], nullptr);
}

// With every key on the same home slot, lookups depend entirely on the probe
// chains, and each removal must leave the chain without a gap.
TEST(hashmap, colliding_hashes)
{
    base::hashmap<uint32_t> m;
    m.hash_function = constant_hash;
    const uint32_t n = 40;
    for (uint32_t i = 0; i < n; i++)
        m.set("k" + std::to_string(i), i + 1);
    m.set("k5", 100);
    EXPECT_EQ(m.count, n);
    for (uint32_t i = 0; i < n; i++)
        EXPECT_EQ(m.get("k" + std::to_string(i)), i == 5 ? 100u : i + 1);
    EXPECT_FALSE(m.contains("k40"));

    // Remove from the start, the middle and the end of the chain.
    for (uint32_t i : {0u, 17u, 18u, 39u, 5u})
        EXPECT_EQ(m.unset("k" + std::to_string(i)), i == 5 ? 100u : i + 1);
    EXPECT_EQ(m.count, n - 5);
    for (uint32_t i = 0; i < n; i++) {
        bool gone = i == 0 || i == 5 || i == 17 || i == 18 || i == 39;
        EXPECT_EQ(m.get("k" + std::to_string(i)), gone ? 0u : i + 1) << i;
    }
    m.set("k17", 7);
    EXPECT_EQ(m.get("k17"), 7u);
    EXPECT_EQ(*m.keys[m.count - 1], "k17");
}
