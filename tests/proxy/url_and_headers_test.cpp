// What the proxy makes of a request target and its host, and which header
// lines it forwards.
#include "proxy/canonical_host.h"
#include "proxy/origin_form.h"
#include "proxy/split_url.h"

#include <gtest/gtest.h>

using namespace std::string_literals;

// Targets of every form a proxy acts on, and the ones it refuses (""):
// origin-form paths (the loop through the proxy itself), user information,
// a port outside 1-65535, a CONNECT target without a port, an unspecified
// address in any spelling. Expected: scheme, host, port and path.
TEST(split_url, splits_absolute_and_authority_targets_and_refuses_the_rest)
{
    const std::tuple<const char*, bool, const char*> cases[] = {
        {"http://example.com/a/b?x=1#f", false, "http example.com 80 /a/b?x=1#f"},
        {"https://example.com", false, "https example.com 443 /"},
        {"HTTPS://Example.COM/", false, "https example.com 443 /"},
        {"ftp://example.com/file", false, "ftp example.com 21 /file"},
        {"web+x.1://example.com:81/", false, "web+x.1 example.com 81 /"},
        {"http://example.com:/", false, "http example.com 80 /"},
        {"http://example.com:00080/", false, "http example.com 80 /"},
        {"http://example.com:8080?q=1", false, "http example.com 8080 /?q=1"},
        {"example.com:443", true, "http example.com 443 /"},
        {"Example.COM.:65535", true, "http example.com 65535 /"},
        {"/index.html", false, ""}, {"/http://127.0.0.1:8080/", false, ""}, {"example.com:443", false, ""},
        {"1http://example.com/", false, ""}, {"://example.com/", false, ""},
        {"http://user:pw@example.com/", false, ""}, {"http://example.com@evil.test/", false, ""},
        {"http://[::1]:81/", false, "http ::1 81 /"}, {"http://[::1]/x?y", false, "http ::1 80 /x?y"},
        {"[2001:DB8::1]:443", true, "http 2001:db8::1 443 /"}, {"http://[::1", false, ""}, {"http://[::1]x/", false, ""},
        {"http://::1/", false, ""}, {"[::1]", true, ""}, {"::1:443", true, ""}, {"http://example.com:abc/", false, ""},
        {"http://example.com:80x/", false, ""}, {"http://example.com:0/", false, ""},
        {"http://example.com:65536/", false, ""}, {"http://example.com:84638/", false, ""},
        {"http:///x", false, ""}, {"example.com", true, ""}, {"example.com:", true, ""},
        {"http://example.com/", true, ""}, {"example.com:443/x", true, ""},
        {"http://[::ffff:7f00:1]:81/", false, "http 127.0.0.1 81 /"},
        {"[::FFFF:127.0.0.1]:443", true, "http 127.0.0.1 443 /"},
        // Unspecified addresses name this host, not an origin.
        {"http://0.0.0.0/", false, ""}, {"http://0:81/", false, ""}, {"http://0.1.2.3/", false, ""},
        {"http://[::]/", false, ""}, {"http://[::ffff:0.0.0.0]/", false, ""}, {"0:443", true, ""},
        {"[0::0]:443", true, ""},
    };
    for (auto& [target, connect, want] : cases) {
        split_url u(target, connect);
        std::string got = u.valid() ? u.scheme + " " + u.host + " " + std::to_string(u.port) + " " + u.path : "";
        EXPECT_EQ(got, want) << target;
    }
}

// Every spelling of one host comes out as one: letter case, a trailing dot,
// the numeric forms the resolver reads as IPv4 (IPv4-mapped IPv6 among
// them), UTF-8 labels in their lower-case IDN form. Bytes no host name has,
// empty labels and labels that are not UTF-8 make no host ("").
TEST(canonical_host, one_spelling_per_host)
{
    const std::pair<std::string, const char*> cases[] = {
        {"Blocked.TEST", "blocked.test"}, {"blocked.test.", "blocked.test"}, {"a_b-c.d", "a_b-c.d"},
        {"127.2", "127.0.0.2"}, {"2130706434", "127.0.0.2"}, {"0x7f.0.0.2", "127.0.0.2"}, {"0177.0.0.2", "127.0.0.2"},
        {"0X7F.1", "127.0.0.1"}, {"127.0.0.2.", "127.0.0.2"}, {"B\xc3\xbc" "CHER.de", "xn--bcher-kva.de"},
        {"xn--bcher-kva.de", "xn--bcher-kva.de"}, {"1.2.3.4.5", "1.2.3.4.5"}, {"256.1.1.1", "256.1.1.1"},
        {"", ""}, {".", ""}, {"a..b", ""}, {".a", ""}, {"a.b..", ""}, {"%62locked.test", ""}, {"a b", ""},
        {"a@b", ""}, {"a:b", ""}, {"[::1]", "::1"}, {"0:0:0:0:0:0:0:1", "::1"}, {"[::FFFF:127.0.0.2]", "127.0.0.2"},
        {"[::ffff:7f00:1]", "127.0.0.1"}, {"0:0:0:0:0:FFFF:7F00:0001", "127.0.0.1"}, {"::ffff:0.0.0.0", "0.0.0.0"},
        {"[::1", ""}, {"fe80::1%eth0", ""}, {std::string("a\0b", 3), ""}, {"b\xfc" "cher.de", ""},
        {std::string(254, 'a'), ""},
    };
    for (auto& [host, want] : cases)
        EXPECT_EQ(canonical_host(host), want) << host;
}

// Non-ASCII names are mapped before conversion: any letter case, NFD or
// NFC, full-width letters and ideographic full stops are one name. Names
// libidn2 refuses (an emoji label) are still converted, lower-cased code
// point by code point ("\u00DC" as "\u00FC"). A mapping that yields a byte
// no name has ("\uFF01" is "!") makes no host.
TEST(canonical_host, non_ascii_names_are_mapped_before_conversion)
{
    const std::pair<const char*, const char*> cases[] = {
        {"B\u00DCCHER.test", "xn--bcher-kva.test"}, {"b\u00FCcher.test", "xn--bcher-kva.test"},
        {"bu\u0308cher.test", "xn--bcher-kva.test"}, {"b\u00FCcher\u3002test", "xn--bcher-kva.test"},
        {"\uFF42\u00FC\uFF43\uFF48\uFF45\uFF52.test", "xn--bcher-kva.test"}, {"\U0001F600.Test", "xn--e28h.test"},
        {"\u00DC\U0001F600.test", "xn--tda4367w.test"}, {"\uFF01.test", ""},
    };
    for (auto& [host, want] : cases)
        EXPECT_EQ(canonical_host(host), want) << host;
}

// Forwards every header line but the hop-by-hop ones: names starting with
// Proxy or Connection, Keep-Alive, TE, Trailer, Upgrade (unless upgrading)
// and whatever the Connection options name, except the fields that frame
// the body or name the origin. The Host field names the target's origin:
// the client's line when it agrees, in place of it otherwise, first when
// there was none.
TEST(copy_headers, drops_hop_by_hop_fields_and_names_the_targets_origin)
{
    auto forward = [](const std::string& target, const std::string& headers) {
        std::string head = "GET " + target + " HTTP/1.1\r\n" + headers;
        return origin_form::copy_headers(head, request_facts::read(head), split_url(target, false));
    };
    EXPECT_EQ(forward("http://h/",
                      "Host: h\r\nProxy-Authorization: Basic eDp5\r\nproxy-connection: keep-alive\r\n"
                      "Connection: keep-alive, X-Secret, content-length, Transfer-Encoding, host\r\n"
                      "CONNECTION-Extra: x\r\nKeep-Alive: 5\r\nTE: trailers\r\nTrailer: X\r\nUpgrade: h2c\r\n"
                      "x-secret: 1\r\nTransfer-Encoding: chunked\r\nX-Proxy: kept\r\nX-Bytes: a\rb\0c\r\n"s),
              "Host: h\r\nTransfer-Encoding: chunked\r\nX-Proxy: kept\r\nX-Bytes: a b c\r\n");
    EXPECT_EQ(forward("http://h/", "Upgrade: websocket\r\nConnection: Upgrade\r\nHost: h\r\n"),
              "Upgrade: websocket\r\nHost: h\r\n");
    const std::tuple<const char*, const char*, const char*> hosts[] = {
        {"http://h:8080/", "A: 1\r\nHOST:  H.:8080 \r\nB: 2\r\n", "A: 1\r\nHOST:  H.:8080 \r\nB: 2\r\n"},
        {"http://h/", "A: 1\r\nHost: blocked.test\r\nB: 2\r\n", "A: 1\r\nHost: h\r\nB: 2\r\n"},
        {"http://h/", "Host: h:81\r\n", "Host: h\r\n"},
        {"http://h:81/", "Host: h\r\n", "Host: h:81\r\n"},
        {"https://127.2/", "A: 1\r\n", "Host: 127.0.0.2\r\nA: 1\r\n"},
        {"http://[0::1]:81/", "Host: [::1]:81\r\n", "Host: [::1]:81\r\n"},
        {"http://[::1]/", "Host: ::1\r\n", "Host: [::1]\r\n"},
    };
    for (auto& [target, headers, want] : hosts)
        EXPECT_EQ(forward(target, headers), want) << target << " " << headers;
}
