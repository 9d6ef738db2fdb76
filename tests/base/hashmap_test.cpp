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

// Lookups on an empty map, and keys as exact bytes (case, "", a zero byte):
// a repeated key keeps its place and takes the new value.
TEST(hashmap, exact_keys)
{
    base::hashmap<uint32_t> m;
    EXPECT_EQ(m.get("x"), 0u);
    EXPECT_EQ(m.unset("x"), 0u);
    const keys k = {"a", "a", "A", "", std::string("a\0b", 3)};
    for (uint32_t i = 0; i < k.size(); i++)
        m.set(k[i], i + 1);
    for (uint32_t i = 1; i < k.size(); i++)
        EXPECT_EQ(m.get(k[i]), i + 1) << i;
    EXPECT_EQ(keys_of(m), (keys{"a", "A", "", k[4]}));
}

// Removing every even key and the last, through many growths: lookups and
// the survivors' order.
TEST(hashmap, many_keys_and_removals)
{
    const uint32_t n = 2000;
    auto host = [](uint32_t i) { return "host" + std::to_string(i) + ".example"; };
    auto kept = [n](uint32_t i) { return i % 2 && i != n - 1; };
    base::hashmap<uint32_t> m;
    for (uint32_t i = 0; i < n; i++)
        m.set(host(i), i + 1);
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
