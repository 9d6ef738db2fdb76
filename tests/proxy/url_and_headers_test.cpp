// What the proxy makes of a request target, and which header lines it forwards.
#include "proxy/http_proxy.h"
#include "proxy/split_url.h"

#include <gtest/gtest.h>

// Targets of every form, and the parser's deliberate limits: the first ":"
// after the host starts the port, default ports looked up exactly, no user
// information or IPv6 literals. Expected: scheme, host, port and path.
TEST(split_url, splits_targets_of_every_form)
{
    const std::pair<const char*, const char*> cases[] = {
        {"http://example.com/a/b?x=1#f", "http example.com 80 /a/b?x=1#f"}, {"https://example.com", "https example.com 443 /"},
        {"example.com:443", "http example.com 443 /"}, {"example.com", "http example.com 80 /"},
        {"//example.com/x", "https example.com 443 /x"}, {"ftp://example.com/file", "ftp example.com 21 /file"},
        {"HTTPS://example.com/", "HTTPS example.com 80 /"}, {"https://example.com:81/", "https example.com 81 /"},
        {"http://example.com:/", "http example.com 0 /"}, {"http://example.com:abc/", "http example.com 0 /"},
        {"http://example.com:80x/", "http example.com 80 /"},
        {"http://example.com:99999999999/", "http example.com 2147483647 /"},
        {"http://user:pw@example.com/", "http user 0 /"}, {"http://[::1]:81/", "http [ 0 /"},
        {"http://example.com?q=1", "http example.com?q=1 80 /"}, {"/index.html", "http /index.html 80 /"},
        {"://x", "http : 80 //x"}, {"", "http  80 /"},
        {"http://b\xc3\xbc" "cher.example:8080/p", "http xn--bcher-kva.example 8080 /p"},
    };
    for (auto& [url, want] : cases) {
        split_url u(url);
        EXPECT_EQ(u.scheme + " " + u.host + " " + std::to_string(u.port) + " " + u.path, want) << url;
    }
}

// Labels with non-ASCII bytes become "xn--" and Punycode; others, empty
// labels and labels that are not UTF-8 stay exactly as they are.
TEST(split_url, converts_non_ascii_labels_to_idn_and_leaves_the_rest)
{
    const std::pair<std::string, const char*> cases[] = {
        {"b\xc3\xbc" "cher.example", "xn--bcher-kva.example"}, {"B\xc3\xbc" "cher.de", "xn--Bcher-kva.de"},
        {"Example.COM", "Example.COM"}, {"", ""}, {".a..b.", ".a..b."}, {"xn--bcher-kva.de", "xn--bcher-kva.de"},
        {std::string("ab\0cd.e", 7), "ab.e"}, {"b\xfc" "cher.de", "b\xfc" "cher.de"},
    };
    for (auto& [host, want] : cases)
        EXPECT_EQ(split_url::utf8_to_idn(host), want) << host;
}

// Forwards every header line but the hop-by-hop ones (names starting with
// Proxy or Connection, any case), and nothing of a head without headers.
TEST(copy_headers, drops_hop_by_hop_lines_in_any_letter_case)
{
    std::string head = "GET http://h/ HTTP/1.1\r\nHost: h\r\n"
                       "Proxy-Authorization: Basic eDp5\r\nproxy-authorization: Basic eDp5\r\n"
                       "Proxy-Connection: keep-alive\r\nConnection: keep-alive\r\nCONNECTION-Extra: x\r\n"
                       "Keep-Alive: 5\r\nUpgrade: h2c\r\nX-Proxy: kept\r\n";
    EXPECT_EQ(http_proxy::copy_headers(head), "Host: h\r\nKeep-Alive: 5\r\nUpgrade: h2c\r\nX-Proxy: kept\r\n");
    for (const char* bare : {"GET / HTTP/1.1\r\n", "\r\nHost: x\r\n", "GET / HTTP/1.1"})
        EXPECT_EQ(http_proxy::copy_headers(bare), "") << bare;
}
