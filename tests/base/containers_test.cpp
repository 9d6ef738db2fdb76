// The array list, the insertion-ordered hash map and the walkable linked list.
#include "base/arraylist.h"
#include "base/hashmap.h"
#include "base/linkedlist.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

using ints = std::vector<intptr_t>;
using keys = std::vector<std::string>;

// A zero always behind the last element, through growth and removal;
// removal keeps the order; index_of() never finds the terminator.
TEST(arraylist, terminator_and_removal)
{
    base::arraylist<intptr_t> l;
    EXPECT_EQ(l.get(0), 0);
    for (intptr_t x = 1; x <= 9; x++) {
        l.add(x);
        EXPECT_EQ(l.data[l.size], 0);
    }
    EXPECT_EQ(l.get(9), 0);
    l.remove_last();
    for (uint32_t at : {0, 3, 5})
        l.remove_at(at);
    EXPECT_EQ(ints(l.data, l.data + l.size + 1), (ints{2, 3, 4, 6, 7, 0}));
    EXPECT_EQ(l.index_of(6), 3);
    EXPECT_EQ(l.index_of(0), -1);
    while (l.size)
        l.remove_at(0);
    l.remove_last();  // on an empty list: nothing
    EXPECT_EQ(l.data[0], 0);
}

// The keys in insertion order; also checks the null that ends the key array.
static keys keys_of(const base::hashmap<uint32_t>& m)
{
    keys out;
    for (uint32_t i = 0; i < m.count; i++)
        out.push_back(m.key_at(i));
    EXPECT_EQ(m.keys[m.count], nullptr);
    return out;
}

// Keys are exact bytes (case, "", a zero byte); a repeated key keeps its
// place and takes the new value. Then many keys through many growths, every
// even one and the last removed: lookups and the survivors' order.
TEST(hashmap, exact_keys_and_many_removals)
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

    const uint32_t n = 2000;
    auto host = [](uint32_t i) { return "host" + std::to_string(i) + ".example"; };
    auto kept = [n](uint32_t i) { return i % 2 && i != n - 1; };
    base::hashmap<uint32_t> big;
    for (uint32_t i = 0; i < n; i++)
        big.set(host(i), i + 1);
    keys want;
    for (uint32_t i = 0; i < n; i++)
        if (kept(i))
            want.push_back(host(i));
        else
            ASSERT_EQ(big.unset(host(i)), i + 1) << i;
    EXPECT_EQ(big.unset(host(0)), 0u);
    for (uint32_t i = 0; i < n; i++)
        ASSERT_EQ(big.get(host(i)), kept(i) ? i + 1 : 0) << i;
    EXPECT_EQ(keys_of(big), want);
}

// All keys on one home slot: no removal (start, middle, end) may break the chain.
TEST(hashmap, colliding_hashes)
{
    base::hashmap<uint32_t> m;
    m.hash_function = [](const char*, uint32_t) -> uint32_t { return 7; };
    auto k = [](uint32_t i) { return "k" + std::to_string(i); };
    for (uint32_t i = 0; i < 40; i++)
        m.set(k(i), i + 1);
    m.set("k5", 100);
    EXPECT_FALSE(m.contains("k40"));
    const ints gone = {0, 17, 18, 39, 5};
    for (uint32_t i : gone)
        EXPECT_EQ(m.unset(k(i)), i == 5 ? 100u : i + 1);
    for (uint32_t i = 0; i < 40; i++)
        EXPECT_EQ(m.get(k(i)), std::count(gone.begin(), gone.end(), i) ? 0u : i + 1) << i;
    m.set("k17", 7);
    EXPECT_EQ(m.get("k17"), 7u);
    EXPECT_EQ(keys_of(m).back(), "k17");
}

// The server walks its list and, from inside the walk, removes any element,
// adds new ones, and pops (stop() pops every connection). Each walk must visit
// every element still there exactly once and leave the chain intact.
TEST(linkedlist, changes_during_a_walk)
{
    using list = base::linkedlist<intptr_t>;
    using action = std::function<void(list&, intptr_t)>;
    auto remove = [](ints gone) -> action {
        return [gone](list& l, intptr_t x) {
            if (std::count(gone.begin(), gone.end(), x))
                l.remove();
        };
    };
    auto pop_all = [](list& l) {
        while (l.pop()) {  // 0 once empty
        }
    };
    struct {
        intptr_t n;
        action act;
        ints seen, left;
    } cases[] = {
        {4, remove({2, 3}), {1, 2, 3, 4}, {1, 4}},
        {4, remove({1, 4}), {1, 2, 3, 4}, {2, 3}},  // tail moves back
        {5, remove({1, 2, 3, 4, 5}), {1, 2, 3, 4, 5}, {}},
        // Elements added during the walk are reached, also after the last was removed.
        {2, [](list& l, intptr_t x) { if (x < 3) l.add(x + 10); }, {1, 2, 11, 12}, {1, 2, 11, 12}},
        {2, [](list& l, intptr_t x) { if (x == 2) { l.remove(); l.add(3); } }, {1, 2, 3}, {1, 3}},
        // Popping the node the cursor is on, and the resume point remove() left.
        {3, [](list& l, intptr_t x) { if (x == 2) { EXPECT_EQ(l.pop(), 1); } }, {1, 2, 3}, {2, 3}},
        {3, [](list& l, intptr_t x) { if (x == 2) { l.remove(); EXPECT_EQ(l.pop(), 1); } }, {1, 2, 3}, {3}},
        // Stopping inside the walk: the current element removed, the rest popped.
        {4, [&](list& l, intptr_t x) { if (x == 3) { l.remove(); pop_all(l); } }, {1, 2, 3}, {}},
        {2, [&](list& l, intptr_t x) { if (x == 2) pop_all(l); }, {1, 2}, {}},
    };
    for (size_t i = 0; i < std::size(cases); i++) {
        SCOPED_TRACE(i);
        list l;
        for (intptr_t x = 1; x <= cases[i].n; x++)
            l.add(x);
        ints seen, left;
        for (l.rewind(); l.has_current() && seen.size() < 100; l.advance()) {
            seen.push_back(l.current());
            cases[i].act(l, l.current());
        }
        EXPECT_EQ(seen, cases[i].seen);
        const list::node* n = l.head;  // the chain from head must end at tail, count long
        for (int32_t j = 0; j < l.count && n->next; j++)
            left.push_back((n = n->next)->value);
        EXPECT_EQ(left, cases[i].left);
        EXPECT_EQ(left.size(), size_t(l.count));
        EXPECT_EQ(n, l.tail);
        EXPECT_EQ(l.tail->next, nullptr);
    }
}
