// Answers: write(), the send queue drained through on_send with its data,
// file and thread pieces, the default answer and the description line.
#include "tests/http/drive.h"

#include <arpa/inet.h>
#include <cstdio>

// write() adds the length only where needed, refuses a second answer, cuts a
// large answer into buffer-sized pieces and leaves the body out for HEAD;
// on_send's result says whether the connection stays open.
TEST(response, write_and_on_send)
{
    auto c = std::make_unique<http_connection>();
    bool more = false;
    EXPECT_EQ(take(*c, &more), "");
    EXPECT_TRUE(more);  // nothing answered yet

    c->write("HTTP/1.1 200 OK\r\n", "x");
    EXPECT_EQ(printed([&] { c->write("HTTP/1.1 500 No\r\n", "y"); }), "Warning! Double write() detected!\n");
    EXPECT_EQ(take(*c), "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nx");
    EXPECT_EQ(take(*c, &more), "");
    EXPECT_TRUE(more);  // answered, kept alive

    c->reset();  // not kept alive: no length, the answer in buffer-sized pieces, then the end
    c->keep_alive = false;
    std::string head = "HTTP/1.1 200 OK\r\n", body(2500000, 'b'), all;
    c->write(head, body);
    for (int i = 0; i < 5 && all.size() < head.size() + 2 + body.size(); i++) {
        all += take(*c, &more);
        EXPECT_TRUE(more);
    }
    EXPECT_EQ(all, head + "\r\n" + body);
    EXPECT_EQ(take(*c, &more), "");
    EXPECT_FALSE(more);

    c = std::make_unique<http_connection>();  // HEAD: the length of the body it would have had
    printed([&] { feed(*c, "HEAD / HTTP/1.1\r\n\r\n"); });
    EXPECT_EQ(take(*c), "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 37\r\n\r\n");
}

// The default answer echoes the head; the description line trusts
// X-Forwarded-For only from 127.0.0.1.
TEST(response, default_answer_and_info_line)
{
    auto c = std::make_unique<http_connection>();
    c->peer_address = htonl(0x0A000001);  // 10.0.0.1: only 127.0.0.1 is trusted
    c->peer_port = 51234;
    std::string text = "GET /index.html HTTP/1.1\r\nUser-Agent: test-agent\r\nX-Forwarded-For: 10.0.0.7\r\n\r\n";
    EXPECT_EQ(printed([&] { feed(*c, text); }), "10.0.0.1:51234 GET /index.html HTTP/1.1 [test-agent]\n");
    std::string body = text + "0 bytes of content";
    EXPECT_EQ(take(*c), "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                            std::to_string(body.size()) + "\r\n\r\n" + body);

    c->peer_address = htonl(0x7F000001);  // a local front end is trusted
    EXPECT_EQ(printed([&] { feed(*c, "GET / HTTP/1.1\r\nX-Forwarded-For: 10.0.0.7, 10.0.0.8\r\n\r\nGET / HTTP/1.1\r\n\r\n"); }),
              "10.0.0.7, 10.0.0.8:51234 GET / HTTP/1.1 []\n127.0.0.1:51234 GET / HTTP/1.1 []\n");
}

// A file with `text` in it, at its start; the piece that takes it closes it.
static FILE* file_of(const std::string& text)
{
    FILE* f = tmpfile();
    fputs(text.c_str(), f);
    rewind(f);
    return f;
}

// File pieces send a length or up to the end of the file, in pieces of at
// most the cap; a thread piece waits until `done`, then goes out as one chunk
// of the chunked coding and sets its time-out, or as the last chunk alone,
// with a warning, when it would not fit. The queue keeps its order throughout.
TEST(response, file_and_thread_pieces)
{
    auto c = std::make_unique<http_connection>();
    auto queue = [&](FILE* file, double remaining, http_connection::thread_response* thread = nullptr) {
        auto* part = new http_connection::response_part();
        part->file = file;
        part->remaining = remaining;
        part->thread = thread;
        part->timeout = 42;
        c->responses.add(part);
    };
    auto* slow = new http_connection::thread_response(), *large = new http_connection::thread_response();
    queue(file_of("0123456789"), 4);
    queue(file_of("abcdefg"), -1);
    queue(file_of("short"), 100);  // the file ends first
    queue(nullptr, -1, slow);
    queue(nullptr, -1, large);
    std::string sent;
    bool more = false;
    for (int i = 0; i < 8; i++)
        sent += take(*c, &more, 3) + "|";
    EXPECT_EQ(sent, "012|3||abc|def|g|sho|rt|");
    EXPECT_EQ(take(*c, &more, 16), "");  // not done yet: asked again later
    EXPECT_TRUE(more);
    slow->result = var("hello");
    slow->done = 1;
    EXPECT_EQ(take(*c, &more, 16), "5\r\nhello\r\n0\r\n\r\n");
    EXPECT_EQ(c->timeout, 42);
    large->result = var(std::string(20, 'x'));
    large->done = 1;
    EXPECT_EQ(printed([&] { EXPECT_EQ(take(*c, &more, 16), "0\r\n\r\n"); }),
              "Warning! Thread response (31) exceeds buffer size (16).\n");
    EXPECT_TRUE(c->responses.empty());
    // Even the last chunk alone never goes past a smaller cap.
    auto* tiny = new http_connection::thread_response();
    tiny->result = var("hello");
    tiny->done = 1;
    queue(nullptr, -1, tiny);
    std::string first;
    EXPECT_EQ(printed([&] { first = take(*c, &more, 3); }), "Warning! Thread response (15) exceeds buffer size (3).\n");
    EXPECT_EQ(first + "|" + take(*c, &more, 3), "0\r\n|\r\n");
    EXPECT_TRUE(c->responses.empty());
}
