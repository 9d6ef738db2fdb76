#include "base/linkedlist.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

using list = base::linkedlist<intptr_t>;
using v = std::vector<intptr_t>;

// The elements from head to tail; also checks that the chain ends at tail.
static v contents(const list& l)
{
    v out;
    const list::node* n = l.head;
    for (int32_t i = 0; i < l.count && n->next; i++) {
        n = n->next;
        out.push_back(n->value);
    }
    EXPECT_EQ(out.size(), size_t(l.count));
    EXPECT_EQ(n, l.tail);
    EXPECT_EQ(l.tail->next, nullptr);
    return out;
}

// The server walks its list and, from inside the walk, removes any element,
// adds new ones, and pops (stop() pops every connection). Each walk must visit
// every element still there exactly once and leave the chain intact.
TEST(linkedlist, changes_during_a_walk)
{
    using action = std::function<void(list&, intptr_t)>;
    auto remove = [](v gone) -> action {
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
        v seen, left;
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
        v seen;
        for (l.rewind(); l.has_current() && seen.size() < 100; l.advance()) {
            seen.push_back(l.current());
            cases[i].act(l, l.current());
        }
        EXPECT_EQ(seen, cases[i].seen);
        EXPECT_EQ(contents(l), cases[i].left);
    }
}
