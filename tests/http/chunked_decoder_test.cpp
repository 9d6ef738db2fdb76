#include "http/chunked_decoder.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(chunked_decoder, finds_the_end_of_the_body_at_every_split)
{
    const std::string body = "5;n=\"v\"\r\nhello\r\n1A \t;x\r\n" + std::string(26, 'z') +
                             "\r\n0\r\nExpires: never\r\nX-Sum: 1\r\n\r\n";
    const std::string text = body + "GET / HTTP/1.1\r\n\r\n";
    for (size_t cut = 0; cut <= text.size(); cut++) {
        chunked_decoder d;
        size_t taken = d.feed(text.data(), cut);
        if (taken == cut)
            taken += d.feed(text.data() + cut, text.size() - cut);
        EXPECT_EQ(taken, body.size()) << "cut at " << cut;
        EXPECT_TRUE(d.done());
        EXPECT_EQ(d.feed("x", 1), 0u);
    }
}

TEST(chunked_decoder, stops_at_the_first_byte_of_bad_framing)
{
    struct {
        std::string text;
        size_t taken;
    } cases[] = {
        {"zz\r\n", 0},  {"\r\n", 0},        {"5x\r\n", 1},        {"5 \r\n", 2},  // blanks only before ";"
        {"5\nab", 1},   {"3\r\nabcX", 6},   {"3\r\nabc\rX", 7},   {"0\r\nTrailer\nx", 10},
        {"0\r\n\rX", 4}, {"10000000000000000\r\n", 16},  // 17 digits: over 64 bits
        {"1;" + std::string(chunked_decoder::max_line_length, 'e'), chunked_decoder::max_line_length},
    };
    for (auto& c : cases) {
        chunked_decoder d;
        EXPECT_EQ(d.feed(c.text.data(), c.text.size()), c.taken) << c.text;
        EXPECT_TRUE(d.malformed()) << c.text;
    }
    // 16 digits still fit; leading zeros do not overflow.
    chunked_decoder d;
    std::string ok = "FFFFFFFFFFFFFFFF\r\n";
    EXPECT_EQ(d.feed(ok.data(), ok.size()), ok.size());
    EXPECT_FALSE(d.malformed());
    d.reset();
    ok = std::string(40, '0') + "1\r\nx\r\n0\r\n\r\n";
    EXPECT_EQ(d.feed(ok.data(), ok.size()), ok.size());
    EXPECT_TRUE(d.done());
}

}  // namespace
