// Answers: write(), the send queue drained through on_send, the default
// answer and the request description line.
#include "http/http_connection.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <memory>
#include <string>

namespace {

// One on_send call as the server makes it, except that the length starts
// out invalid: on_send must store one on every path.
std::string take(http_connection& c, bool* more = nullptr, int cap = connection::buffer_size)
{
    int len = -1;
    bool r = c.on_send(c.send_buffer, cap, &len);
    if (more)
        *more = r;
    EXPECT_TRUE(len >= 0 && len <= cap) << len;
    return len < 0 ? "<no length>" : std::string(c.send_buffer, size_t(len));
}

void feed(http_connection& c, std::string bytes) { c.on_recv(bytes.data(), int(bytes.size())); }

TEST(response, write_and_on_send)
{
    auto c = std::make_unique<http_connection>();
    bool more = false;
    EXPECT_EQ(take(*c, &more), "");
    EXPECT_TRUE(more);  // nothing answered yet

    c->write("HTTP/1.1 200 OK\r\n", "x");
    testing::internal::CaptureStdout();
    c->write("HTTP/1.1 500 No\r\n", "y");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Warning! Double write() detected!\n");
    EXPECT_EQ(take(*c), "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nx");
    EXPECT_EQ(take(*c, &more), "");
    EXPECT_TRUE(more);  // answered, kept alive

    c->reset();
    c->extra_headers = "X-E: 1\r\n";
    c->write("HTTP/1.1 200 OK\r\nContent-Length:0\r\n", "");
    EXPECT_EQ(take(*c), "HTTP/1.1 200 OK\r\nContent-Length:0\r\nContent-Length: 0\r\nX-E: 1\r\n\r\n");

    // Not kept alive: no length, cut into buffer-sized pieces, then finished.
    c->reset();
    c->keep_alive = false;
    std::string body(2500000 - 19, 'b');
    c->write("HTTP/1.1 200 OK\r\n", body);
    std::string all;
    for (size_t want : {1048576u, 1048576u, 402848u}) {
        std::string piece = take(*c, &more);
        EXPECT_EQ(piece.size(), want);
        EXPECT_TRUE(more);
        all += piece;
    }
    EXPECT_EQ(all, "HTTP/1.1 200 OK\r\n\r\n" + body);
    EXPECT_EQ(take(*c, &more), "");
    EXPECT_FALSE(more);

    // HEAD gets the length of the body it would have received.
    struct five : http_connection {
        void on_headers() override {}
        void on_request() override { write("HTTP/1.1 200 OK\r\n", "12345"); }
    };
    auto h = std::make_unique<five>();
    feed(*h, "HEAD / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(take(*h), "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n");
}

TEST(response, file_and_thread_pieces)
{
    auto c = std::make_unique<http_connection>();
    for (double remaining : {4.0, -1.0}) {
        auto* part = new http_connection::response_part();
        part->file = tmpfile();
        fputs("0123456789", part->file);
        rewind(part->file);
        part->remaining = remaining;
        c->responses.add(part);
    }
    EXPECT_EQ(take(*c), "0123");
    EXPECT_EQ(take(*c), "");  // nothing remaining: the piece goes
    EXPECT_EQ(take(*c, nullptr, 6), "012345");
    EXPECT_EQ(take(*c, nullptr, 6), "6789");  // short read: the piece goes
    EXPECT_TRUE(c->responses.empty());

    struct counted : http_connection::thread_response {
        int* deaths;
        explicit counted(int* d) : deaths(d) {}
        ~counted() override { ++*deaths; }
    };
    int deaths = 0;
    http_connection::response_part* parts[3];
    for (auto*& part : parts) {
        part = new http_connection::response_part();
        part->thread = new counted(&deaths);
        part->timeout = 33;
        c->responses.add(part);
    }
    bool more = false;
    EXPECT_EQ(take(*c, &more), "");  // not done: asked again later
    EXPECT_TRUE(more);
    parts[0]->thread->result = var("hello");
    parts[0]->thread->done = 1;
    EXPECT_EQ(take(*c), "5\r\nhello\r\n0\r\n\r\n");
    EXPECT_EQ(c->timeout, 33);
    EXPECT_EQ(deaths, 1);
    parts[1]->thread->result = var(std::string(1048576, 'x'));
    parts[1]->thread->done = 1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(take(*c), "0\r\n\r\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Warning! Thread response (1048591) exceeds buffer size (1048576).\n");
    c.reset();  // the unsent piece dies with the connection
    EXPECT_EQ(deaths, 3);
}

TEST(response, default_answer_and_info_line)
{
    auto c = std::make_unique<http_connection>();
    c->peer_address = htonl(0xC0A80105);  // 192.168.1.5
    c->peer_port = 51234;
    testing::internal::CaptureStdout();
    feed(*c, "GET /index.html HTTP/1.1\r\nUser-Agent: test-agent\r\nX-Forwarded-For: 10.0.0.7\r\n\r\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "192.168.1.5:51234 GET /index.html HTTP/1.1 [test-agent]\n");
    std::string body = "GET /index.html HTTP/1.1\r\nUser-Agent: test-agent\r\nX-Forwarded-For: 10.0.0.7\r\n\r\n"
                       "0 bytes of content";
    EXPECT_EQ(take(*c), "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                            std::to_string(body.size()) + "\r\n\r\n" + body);

    c->peer_address = htonl(0x7F000001);
    c->head = "GET / HTTP/1.1\r\nX-Forwarded-For: 10.0.0.7, 10.0.0.8\r\n";
    c->method = "GET";
    c->url = "/";
    c->version = "HTTP/1.1";
    EXPECT_EQ(c->info(true), "10.0.0.7, 10.0.0.8:51234 GET / HTTP/1.1 []");
    c->head = "GET / HTTP/1.1\r\n";
    EXPECT_EQ(c->info(false), "127.0.0.1:51234 GET / HTTP/1.1");
}

}  // namespace
