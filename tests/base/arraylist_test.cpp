#include "base/arraylist.h"

#include <gtest/gtest.h>

#include <vector>

using v = std::vector<intptr_t>;

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
    l.remove_at(0);
    l.remove_at(3);
    l.remove_at(5);
    EXPECT_EQ(v(l.data, l.data + l.size + 1), (v{2, 3, 4, 6, 7, 0}));
    EXPECT_EQ(l.index_of(6), 3);
    EXPECT_EQ(l.index_of(0), -1);
    while (l.size)
        l.remove_at(0);
    l.remove_last();  // on an empty list: nothing
    EXPECT_EQ(l.data[0], 0);
}
