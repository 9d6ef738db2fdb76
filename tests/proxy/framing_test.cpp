#include "proxy/http_proxy.h"

#include <gtest/gtest.h>

namespace {

bool ambiguous(const std::string& headers)
{
    return http_proxy::framing_is_ambiguous("POST http://h/ HTTP/1.1\r\n" + headers);
}

TEST(framing, unambiguous_requests_pass)
{
    EXPECT_FALSE(ambiguous(""));
    EXPECT_FALSE(ambiguous("Host: h\r\nContent-Length: 5\r\n"));
    EXPECT_FALSE(ambiguous("Content-Length: 5\r\ncontent-length: 5\r\n"));  // repeated, same value
    EXPECT_FALSE(ambiguous("Content-Length: 5, 5\r\n"));
    EXPECT_FALSE(ambiguous("Transfer-Encoding: chunked\r\n"));
    EXPECT_FALSE(ambiguous("Transfer-Encoding: gzip, Chunked\r\n"));
    EXPECT_FALSE(ambiguous("Transfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n"));
    EXPECT_FALSE(ambiguous("X-Content-Length: 7\r\nContent-Length: 5\r\n"));
}

TEST(framing, requests_whose_body_end_is_unclear_are_caught)
{
    // Both framings: an origin may pick the other one.
    EXPECT_TRUE(ambiguous("Content-Length: 5\r\nTransfer-Encoding: chunked\r\n"));
    EXPECT_TRUE(ambiguous("transfer-encoding: chunked\r\nCONTENT-LENGTH: 0\r\n"));
    // Lengths that differ, as separate lines or in one list.
    EXPECT_TRUE(ambiguous("Content-Length: 5\r\nContent-Length: 6\r\n"));
    EXPECT_TRUE(ambiguous("Content-Length: 5, 6\r\n"));
    // The body would run until the connection closes.
    EXPECT_TRUE(ambiguous("Transfer-Encoding: gzip\r\n"));
    EXPECT_TRUE(ambiguous("Transfer-Encoding: chunked\r\nTransfer-Encoding: gzip\r\n"));
    EXPECT_TRUE(ambiguous("Transfer-Encoding: chunked, identity\r\n"));
    // White space before the colon still names the header.
    EXPECT_TRUE(ambiguous("Content-Length : 5\r\nTransfer-Encoding: chunked\r\n"));
}

}  // namespace
