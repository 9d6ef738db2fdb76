#include "http/chunked_decoder.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;

// Where a chunked body ends, or the offset of the first byte outside the
// grammar, fed whole and one byte at a time. In each case "|" marks the end
// of a complete body (what follows is the next request), "!" the first bad
// byte of a malformed one.
TEST(chunked_decoder, ends_bodies_exactly_and_refuses_what_breaks_the_grammar)
{
    const std::string cases[] = {
        "0\r\n\r\n|GET", "5\r\nhello\r\n0\r\n\r\n|", "000\r\n\r\n|x", "A\r\n0123456789\r\n0\r\n\r\n|",
        "5;a=b;c;d=\"q \\\" ;\"\r\nhello\r\n0 ;x = y\r\nExpires: 0\r\nX-Sum:\r\n\r\n|",
        "!x\r\n", "1000000000000000!0\r\n", "0000000000000000!0\r\n", "5 !\r\n", "5;!\r\n", "5;a!@\r\n", "5;a=!\r\n",
        "5;a=\"b\"!x\r\n", "5;a=\"!\0\"\r\n"s, "5\r!x", "5\r\nhello!x", "0\r\n!\tX: y\r\n\r\n", "0\r\nX!@: y\r\n\r\n",
        "0\r\nX: a!\0b\r\n\r\n"s, "0\r\nX: a\r!b\r\n\r\n", "0\r\n\r!x",
    };
    for (const std::string& marked : cases) {
        size_t at = marked.find_first_of("|!");
        bool good = marked[at] == '|';
        std::string body = marked.substr(0, at) + marked.substr(at + 1);
        for (size_t step : {body.size(), size_t(1)}) {
            chunked_decoder d;
            size_t used = 0;
            for (size_t i = 0; i < body.size() && !d.done() && !d.malformed(); i += step)
                used += d.feed(body.data() + i, std::min(step, body.size() - i));
            EXPECT_EQ(d.done(), good) << marked;
            EXPECT_EQ(d.malformed(), !good) << marked;
            EXPECT_EQ(used, at) << marked << " step " << step;
        }
    }
}
