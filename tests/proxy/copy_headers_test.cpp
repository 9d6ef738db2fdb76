#include "proxy/blacklist_proxy.h"
#include "proxy/http_proxy.h"

#include <gtest/gtest.h>

namespace {

TEST(copy_headers, drops_hop_by_hop_lines_in_any_letter_case)
{
    std::string head =
        "GET http://h/ HTTP/1.1\r\n"
        "Host: h\r\n"
        "Proxy-Authorization: Basic eDp5\r\n"
        "proxy-authorization: Basic eDp5\r\n"
        "Proxy-Connection: keep-alive\r\n"
        "Connection: keep-alive\r\n"
        "CONNECTION-Extra: x\r\n"
        "Keep-Alive: 5\r\n"
        "Upgrade: h2c\r\n"
        "X-Proxy: kept\r\n";
    EXPECT_EQ(http_proxy::copy_headers(head), "Host: h\r\nKeep-Alive: 5\r\nUpgrade: h2c\r\nX-Proxy: kept\r\n");
}

TEST(copy_headers, a_head_with_only_the_request_line_forwards_nothing)
{
    EXPECT_EQ(http_proxy::copy_headers("GET / HTTP/1.1\r\n"), "");
    EXPECT_EQ(http_proxy::copy_headers("\r\nHost: x\r\n"), "");
    EXPECT_EQ(http_proxy::copy_headers("GET / HTTP/1.1"), "");
}

TEST(same_secret, compares_whole_texts)
{
    EXPECT_TRUE(blacklist_proxy::same_secret("user:pass", "user:pass"));
    EXPECT_FALSE(blacklist_proxy::same_secret("user:pass", "user:pasS"));
    EXPECT_FALSE(blacklist_proxy::same_secret("user:pass", "user:pass "));
    EXPECT_FALSE(blacklist_proxy::same_secret("", "x"));
    EXPECT_TRUE(blacklist_proxy::same_secret("", ""));
}

}  // namespace
