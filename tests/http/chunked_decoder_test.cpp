#include "http/chunked_decoder.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;

// Where a chunked body ends, or the offset of the first byte outside the
// grammar, fed whole and one byte at a time. "|" marks the expected end in
// each case: what follows it is the next request, or the bad byte.
TEST(chunked_decoder, ends_bodies_exactly_and_refuses_what_breaks_the_grammar)
{
    const std::string complete[] = {
        "0\r\n\r\n|GET", "5\r\nhello\r\n0\r\n\r\n|", "000\r\n\r\n|x",
        "5;a=b;c;d=\"q \\\" ;\"\r\nhello\r\n0 ;x = y\r\nExpires: 0\r\nX-Sum:\r\n\r\n|",
        "A\r\n0123456789\r\n0\r\n\r\n|",
    };
    const std::string malformed[] = {
        "|x\r\n", "1000000000000000|0\r\n", "0000000000000000|0\r\n", "5 |\r\n", "5;|\r\n", "5;a|@\r\n", "5;a=|\r\n",
        "5;a=\"b\"|x\r\n", "5;a=\"|\0\"\r\n"s, "5\r|x", "5\r\nhello|x", "0\r\n|\tX: y\r\n\r\n", "0\r\nX|@: y\r\n\r\n",
        "0\r\nX: a|\0b\r\n\r\n"s, "0\r\nX: a\r|b\r\n\r\n", "0\r\n\r|x",
    };
    for (bool good : {true, false})
        for (const std::string& marked : good ? std::vector<std::string>(std::begin(complete), std::end(complete))
                                               : std::vector<std::string>(std::begin(malformed), std::end(malformed))) {
            size_t at = marked.find('|');
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
