#include "proxy/http_proxy.h"

#include <gtest/gtest.h>

// Forwards every header line but the hop-by-hop ones (names starting with
// Proxy or Connection, any case), and nothing of a head without headers.
TEST(copy_headers, drops_hop_by_hop_lines_in_any_letter_case)
{
    std::string head = "GET http://h/ HTTP/1.1\r\nHost: h\r\n"
                       "Proxy-Authorization: Basic eDp5\r\nproxy-authorization: Basic eDp5\r\n"
                       "Proxy-Connection: keep-alive\r\nConnection: keep-alive\r\nCONNECTION-Extra: x\r\n"
                       "Keep-Alive: 5\r\nUpgrade: h2c\r\nX-Proxy: kept\r\n";
    EXPECT_EQ(http_proxy::copy_headers(head), "Host: h\r\nKeep-Alive: 5\r\nUpgrade: h2c\r\nX-Proxy: kept\r\n");
    EXPECT_EQ(http_proxy::copy_headers("GET / HTTP/1.1\r\n"), "");
    EXPECT_EQ(http_proxy::copy_headers("\r\nHost: x\r\n"), "");
    EXPECT_EQ(http_proxy::copy_headers("GET / HTTP/1.1"), "");
}
