#include "base/byte_queue.h"

#include <gtest/gtest.h>
#include <string>

namespace {

std::string drain_by_front(base::byte_queue& q)
{
    std::string out;
    while (!q.empty()) {
        size_t n;
        const char* p = q.front(&n);
        out.append(p, n);
        q.consume(n);
    }
    return out;
}

std::string pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = char('a' + (i * 7 + i / 977) % 26);
    return s;
}

TEST(byte_queue, keeps_bytes_in_order_across_blocks)
{
    base::byte_queue q;
    std::string data = pattern(3 * base::byte_queue::large_block + 12345);
    q.append(data.substr(0, 100));
    q.append(data.substr(100));
    EXPECT_EQ(q.size(), data.size());
    size_t n;
    const char* p = q.front(&n);
    ASSERT_GE(n, 1000u);
    EXPECT_EQ(std::string(p, 1000), data.substr(0, 1000));
    q.consume(1000);
    EXPECT_EQ(drain_by_front(q), data.substr(1000));
    EXPECT_TRUE(q.empty());
    EXPECT_EQ(q.front(&n), nullptr);
    EXPECT_EQ(n, 0u);
}

TEST(byte_queue, front_bytes_stay_put_while_more_is_appended)
{
    base::byte_queue q;
    q.append("first part");
    size_t n;
    const char* p = q.front(&n);
    std::string big = pattern(2 * base::byte_queue::large_block);
    q.append(big);  // the block in use is not moved
    EXPECT_EQ(std::string(p, 10), "first part");
    q.consume(6);
    p = q.front(&n);
    EXPECT_EQ(std::string(p, 4), "part");
    q.consume(4);
    EXPECT_EQ(drain_by_front(q), big);
}

TEST(byte_queue, receives_in_place_through_back_space)
{
    base::byte_queue q;
    std::string sent;
    for (int i = 0; i < 5; i++) {
        size_t room;
        char* at = q.back_space(&room);
        ASSERT_GT(room, 0u);
        std::string piece = pattern(room < 70000 ? room : 70000);
        memcpy(at, piece.data(), piece.size());
        q.commit(piece.size());
        sent += piece;
    }
    EXPECT_EQ(q.size(), sent.size());
    EXPECT_EQ(drain_by_front(q), sent);

    // Space offered but never filled holds no bytes, and clear gives it back.
    size_t room;
    q.back_space(&room);
    EXPECT_TRUE(q.empty());
    q.clear();
    q.append("x");
    EXPECT_EQ(drain_by_front(q), "x");
}

}  // namespace
