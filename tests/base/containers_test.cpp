// The insertion-ordered hash map and the walkable linked list.
#include "base/hashmap.h"
#include "base/linkedlist.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

using ints = std::vector<intptr_t>;
using keys = std::vector<std::string>;

// The keys in insertion order.
static keys keys_of(const base::hashmap<uint32_t>& m)
{
    keys out;
    for (uint32_t i = 0; i < m.count; i++)
        out.push_back(m.key_at(i));
    return out;
}

// Keys are exact bytes (case, "", a zero byte); a repeated key keeps its
// place and takes the new value. Then all keys on one home slot near the end
// of the table, so that the chain wraps around: no removal (start, middle,
// end) may break it, and the survivors keep their order.
TEST(hashmap, exact_keys_and_removals_from_one_chain)
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

    base::hashmap<uint32_t> chain;
    chain.hash_function = [](const char*, uint32_t) -> uint32_t { return UINT32_MAX; };
    auto key = [](uint32_t i) { return std::string(1, 'k').append(std::to_string(i)); };
    for (uint32_t i = 0; i < 40; i++)
        chain.set(key(i), i + 1);
    chain.set("k5", 100);
    EXPECT_FALSE(chain.contains("k40"));
    const ints gone = {0, 17, 18, 39, 5};
    for (uint32_t i : gone)
        EXPECT_EQ(chain.unset(key(i)), i == 5 ? 100u : i + 1);
    keys left;
    for (uint32_t i = 0; i < 40; i++) {
        bool removed = std::count(gone.begin(), gone.end(), i);
        EXPECT_EQ(chain.get(key(i)), removed ? 0u : i + 1) << i;
        if (!removed)
            left.push_back(key(i));
    }
    chain.set("k17", 7);
    left.push_back("k17");
    EXPECT_EQ(keys_of(chain), left);
}

// The server walks its list and, from inside the walk, removes any element
// and adds new ones. Each walk must visit every element still there exactly
// once and leave the chain intact.
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
    struct row { intptr_t n; action act; ints seen, left; };
    row cases[] = {
        {4, remove({2, 3}), {1, 2, 3, 4}, {1, 4}},
        {4, remove({1, 4}), {1, 2, 3, 4}, {2, 3}},  // tail moves back
        // Elements added during the walk are reached, also after the last was removed.
        {2, [](list& l, intptr_t x) { if (x < 3) l.add(x + 10); }, {1, 2, 11, 12}, {1, 2, 11, 12}},
        {2, [](list& l, intptr_t x) { if (x == 2) { l.remove(); l.add(3); } }, {1, 2, 3}, {1, 3}},
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
