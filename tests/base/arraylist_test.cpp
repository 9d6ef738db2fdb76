#include "base/arraylist.h"

#include <gtest/gtest.h>

#include <vector>

using list = base::arraylist<intptr_t>;
using v = std::vector<intptr_t>;

// Capacities 2, 4, 8, 16, never shrinking; a zero always behind the last
// element; removal keeps the order; index_of() never finds the terminator.
TEST(arraylist, growth_terminator_and_removal)
{
    list l;
    EXPECT_EQ(l.get(0), 0);
    std::vector<uint32_t> capacities;
    for (intptr_t x = 1; x <= 9; x++) {
        l.add(x);
        capacities.push_back(l.capacity);
        EXPECT_EQ(l.data[l.size], 0);
    }
    EXPECT_EQ(capacities, (std::vector<uint32_t>{2, 2, 4, 4, 8, 8, 8, 8, 16}));
    EXPECT_EQ(l.get(9), 0);
    l.remove_last();
    l.remove_at(0);
    l.remove_at(3);
    l.remove_at(5);
    EXPECT_EQ(v(l.data, l.data + l.size + 1), (v{2, 3, 4, 6, 7, 0}));
    EXPECT_EQ(l.index_of(6), 3);
    EXPECT_EQ(l.index_of(0), -1);
    EXPECT_EQ(l.capacity, 16u);
    while (l.size)
        l.remove_at(0);
    l.remove_last();  // on an empty list: nothing
    EXPECT_EQ(l.data[0], 0);
}
