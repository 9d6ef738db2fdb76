// Request reception driven through on_recv: head assembly, parsing, body
// framing, the order of the handler calls and the length guard.
#include "http/http_connection.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

// Logs H[method url] for on_headers, D for a run of on_data calls (bytes
// collected in `data`), R for on_request.
struct recorder : http_connection {
    std::string log, data;
    bool relay = false;

    void on_headers() override
    {
        log += "H[" + method + " " + url + "]";
        if (method == "CONNECT")
            keep_alive = false;  // a tunnel, as the proxy makes one
    }
    void on_data(char* d, int n) override
    {
        if (log.empty() || log.back() != 'D')
            log += "D";
        data.append(d, size_t(n));
    }
    void on_request() override { log += "R"; }
    bool relays_body() const override { return relay; }
    void feed(std::string bytes) { on_recv(bytes.data(), int(bytes.size())); }
};

std::unique_ptr<recorder> make(bool keep_alive = true)
{
    auto c = std::make_unique<recorder>();
    c->keep_alive = keep_alive;
    return c;
}

TEST(request, head_parsing)
{
    // One byte per chunk: the terminator is found across chunk boundaries.
    std::string text = "GET /a?b HTTP/1.1\r\nHost: x\r\nCookie: c=1\r\n\r\n";
    auto c = make(false);
    for (char ch : text)
        c->feed(std::string(1, ch));
    EXPECT_EQ(c->log, "H[GET /a?b]R");
    EXPECT_EQ(c->head, "GET /a?b HTTP/1.1\r\nHost: x\r\nCookie: c=1\r\n");
    EXPECT_EQ(c->version, "HTTP/1.1");
    EXPECT_EQ(c->path, "/a");
    EXPECT_EQ(c->query, "b");
    EXPECT_EQ(c->cookie, "c=1");

    // A terminator at offset 0 never counts.
    c = make();
    c->feed("\r\n\r\nGET / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(c->log, "");

    // Fewer than two spaces: the searches run on into the header lines.
    c = make(false);
    c->feed("GET /a\r\nHost: x\r\n\r\n");
    EXPECT_EQ(c->url, "/a\r\nHost:");
    EXPECT_EQ(c->version, "x");
    c = make(false);
    c->query = "kept";
    c->feed("GET ?x HTTP/1.1\r\n\r\n");
    EXPECT_EQ(c->path, "?x");
    EXPECT_EQ(c->query, "kept");

    std::string h = "GET / HTTP/1.1\r\nCookie2: y\r\nCookie: z\r\nCONTENT-LENGTH: 5\r\nX-A:5\r\nLast: end";
    EXPECT_EQ(http_connection::get_header("cookie", h), " y");  // prefix match
    EXPECT_EQ(http_connection::get_header("content-length", h), "5");
    EXPECT_EQ(http_connection::get_header("x-a", h), "");  // no space after the colon
    EXPECT_EQ(http_connection::get_header("last", h), "end");
    EXPECT_EQ(http_connection::get_header("GET", h), "");
}

TEST(request, keep_alive_decision_is_exact)
{
    struct {
        const char* text;
        bool keep;
    } cases[] = {
        {"GET / HTTP/1.0\r\n\r\n", false},
        {"GET / HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n", true},
        {"GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", false},
        {"GET / HTTP/1.1\r\nConnection: close\r\n\r\n", true},
    };
    for (auto& k : cases) {
        auto c = make();
        c->feed(k.text);
        EXPECT_EQ(c->keep_alive, k.keep) << k.text;
        EXPECT_EQ(c->log, "H[GET /]R") << k.text;
        EXPECT_EQ(c->headers_received, !k.keep) << "reset only when kept alive";
    }
}

TEST(request, content_length_frames_the_body_exactly)
{
    auto c = make();
    c->feed("POST /u HTTP/1.1\r\ncontent-length: 5\r\n\r\nab");
    c->feed("cde");
    EXPECT_EQ(c->log, "H[POST /u]DR");
    EXPECT_EQ(c->data, "abcde");

    // Pipelined behind a body and behind a bodiless head, in one chunk.
    c = make();
    c->feed("POST /1 HTTP/1.1\r\nContent-Length: 3\r\n\r\nxyzGET /2 HTTP/1.1\r\n\r\nGET /3 HTTP/1.1\r\n\r\nGE");
    EXPECT_EQ(c->log, "H[POST /1]DRH[GET /2]RH[GET /3]R");
    EXPECT_EQ(c->data, "xyz");
    EXPECT_EQ(c->head, "GE");

    // Not kept alive: what follows is raw, each run followed by on_request.
    c = make();
    c->feed("POST / HTTP/1.0\r\nContent-Length: 2\r\n\r\nhiGET / HTTP/1.1\r\n\r\n");
    c->feed("more");
    EXPECT_EQ(c->log, "H[POST /]DRDRDR");
    EXPECT_EQ(c->data, "hiGET / HTTP/1.1\r\n\r\nmore");

    c = make();
    c->feed("PUT / HTTP/1.1\r\nContent-Length: 3000000000\r\n\r\nabc");
    EXPECT_EQ(c->content_length, 3000000000LL);
    EXPECT_EQ(c->log, "H[PUT /]D");
    for (const char* bad : {"-5", "abc"}) {
        c = make();
        c->feed(std::string("POST / HTTP/1.1\r\nContent-Length: ") + bad + "\r\n\r\nGET /n HTTP/1.1\r\n\r\n");
        EXPECT_EQ(c->log, "H[POST /]RH[GET /n]R") << bad;
    }
}

TEST(request, chunked_body_is_framed_at_every_split)
{
    const std::string body = "4;ext=1\r\nWiki\r\n5\r\npedia\r\n0\r\nX-T: 1\r\n\r\n";
    const std::string text = "POST /u HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: gzip, Chunked\r\n\r\n" +
                             body + "GET /n HTTP/1.1\r\n\r\n";
    for (size_t cut = 1; cut < text.size(); cut++) {
        auto c = make();
        c->feed(text.substr(0, cut));
        c->feed(text.substr(cut));
        EXPECT_EQ(c->log, "H[POST /u]DRH[GET /n]R") << "cut at " << cut;
        EXPECT_EQ(c->data, body) << "cut at " << cut;
    }
    auto c = make();  // "chunked" not last: no framing, no body
    c->feed("POST / HTTP/1.1\r\nTransfer-Encoding: chunked, gzip\r\n\r\nGET /n HTTP/1.1\r\n\r\n");
    EXPECT_EQ(c->log, "H[POST /]RH[GET /n]R");

    // Malformed framing: the request completes, the rest is raw, nothing lost.
    c = make();
    c->feed("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nokzz\r\nGET /x HTTP/1.1\r\n\r\n");
    EXPECT_FALSE(c->keep_alive);
    EXPECT_EQ(c->log, "H[POST /]DRDR");
    EXPECT_EQ(c->data, "2\r\nokzz\r\nGET /x HTTP/1.1\r\n\r\n");
}

TEST(request, length_guard)
{
    const char* warning = "Warning! Request exceeds max length of 20.\n";
    // A bare connection counts body bytes and refuses once over.
    auto c = make();
    c->max_request_length = 20;
    testing::internal::CaptureStdout();
    c->feed("POST / HTTP/1.1\r\nContent-Length: 100\r\n\r\n");
    c->feed("abc");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), warning);
    EXPECT_EQ(c->data, "");

    // A relaying subclass passes body and tunnel bytes on without limit...
    c = make();
    c->relay = true;
    c->max_request_length = 20;
    testing::internal::CaptureStdout();
    c->feed("CONNECT h:443 HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc");
    c->feed(std::string(50, 't'));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(c->data, "abc" + std::string(50, 't'));

    // ...but its head stays limited.
    c = make();
    c->relay = true;
    c->max_request_length = 20;
    testing::internal::CaptureStdout();
    c->feed(std::string(21, 'h'));
    c->feed("\r\n\r\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), warning);
    EXPECT_FALSE(c->headers_received);
}

}  // namespace
