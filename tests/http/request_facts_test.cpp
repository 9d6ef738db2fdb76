#include "http/request_facts.h"

#include <gtest/gtest.h>

#include <vector>

using namespace std::string_literals;
using fault = request_facts::fault;

// Every legal spelling of the framing fields is read alike; a head that an
// origin could frame differently, or read differently at all, is a fault.
TEST(request_facts, framing_in_every_spelling_and_the_faults)
{
    struct group { fault problem; int64_t length; bool chunked; std::vector<std::string> headers; };
    const group groups[] = {
        {fault::none, 0, false, {"", "X-Content-Length: 7\r\nContent-Length2: 8\r\nContent-Length: 0\r\n"}},
        {fault::none, 5, false, {"Host: h\r\nContent-Length: 5\r\n", "Content-Length:5\r\n", "CONTENT-LENGTH: \t 5 \t\r\n",
                                 "Content-Length: 5, 5\r\ncontent-length: 5\r\n"}},
        {fault::none, 999999999999999999, false, {"Content-Length: 999999999999999999\r\n"}},
        {fault::none, 0, true, {"Transfer-Encoding:chunked\r\n", "Transfer-Encoding: gzip, CHUNKED\r\n",
                                "Transfer-Encoding: gzip\r\nTransfer-Encoding: chunked,\r\n"}},
        // Not plain digits.
        {fault::bad_length, 0, false, {"Content-Length: -5\r\n", "Content-Length: 5x\r\n", "Content-Length: 0x5\r\n",
                                       "Content-Length: 5 5\r\n", "Content-Length:\r\n", "Content-Length: 5,\r\n",
                                       "Content-Length: +5\r\n", "Content-Length: 9999999999999999999\r\n"}},
        // Two framings, or none that ends before the close; a bare LF is no line end.
        {fault::ambiguous, 0, false, {"Content-Length: 5\r\nTransfer-Encoding: chunked\r\n",
                                      "transfer-encoding: chunked\r\nCONTENT-LENGTH: 0\r\n",
                                      "Content-Length: 5\r\nContent-Length: 6\r\n", "Content-Length: 5, 6\r\n",
                                      "Transfer-Encoding: gzip\r\n", "Transfer-Encoding:\r\n",
                                      "Transfer-Encoding: chunked, identity\r\n",
                                      "Transfer-Encoding: chunked\r\nTransfer-Encoding: gzip\r\n",
                                      "Transfer-Encoding: chunked\nX: y\r\n"}},
        // Lines recipients read differently: a name that is not a token (a blank before the colon or in it, NUL,
        // CR, "@", nothing), folding, no colon at all, two Host fields, a request line off the grammar.
        {fault::malformed, 0, false, {"Content-Length : 5\r\n", "Content Length: 5\r\n", "A@b: 1\r\n", ": 1\r\n",
                                      "Transfer-Encoding\0: chunked\r\n"s, "X\rY: 1\r\n", "Host: a\r\nhost: b\r\n",
                                      "Transfer-Encoding: gzip\r\n chunked\r\n", "Transfer-Encoding chunked\r\n"}},
        {fault::malformed, 0, false, {"|GET http://h/\r\n", "|GET http://h/\n HTTP/1.1\r\n", "|\r\nGET / HTTP/1.1\r\n",
                                      "|GET /\0 HTTP/1.1\r\n"s, "|GET /\x7f HTTP/1.1\r\n", "|GET  / HTTP/1.1\r\n",
                                      "|GET / HTTP/2.0\r\n", "|G@T / HTTP/1.1\r\n", "|GET / HTTP/1.1 \r\n"}},
    };
    for (const group& g : groups)
        for (const std::string& headers : g.headers) {  // "|" starts a head of its own
            request_facts f = request_facts::read(headers.starts_with('|') ? headers.substr(1) + "Host: h\r\n"
                                                                           : "POST http://h/ HTTP/1.1\r\n" + headers);
            EXPECT_EQ(int(f.problem), int(g.problem)) << headers;
            EXPECT_EQ(f.content_length, g.length) << headers;
            EXPECT_EQ(f.chunked, g.chunked) << headers;
        }
}

// The fields the proxy acts on beyond the framing: every Connection option
// (any case, several lines); an upgrade, asked by the Upgrade field and the
// "upgrade" option together, the option as the client spelled it; the one
// Host and the one Proxy-Authorization.
TEST(request_facts, connection_options_upgrade_host_and_credentials)
{
    const std::pair<const char*, const char*> cases[] = {  // fields; options|upgrade|host|credentials
        {"Connection: Keep-Alive, X-A\r\nconnection: ,x-b ,\r\nHost:  h:81 \r\nProxy-Authorization: Basic eDp5 \r\n",
         ",keep-alive,x-a,x-b,||h:81|Basic eDp5"},
        {"Proxy-Authorization: a\r\nProxy-Authorization: b\r\n", "|||"},
        {"Upgrade: websocket\r\nConnection: Upgrade\r\n", ",upgrade,|Upgrade||"},
        {"Connection: keep-alive\r\nConnection:UPGRADE \r\nUpgrade: websocket\r\n", ",keep-alive,upgrade,|UPGRADE||"},
        {"Upgrade: websocket\r\n", "|||"}, {"Connection: Upgrade\r\n", ",upgrade,|||"},
        {"Upgrade: websocket\r\nConnection: Upgrade-Insecure\r\n", ",upgrade-insecure,|||"},
    };
    for (auto& [fields, want] : cases) {
        request_facts f = request_facts::read("GET http://h/ HTTP/1.1\r\n"s + fields);
        EXPECT_EQ(f.connection_options + "|" + f.upgrade_option + "|" + f.host + "|" + f.proxy_authorization, want)
            << fields;
    }
    request_facts f = request_facts::read("GET http://h/ HTTP/1.1\r\nConnection: Keep-Alive, X-A\r\nconnection: x-b\r\n");
    for (const char* option : {"keep-alive", "KEEP-ALIVE", "x-a", "X-B"})
        EXPECT_TRUE(f.names_option(option)) << option;
    for (const char* option : {"keep", "alive", "x", "", "x-a,x-b"})
        EXPECT_FALSE(f.names_option(option)) << option;
}
