#include "http/request_facts.h"

#include <gtest/gtest.h>

using fault = request_facts::fault;

// Every legal spelling of the framing fields is read alike; a head that an
// origin could frame differently, or read differently at all, is a fault.
TEST(request_facts, framing_in_every_spelling_and_the_faults)
{
    struct row { const char* headers; fault problem; int64_t length; bool chunked; };
    const row cases[] = {
        {"", fault::none, 0, false},
        {"Host: h\r\nContent-Length: 5\r\n", fault::none, 5, false},
        {"Content-Length:5\r\n", fault::none, 5, false},
        {"CONTENT-LENGTH: \t 5 \t\r\n", fault::none, 5, false},
        {"Content-Length: 5, 5\r\ncontent-length: 5\r\n", fault::none, 5, false},
        {"X-Content-Length: 7\r\nContent-Length2: 8\r\nContent-Length: 0\r\n", fault::none, 0, false},
        {"Content-Length: 999999999999999999\r\n", fault::none, 999999999999999999, false},
        {"Transfer-Encoding:chunked\r\n", fault::none, 0, true},
        {"Transfer-Encoding: gzip, CHUNKED\r\n", fault::none, 0, true},
        {"Transfer-Encoding: gzip\r\nTransfer-Encoding: chunked,\r\n", fault::none, 0, true},
        // Not plain digits.
        {"Content-Length: -5\r\n", fault::bad_length, 0, false},
        {"Content-Length: 5x\r\n", fault::bad_length, 0, false},
        {"Content-Length: 0x5\r\n", fault::bad_length, 0, false},
        {"Content-Length: 5 5\r\n", fault::bad_length, 0, false},
        {"Content-Length:\r\n", fault::bad_length, 0, false},
        {"Content-Length: 5,\r\n", fault::bad_length, 0, false},
        {"Content-Length: +5\r\n", fault::bad_length, 0, false},
        {"Content-Length: 9999999999999999999\r\n", fault::bad_length, 0, false},
        // Two framings, or none that ends before the close.
        {"Content-Length: 5\r\nTransfer-Encoding: chunked\r\n", fault::ambiguous, 0, false},
        {"transfer-encoding: chunked\r\nCONTENT-LENGTH: 0\r\n", fault::ambiguous, 0, false},
        {"Content-Length: 5\r\nContent-Length: 6\r\n", fault::ambiguous, 0, false},
        {"Content-Length: 5, 6\r\n", fault::ambiguous, 0, false},
        {"Transfer-Encoding: gzip\r\n", fault::ambiguous, 0, false},
        {"Transfer-Encoding:\r\n", fault::ambiguous, 0, false},
        {"Transfer-Encoding: chunked, identity\r\n", fault::ambiguous, 0, false},
        {"Transfer-Encoding: chunked\r\nTransfer-Encoding: gzip\r\n", fault::ambiguous, 0, false},
        {"Transfer-Encoding: chunked\nX: y\r\n", fault::ambiguous, 0, false},  // a bare LF is no line end
        // Lines recipients read differently.
        {"Content-Length : 5\r\n", fault::malformed, 0, false},
        {"Host : h\r\n", fault::malformed, 0, false},
        {"Content Length: 5\r\n", fault::malformed, 0, false},
        {"Transfer-Encoding: gzip\r\n chunked\r\n", fault::malformed, 0, false},  // folded
        {"\tHost: h\r\n", fault::malformed, 0, false},
    };
    for (const row& k : cases) {
        request_facts f = request_facts::read(std::string("POST http://h/ HTTP/1.1\r\n") + k.headers);
        EXPECT_EQ(int(f.problem), int(k.problem)) << k.headers;
        EXPECT_EQ(f.content_length, k.length) << k.headers;
        EXPECT_EQ(f.chunked, k.chunked) << k.headers;
    }
    using namespace std::string_literals;
    for (const std::string& line : {"GET http://h/\r\n"s, "GET\r\n"s, "GET http://h/\n HTTP/1.1\r\n"s,
                                    "\r\nGET / HTTP/1.1\r\n"s, "GET /\0 HTTP/1.1\r\n"s})
        EXPECT_EQ(int(request_facts::read(line + "Host: h\r\n").problem), int(fault::malformed)) << line;
}

// An upgrade needs both the Upgrade field and the "upgrade" option among the
// Connection options; the option keeps the client's spelling.
TEST(request_facts, upgrade_asked_by_upgrade_and_connection_together)
{
    const std::pair<const char*, const char*> cases[] = {
        {"Upgrade: websocket\r\nConnection: Upgrade\r\n", "Upgrade"},
        {"connection: keep-alive, upgrade\r\nUPGRADE: h2c\r\n", "upgrade"},
        {"Connection: keep-alive\r\nConnection:UPGRADE \r\nUpgrade: websocket\r\n", "UPGRADE"},
        {"Upgrade: websocket\r\n", ""},
        {"Connection: Upgrade\r\n", ""},
        {"Upgrade: websocket\r\nConnection: Upgrade-Insecure\r\n", ""},
    };
    for (auto& [headers, option] : cases)
        EXPECT_EQ(request_facts::read(std::string("GET http://h/ HTTP/1.1\r\n") + headers).upgrade_option, option)
            << headers;
}
