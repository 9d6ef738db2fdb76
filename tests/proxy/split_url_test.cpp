#include "proxy/split_url.h"

#include <gtest/gtest.h>

namespace {

struct expected {
    const char* url;
    const char* scheme;
    const char* host;
    int32_t port;
    const char* path;
};

TEST(split_url, splits_targets_of_every_form)
{
    const expected cases[] = {
        {"http://example.com/a/b?x=1#f", "http", "example.com", 80, "/a/b?x=1#f"},
        {"https://example.com", "https", "example.com", 443, "/"},
        {"example.com:443", "http", "example.com", 443, "/"},
        {"example.com", "http", "example.com", 80, "/"},
        {"//example.com/x", "https", "example.com", 443, "/x"},
        {"ftp://example.com/file", "ftp", "example.com", 21, "/file"},
        {"HTTPS://example.com/", "HTTPS", "example.com", 80, "/"},  // the default-port table is exact
        {"https://example.com:81/", "https", "example.com", 81, "/"},
        {"http://example.com:/", "http", "example.com", 0, "/"},
        {"http://example.com:abc/", "http", "example.com", 0, "/"},
        {"http://example.com:80x/", "http", "example.com", 80, "/"},
        {"http://user:pw@example.com/", "http", "user", 0, "/"},
        {"http://[::1]:81/", "http", "[", 0, "/"},
        {"http://example.com?q=1", "http", "example.com?q=1", 80, "/"},
        {"/index.html", "http", "/index.html", 80, "/"},
        {"://x", "http", ":", 80, "//x"},
        {"", "http", "", 80, "/"},
        {"http://example.com:99999999999/", "http", "example.com", INT32_MAX, "/"},
    };
    for (const expected& e : cases) {
        split_url u(e.url);
        EXPECT_EQ(u.scheme, e.scheme) << e.url;
        EXPECT_EQ(u.host, e.host) << e.url;
        EXPECT_EQ(u.port, e.port) << e.url;
        EXPECT_EQ(u.path, e.path) << e.url;
    }
}

TEST(split_url, converts_non_ascii_labels_to_idn_and_leaves_the_rest)
{
    EXPECT_EQ(split_url::utf8_to_idn("Example.COM"), "Example.COM");
    EXPECT_EQ(split_url::utf8_to_idn("b\xc3\xbc" "cher.example"), "xn--bcher-kva.example");
    EXPECT_EQ(split_url::utf8_to_idn("B\xc3\xbc" "cher.de"), "xn--Bcher-kva.de");
    EXPECT_EQ(split_url::utf8_to_idn(""), "");
    EXPECT_EQ(split_url::utf8_to_idn(".a..b."), ".a..b.");
    EXPECT_EQ(split_url::utf8_to_idn("xn--bcher-kva.de"), "xn--bcher-kva.de");
    EXPECT_EQ(split_url::utf8_to_idn(std::string("ab\0cd.e", 7)), "ab.e");
    // Not UTF-8: left alone rather than turned into a broken label.
    EXPECT_EQ(split_url::utf8_to_idn("b\xfc" "cher.de"), "b\xfc" "cher.de");

    split_url u("http://b\xc3\xbc" "cher.example:8080/p");
    EXPECT_EQ(u.host, "xn--bcher-kva.example");
    EXPECT_EQ(u.port, 8080);
    EXPECT_EQ(u.path, "/p");
}

}  // namespace
