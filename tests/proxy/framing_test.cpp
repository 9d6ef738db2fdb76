#include "proxy/http_proxy.h"

#include <gtest/gtest.h>

// Catches a request an origin could frame differently (both framings, lengths
// that differ, a body running to the close); passes clear ones.
TEST(framing, catches_requests_whose_body_end_is_unclear)
{
    const std::pair<const char*, bool> cases[] = {
        {"", false}, {"Host: h\r\nContent-Length: 5\r\n", false}, {"Content-Length: 5, 5\r\n", false},
        {"Content-Length: 5\r\ncontent-length: 5\r\n", false}, {"X-Content-Length: 7\r\nContent-Length: 5\r\n", false},
        {"Transfer-Encoding: chunked\r\n", false}, {"Transfer-Encoding: gzip, Chunked\r\n", false},
        {"Transfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n", false},
        {"Content-Length: 5\r\nTransfer-Encoding: chunked\r\n", true},
        {"transfer-encoding: chunked\r\nCONTENT-LENGTH: 0\r\n", true},
        {"Content-Length : 5\r\nTransfer-Encoding: chunked\r\n", true},  // space before the colon
        {"Content-Length: 5\r\nContent-Length: 6\r\n", true}, {"Content-Length: 5, 6\r\n", true},
        {"Transfer-Encoding: gzip\r\n", true}, {"Transfer-Encoding: chunked, identity\r\n", true},
        {"Transfer-Encoding: chunked\r\nTransfer-Encoding: gzip\r\n", true},
    };
    for (auto& [headers, ambiguous] : cases)
        EXPECT_EQ(http_proxy::framing_is_ambiguous(std::string("POST http://h/ HTTP/1.1\r\n") + headers), ambiguous)
            << headers;
}
