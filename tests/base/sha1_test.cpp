#include "base/sha1.h"

#include <gtest/gtest.h>

#include <string>

#include "base/base64.h"

namespace {

std::string hex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

TEST(sha1, fips_180_vectors)
{
    EXPECT_EQ(hex(base::sha1("abc")), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(hex(base::sha1("")), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(hex(base::sha1("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(hex(base::sha1(std::string(1000000, 'a'))),
              "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST(sha1, padding_boundaries)
{
    // 55 bytes leave room for the length field in the same block, 56 push it
    // into a second one, 64 fill a block before the padding starts.
    EXPECT_EQ(hex(base::sha1(std::string(55, 'a'))), "c1c8bbdc22796e28c0e15163d20899b65621d65a");
    EXPECT_EQ(hex(base::sha1(std::string(56, 'a'))), "c2db330f6083854c99d4b5bfb6e8f29f201be699");
    EXPECT_EQ(hex(base::sha1(std::string(64, 'a'))), "0098ba824b5c16427bd7a1122a5a442a25ec644d");
}

TEST(sha1, websocket_accept_value)
{
    std::string key = "dGhlIHNhbXBsZSBub25jZQ==";
    std::string accept = base::base64(base::sha1(key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11"));
    EXPECT_EQ(accept, "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

}  // namespace
