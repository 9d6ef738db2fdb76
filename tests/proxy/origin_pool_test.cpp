// The pool keeps the only record of which connections wait in it and until
// when: taking one ends its membership, the most recently parked of an
// origin is taken first, origins never share, and a connection removed
// (ending) can no longer be taken. The pool never looks inside a
// connection, so stand-ins do.
#include "proxy/origin_pool.h"

#include <gtest/gtest.h>

namespace {

proxy_connection* stand_in(int& storage) { return reinterpret_cast<proxy_connection*>(&storage); }

}  // namespace

TEST(origin_pool, owns_membership_and_expiry_and_hands_out_the_latest_of_an_origin_first)
{
    origin_pool pool;
    int a_storage, b_storage, c_storage;
    proxy_connection *a = stand_in(a_storage), *b = stand_in(b_storage), *c = stand_in(c_storage);
    origin_pool::place pa, pb, pc;
    EXPECT_FALSE(origin_pool::holds(pa));
    ASSERT_TRUE(pool.park(a, pa, "example.test", 80, 1000));
    ASSERT_TRUE(pool.park(b, pb, "example.test", 80, 2000));
    ASSERT_TRUE(pool.park(c, pc, "example.test", 8080, 3000));
    EXPECT_EQ(pool.size(), 3);
    EXPECT_TRUE(origin_pool::holds(pa) && origin_pool::holds(pb));
    EXPECT_EQ(origin_pool::expires_at(pa), 1000 + origin_pool::idle_limit * 1000 + 1);

    EXPECT_EQ(pool.take("example.test", 80), b);  // the latest first
    EXPECT_FALSE(origin_pool::holds(pb));
    EXPECT_EQ(pool.take("other.test", 80), nullptr);  // origins never share

    pool.remove(a, pa, "example.test", 80);  // ending while parked
    EXPECT_FALSE(origin_pool::holds(pa));
    EXPECT_EQ(pool.take("example.test", 80), nullptr);
    pool.remove(a, pa, "example.test", 80);  // again: nothing happens
    EXPECT_EQ(pool.size(), 1);
    EXPECT_EQ(pool.take("example.test", 8080), c);
    EXPECT_EQ(pool.size(), 0);
}
