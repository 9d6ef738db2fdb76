#include "base/linkedlist.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

namespace {

using list = base::linkedlist<intptr_t>;

void fill(list& l, std::initializer_list<intptr_t> values)
{
    for (intptr_t v : values)
        l.add(v);
}

// The elements from head to tail; also checks that tail is where the chain
// ends after count steps.
std::vector<intptr_t> contents(const list& l)
{
    std::vector<intptr_t> out;
    const list::node* n = l.head;
    for (int32_t i = 0; i < l.count; i++) {
        n = n->next;
        if (!n) {
            ADD_FAILURE() << "chain shorter than count";
            return out;
        }
        out.push_back(n->value);
    }
    EXPECT_EQ(n, l.tail);
    EXPECT_EQ(l.tail->next, nullptr);
    return out;
}

// The server's walk: every element is offered to fn, which may change the
// list; returns the elements visited.
std::vector<intptr_t> walk(list& l, const std::function<void(intptr_t)>& fn)
{
    std::vector<intptr_t> seen;
    for (l.rewind(); l.has_current(); l.advance()) {
        seen.push_back(l.current());
        fn(l.current());
        if (seen.size() > 100)
            break;  // a walk that loops would otherwise never end
    }
    return seen;
}

// Walks 1..n removing the elements in `gone`; checks that every element was
// visited once and returns what is left.
std::vector<intptr_t> walk_removing(intptr_t n, std::vector<intptr_t> gone)
{
    list l;
    std::vector<intptr_t> all;
    for (intptr_t i = 1; i <= n; i++) {
        l.add(i);
        all.push_back(i);
    }
    auto seen = walk(l, [&](intptr_t x) {
        if (std::find(gone.begin(), gone.end(), x) != gone.end())
            l.remove();
    });
    EXPECT_EQ(seen, all);
    return contents(l);
}

}  // namespace

TEST(linkedlist, add_pop_and_empty_pop)
{
    list l;
    EXPECT_EQ(l.pop(), 0);
    EXPECT_EQ(l.count, 0);
    EXPECT_EQ(l.tail, l.head);
    fill(l, {1, 2, 3});
    EXPECT_EQ(contents(l), (std::vector<intptr_t>{1, 2, 3}));
    EXPECT_EQ(l.pop(), 1);
    EXPECT_EQ(l.pop(), 2);
    EXPECT_EQ(l.pop(), 3);
    EXPECT_EQ(l.pop(), 0);
    EXPECT_EQ(l.count, 0);
    EXPECT_EQ(l.tail, l.head);
    l.add(4);  // appends after the sentinel again
    EXPECT_EQ(contents(l), std::vector<intptr_t>{4});
    // Removing without a current element does nothing.
    l.rewind();
    l.advance();
    l.remove();
    EXPECT_EQ(l.count, 1);
}

TEST(linkedlist, walk_removing_some)
{
    using v = std::vector<intptr_t>;
    EXPECT_EQ(walk_removing(3, {1}), (v{2, 3}));
    EXPECT_EQ(walk_removing(3, {2}), (v{1, 3}));
    EXPECT_EQ(walk_removing(4, {2, 3}), (v{1, 4}));
    EXPECT_EQ(walk_removing(4, {1, 4}), (v{2, 3}));
    EXPECT_EQ(walk_removing(5, {1, 2, 3, 4, 5}), v{});  // tail back at head

    // Removing the last element makes the one before it the tail.
    list l;
    fill(l, {1, 2, 3});
    walk(l, [&l](intptr_t x) {
        if (x == 3)
            l.remove();
    });
    EXPECT_EQ(l.tail->value, 2);
    l.add(9);
    EXPECT_EQ(contents(l), (v{1, 2, 9}));
}

TEST(linkedlist, add_during_walk_is_reached)
{
    list l;
    fill(l, {1, 2});
    auto seen = walk(l, [&l](intptr_t x) {
        if (x < 3)
            l.add(x + 10);
    });
    EXPECT_EQ(seen, (std::vector<intptr_t>{1, 2, 11, 12}));

    // Removing the last element and then adding: the new one is still reached.
    list m;
    fill(m, {1, 2});
    seen = walk(m, [&m](intptr_t x) {
        if (x == 2) {
            m.remove();
            m.add(3);
        }
    });
    EXPECT_EQ(seen, (std::vector<intptr_t>{1, 2, 3}));
    EXPECT_EQ(contents(m), (std::vector<intptr_t>{1, 3}));
}

// pop() during a walk must leave the cursor and the resume point on live nodes
// (the server stops, popping every connection, from inside its own walk).
TEST(linkedlist, pop_during_walk)
{
    using v = std::vector<intptr_t>;
    {
        // The cursor sits on the first element (current is the second).
        list l;
        fill(l, {1, 2, 3});
        auto seen = walk(l, [&l](intptr_t x) {
            if (x == 2) {
                EXPECT_EQ(l.pop(), 1);
            }
        });
        EXPECT_EQ(seen, (v{1, 2, 3}));
        EXPECT_EQ(contents(l), (v{2, 3}));
    }
    {
        // The resume point after remove() is the first element, then popped.
        list l;
        fill(l, {1, 2, 3});
        auto seen = walk(l, [&l](intptr_t x) {
            if (x == 2) {
                l.remove();
                EXPECT_EQ(l.pop(), 1);
            }
        });
        EXPECT_EQ(seen, (v{1, 2, 3}));
        EXPECT_EQ(contents(l), v{3});
    }
    {
        // Stop inside the walk: the current element removed, the rest popped.
        list l;
        fill(l, {1, 2, 3, 4});
        auto seen = walk(l, [&l](intptr_t x) {
            if (x == 3) {
                l.remove();
                while (l.pop()) {
                }
            }
        });
        EXPECT_EQ(seen, (v{1, 2, 3}));
        EXPECT_EQ(l.count, 0);
        EXPECT_EQ(l.tail, l.head);
    }
    {
        // Everything popped while the cursor is on the last element.
        list l;
        fill(l, {1, 2});
        auto seen = walk(l, [&l](intptr_t x) {
            if (x == 2)
                while (l.pop()) {
                }
        });
        EXPECT_EQ(seen, (v{1, 2}));
        EXPECT_EQ(l.count, 0);
        EXPECT_EQ(l.tail, l.head);
    }
}
