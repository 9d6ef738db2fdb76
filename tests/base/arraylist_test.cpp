#include "base/arraylist.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using list = base::arraylist<intptr_t>;

// The elements up to size; also checks the zero terminator behind them.
std::vector<intptr_t> contents(const list& l)
{
    EXPECT_NE(l.data, nullptr);
    EXPECT_LE(l.size, l.capacity);
    EXPECT_EQ(l.data[l.size], 0);
    return std::vector<intptr_t>(l.data, l.data + l.size);
}

}  // namespace

TEST(arraylist, growth_and_terminator)
{
    list l;
    EXPECT_EQ(l.data, nullptr);
    EXPECT_EQ(l.capacity, 0u);
    EXPECT_EQ(l.get(0), 0);

    std::vector<uint32_t> capacities;
    for (intptr_t v = 1; v <= 9; v++) {
        l.add(v);
        capacities.push_back(l.capacity);
        EXPECT_EQ(l.data[l.size], 0);
    }
    EXPECT_EQ(capacities, (std::vector<uint32_t>{2, 2, 4, 4, 8, 8, 8, 8, 16}));
    EXPECT_EQ(contents(l), (std::vector<intptr_t>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(l.get(8), 9);
    EXPECT_EQ(l.get(9), 0);  // index == size
    EXPECT_EQ(l.get(100), 0);

    l.remove_last();
    EXPECT_EQ(contents(l), (std::vector<intptr_t>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(l.get(8), 0);
    EXPECT_EQ(l.capacity, 16u);  // never shrinks
}

TEST(arraylist, remove_keeps_order)
{
    list l;
    for (intptr_t v : {10, 20, 30, 40, 50})
        l.add(v);
    l.remove_at(1);
    EXPECT_EQ(contents(l), (std::vector<intptr_t>{10, 30, 40, 50}));
    l.remove_at(0);
    EXPECT_EQ(contents(l), (std::vector<intptr_t>{30, 40, 50}));
    l.remove_at(2);
    EXPECT_EQ(contents(l), (std::vector<intptr_t>{30, 40}));

    list one;
    one.add(7);
    one.remove_at(0);
    EXPECT_EQ(one.size, 0u);
    EXPECT_EQ(one.data[0], 0);
    one.remove_last();  // on an empty list: nothing
    EXPECT_EQ(one.size, 0u);
    one.add(8);
    EXPECT_EQ(contents(one), std::vector<intptr_t>{8});
}

TEST(arraylist, index_of)
{
    list l;
    EXPECT_EQ(l.index_of(5), -1);
    for (intptr_t v : {5, 6, 5, 7})
        l.add(v);
    EXPECT_EQ(l.index_of(5), 0);  // first match wins
    EXPECT_EQ(l.index_of(7), 3);
    EXPECT_EQ(l.index_of(8), -1);
    EXPECT_EQ(l.index_of(0), -1);  // the terminator is not an element
    l.remove_at(0);
    EXPECT_EQ(l.index_of(5), 1);
}
