// Request reception driven through on_recv: head assembly, parsing, body
// framing, the order of the handler calls, the length guard and holding.
#include "tests/http/drive.h"

// The request line and headers are parsed byte-exactly; get_header's quirks.
TEST(request, head_fields_and_get_header_quirks)
{
    auto c = std::make_unique<recorder>(false);
    feed(*c, "GET /a?b HTTP/1.1\r\nHost: x\r\nCookie: c=1\r\n\r\n");
    EXPECT_EQ(c->head, "GET /a?b HTTP/1.1\r\nHost: x\r\nCookie: c=1\r\n");
    EXPECT_EQ(c->url + " " + c->version + " " + c->path + " " + c->query + " " + c->cookie, "/a?b HTTP/1.1 /a b c=1");

    std::string h = "GET / HTTP/1.1\r\nCookie2: y\r\nCookie: z\r\nCONTENT-LENGTH: 5\r\nX-A:5\r\nLast: end";
    EXPECT_EQ(http_connection::get_header("cookie", h), " y");  // prefix match
    EXPECT_EQ(http_connection::get_header("content-length", h), "5");
    EXPECT_EQ(http_connection::get_header("x-a", h), "");  // no space after the colon
    EXPECT_EQ(http_connection::get_header("last", h), "end");
    EXPECT_EQ(http_connection::get_header("GET", h), "");
}

// Each stream gives the same handler calls and body bytes whether it arrives
// whole, cut in two anywhere, or one byte per chunk: heads found across
// boundaries, keep-alive decided exactly, bodies framed exactly, and what
// follows them parsed as the next request or passed on raw ("D" after "R").
TEST(request, streams_are_framed_alike_in_any_chunking)
{
    const std::string next = "GET /n HTTP/1.1\r\n\r\n", chunked = "5;n=\"v\"\r\nhello\r\n1A \t;x\r\n" +
                                                                   std::string(26, 'z') + "\r\n0\r\nExpires: never\r\nX-Sum: 1\r\n\r\n";
    struct row { std::string stream, log, data; };
    row cases[] = {
        // HTTP/1.0 stays open only with the keep-alive option (any case, any place in the list), 1.1 always.
        {"GET / HTTP/1.0\r\n\r\n" + next, "H[GET /]RD", next},
        {"GET / HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n" + next, "H[GET /]RH[GET /n]R", ""},
        {"GET / HTTP/1.0\r\nConnection: x, keep-alive\r\n\r\n" + next, "H[GET /]RH[GET /n]R", ""},
        {"GET / HTTP/1.0\r\nConnection: keep-alive-x\r\n\r\n" + next, "H[GET /]RD", next},
        {"GET / HTTP/1.1\r\nConnection: close\r\n\r\n" + next, "H[GET /]RH[GET /n]R", ""},
        // Content-Length: behind a body and a bodiless head, without blanks, in a list of equal values;
        // above 2^31; an invalid one leaves the body's end unknown, so the parsing of requests ends.
        {"POST /1 HTTP/1.1\r\nContent-Length:3\r\n\r\nxyzGET /2 HTTP/1.1\r\n\r\nPOST /3 HTTP/1.1\r\n"
         "content-length: 2 ,2\r\nContent-Length: 2\r\n\r\nokPOST /4 HTTP/1.1\r\nContent-Length: -5\r\n\r\n" + next,
         "H[POST /1]DRH[GET /2]RH[POST /3]DRH[POST /4]RD", "xyzok" + next},
        {"POST / HTTP/1.0\r\nContent-Length: 2\r\n\r\nhi" + next, "H[POST /]DRD", "hi" + next},
        {"PUT / HTTP/1.1\r\nContent-Length: 3000000000\r\n\r\nabc", "H[PUT /]D", "abc"},
        // Chunked: as the last coding of one list over several lines, in any letter case; another last coding
        // or a Content-Length beside it ends the parsing; a chunk line that breaks the grammar ends the input:
        // nothing from the bad byte on is passed on, and the request never completes.
        {"POST / HTTP/1.1\r\nTransfer-Encoding:gzip\r\ntransfer-encoding: \tChunked \r\n\r\n" + chunked + next,
         "H[POST /]DRH[GET /n]R", chunked},
        {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked, gzip\r\n\r\n" + next, "H[POST /]RD", next},
        {"POST / HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n" + next, "H[POST /]RD", next},
        {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nokzz\r\n" + next, "H[POST /]D", "2\r\nok"},
        // Empty lines before a request are skipped, also one behind a body.
        {"\r\n\r\n" + next, "H[GET /n]R", ""},
        {"POST / HTTP/1.1\r\nContent-Length: 1\r\n\r\nx\r\n" + next, "H[POST /]DRH[GET /n]R", "x"},
        {"\r\r\n" + next, "H[\r\r\nGET /n]R", ""},  // no empty line: a malformed head
    };
    for (auto& k : cases)
        for (size_t cut = 0; cut <= k.stream.size() + 1; cut++) {  // past the end: one byte per chunk
            auto c = std::make_unique<recorder>();  // a megabyte of send buffer: not on the stack
            run(*c, k.stream, {cut > k.stream.size() ? 1 : cut, 0});
            EXPECT_EQ(c->log, k.log) << k.stream << " cut at " << cut;
            EXPECT_EQ(c->data, k.data) << k.stream << " cut at " << cut;
        }
}

// A bare connection refuses bytes once over max_request_length; relays_body()
// lifts the limit for body and tunnel bytes only, never for the head. Each
// raw tunnel chunk is followed by an on_request call.
TEST(request, length_guard)
{
    const std::string warning = "Warning! Request exceeds max length of 20.\n", tunnel(50, 't');
    struct row { bool relay; std::string first, second, printed, log, data; };
    row cases[] = {
        {false, "POST / HTTP/1.1\r\nContent-Length: 100\r\n\r\n", "abc", warning, "H[POST /]", ""},
        {true, "CONNECT h:443 HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc", tunnel, "", "H[CONNECT h:443]DRD", "abc" + tunnel},
        {true, std::string(21, 'h'), "\r\n\r\n", warning, "", ""},
    };
    for (auto& k : cases) {
        auto c = std::make_unique<recorder>();
        c->relay = k.relay;
        c->max_request_length = 20;
        EXPECT_EQ(printed([&] { run(*c, k.first + k.second, {k.first.size(), 0}); }), k.printed) << k.first;
        EXPECT_EQ(c->log, k.log);
        EXPECT_EQ(c->data, k.data);
        EXPECT_EQ(c->raw, k.log.ends_with("RD") ? 1 : 0);
    }
}

// A subclass that is not ready for the next request keeps the bytes behind
// the current one unparsed until it resumes: guards against parsing (or
// losing, or reordering) pipelined bytes while held.
TEST(request, pipelined_requests_wait_until_the_subclass_is_ready)
{
    auto c = std::make_unique<recorder>();
    c->hold = true;
    feed(*c, "POST /1 HTTP/1.1\r\nContent-Length: 3\r\n\r\nabcGET /2 HTTP/1.1\r\n\r\nGET /3 HTTP/1.1\r\n");
    EXPECT_EQ(c->log, "H[POST /1]DR");
    EXPECT_EQ(c->data, "abc");
    feed(*c, "\r\n");      // arrives behind what is held
    c->resume_requests();  // still not ready: nothing happens
    EXPECT_EQ(c->log, "H[POST /1]DR");
    for (const char* log : {"H[POST /1]DRH[GET /2]R", "H[POST /1]DRH[GET /2]RH[GET /3]R"}) {
        c->ready = true;
        c->resume_requests();
        EXPECT_EQ(c->log, log);
    }
    EXPECT_TRUE(c->held.empty());
}
