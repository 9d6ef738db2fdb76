// The request reader: request streams driven through on_recv, the reader's
// one driver, in every chunking.
#include "tests/http/drive.h"

// Each stream gives the same handler calls and body bytes whether it arrives
// whole, cut in two anywhere, or one byte per chunk: heads found across
// boundaries, keep-alive decided exactly, bodies framed exactly, and what
// follows them parsed as the next request or passed on raw ("D" after "R").
TEST(request_reader, streams_are_framed_alike_in_any_chunking)
{
    const std::string next = "GET /n HTTP/1.1\r\n\r\n", chunked = "5\r\nhello\r\n0\r\nX-Sum: 1\r\n\r\n";
    struct row { std::string stream, log, data; };
    row cases[] = {
        // HTTP/1.0 stays open only with the keep-alive option; 1.1 always (closing is the subclass's choice).
        {"GET / HTTP/1.0\r\n\r\n" + next, "H[GET /]RD", next},
        {"GET / HTTP/1.0\r\nConnection: x, Keep-Alive\r\n\r\n" + next, "H[GET /]RH[GET /n]R", ""},
        {"GET / HTTP/1.1\r\nConnection: close\r\n\r\n" + next, "H[GET /]RH[GET /n]R", ""},
        // Content-Length: behind a body and a bodiless head; above 2^31; an invalid one leaves the body's end
        // unknown, so the parsing of requests ends.
        {"POST /1 HTTP/1.1\r\nContent-Length: 3\r\n\r\nxyzGET /2 HTTP/1.1\r\n\r\nPOST /3 HTTP/1.1\r\n"
         "Content-Length: -5\r\n\r\n" + next, "H[POST /1]DRH[GET /2]RH[POST /3]RD", "xyz" + next},
        {"PUT / HTTP/1.1\r\nContent-Length: 3000000000\r\n\r\nabc", "H[PUT /]D", "abc"},
        // Chunked, framing included; a chunk line that breaks the grammar ends the input: nothing from the bad
        // byte on is passed on, and the request never completes.
        {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked + next, "H[POST /]DRH[GET /n]R", chunked},
        {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nokzz\r\n" + next, "H[POST /]DB", "2\r\nok"},
        // Empty lines before a request are skipped, also one behind a body.
        {"\r\n\r\n" + next, "H[GET /n]R", ""},
        {"POST / HTTP/1.1\r\nContent-Length: 1\r\n\r\nx\r\n" + next, "H[POST /]DRH[GET /n]R", "x"},
        {"\r\r\n" + next, "H[\r\r\nGET /n]R", ""},  // no empty line: a malformed head
    };
    for (auto& k : cases)
        for (size_t cut = 0; cut <= k.stream.size() + 1; cut++) {  // past the end: one byte per chunk
            recorder c;
            run(c, k.stream, {cut > k.stream.size() ? 1 : cut, 0});
            EXPECT_EQ(c.log, k.log) << k.stream << " cut at " << cut;
            EXPECT_EQ(c.data, k.data) << k.stream << " cut at " << cut;
        }
}
