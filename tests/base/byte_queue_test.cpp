#include "base/byte_queue.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

// Everything left, read piece by piece through front() and consume().
static std::string drain(base::byte_queue& q)
{
    std::string out;
    size_t n;
    while (const char* p = q.front(&n)) {
        out.append(p, n);
        q.consume(n);
    }
    EXPECT_EQ(n, 0u);
    EXPECT_TRUE(q.empty());
    return out;
}

// Bytes without a period that lines up with the block sizes.
static std::string pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = char('a' + (i * 7 + i / 977) % 26);
    return s;
}

// Order across blocks; front() bytes stay put while more is appended (a
// reader sends straight from them).
TEST(byte_queue, keeps_bytes_in_order_and_in_place)
{
    base::byte_queue q;
    q.append("first part");
    size_t n;
    const char* p = q.front(&n);
    std::string big = pattern(3 * base::byte_queue::large_block + 12345);
    q.append(big);
    EXPECT_EQ(q.size(), big.size() + 10);
    EXPECT_EQ(std::string(p, 10), "first part");
    q.consume(6);
    EXPECT_EQ(drain(q), "part" + big);
}

// Receiving in place across blocks; space offered but not committed holds nothing.
TEST(byte_queue, receives_in_place_through_back_space)
{
    base::byte_queue q;
    std::string sent;
    size_t room;
    for (int i = 0; i < 5; i++) {
        char* at = q.back_space(&room);
        ASSERT_GT(room, 0u);
        std::string piece = pattern(std::min<size_t>(room, 70000));
        memcpy(at, piece.data(), piece.size());
        q.commit(piece.size());
        sent += piece;
    }
    EXPECT_EQ(drain(q), sent);
    q.back_space(&room);
    EXPECT_TRUE(q.empty());
}
