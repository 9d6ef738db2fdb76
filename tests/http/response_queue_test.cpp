// The response queue: answers written into it, and its data, file and thread
// pieces handed over in order.
#include "tests/http/drive.h"

#include <cstdio>

namespace {

// One take() with room for cap bytes.
std::string take(response_queue& q, int cap, int32_t* timeout = nullptr)
{
    static std::unique_ptr<char[]> buf(new char[4 * response_queue::piece_size]);
    int32_t ignored = 0;
    int n = q.take(buf.get(), cap, timeout ? timeout : &ignored);
    EXPECT_TRUE(n >= 0 && n <= cap);
    return std::string(buf.get(), size_t(n));
}

// A file with `text` in it, at its start; the piece that takes it closes it.
FILE* file_of(const std::string& text)
{
    FILE* f = tmpfile();
    fputs(text.c_str(), f);
    rewind(f);
    return f;
}

}  // namespace

// write() adds the length when asked, then the extra headers (leaving the
// body out for HEAD is http_connection's test); it takes one answer per
// request and cuts a large one into pieces of at most piece_size.
TEST(response_queue, write)
{
    response_queue q;
    q.extra_headers = "X: 1\r\n";
    q.write("HTTP/1.1 200 OK\r\n", "x", true, true);
    EXPECT_EQ(printed([&] { q.write("HTTP/1.1 500 No\r\n", "y", true, true); }), "Warning! Double write() detected!\n");
    EXPECT_EQ(take(q, 100), "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nX: 1\r\n\r\nx");
    EXPECT_TRUE(q.empty());

    q.next_request();  // the extra headers were the last request's
    std::string head = "HTTP/1.1 200 OK\r\n\r\n", body(2 * response_queue::piece_size, 'b');
    q.write("HTTP/1.1 200 OK\r\n", body, false, true);
    std::string sent = take(q, 4 * response_queue::piece_size);
    EXPECT_EQ(sent.size(), size_t(response_queue::piece_size));
    sent += take(q, 4 * response_queue::piece_size) + take(q, 4 * response_queue::piece_size);
    EXPECT_EQ(sent, head + body);
    EXPECT_TRUE(q.empty());
}

// File pieces send a length or up to the end of the file, in pieces of at
// most the cap; a thread piece waits until `done`, then goes out as one chunk
// of the chunked coding and sets its time-out, or as the last chunk alone,
// with a warning, when it would not fit. The queue keeps its order throughout.
TEST(response_queue, file_and_thread_pieces)
{
    response_queue q;
    auto queue = [&](FILE* file, double remaining, response_queue::thread_response* thread = nullptr) {
        auto* p = new response_queue::piece();
        p->file = file;
        p->remaining = remaining;
        p->thread = thread;
        p->timeout = 42;
        q.add(p);
    };
    auto done = [](response_queue::thread_response* t, const var& result) { t->result = result, t->done = 1; return t; };
    auto *slow = new response_queue::thread_response(), *large = new response_queue::thread_response();
    queue(file_of("0123456789"), 4);
    queue(file_of("abcdefg"), -1);
    queue(file_of("short"), 100);  // the file ends first
    queue(nullptr, -1, slow);
    queue(nullptr, -1, large);
    std::string sent;
    for (int i = 0; i < 8; i++)
        sent += take(q, 3) + "|";
    EXPECT_EQ(sent, "012|3||abc|def|g|sho|rt|");
    EXPECT_EQ(take(q, 16), "");  // not done yet: asked again later
    done(slow, var("hello"));
    int32_t timeout = 10;
    EXPECT_EQ(take(q, 16, &timeout), "5\r\nhello\r\n0\r\n\r\n");
    EXPECT_EQ(timeout, 42);
    done(large, var(std::string(20, 'x')));
    EXPECT_EQ(printed([&] { EXPECT_EQ(take(q, 16), "0\r\n\r\n"); }),
              "Warning! Thread response (31) exceeds buffer size (16).\n");
    EXPECT_TRUE(q.empty());
    // Even the last chunk alone never goes past a smaller cap.
    queue(nullptr, -1, done(new response_queue::thread_response(), var("hello")));
    std::string first;
    EXPECT_EQ(printed([&] { first = take(q, 3); }), "Warning! Thread response (15) exceeds buffer size (3).\n");
    EXPECT_EQ(first + "|" + take(q, 3), "0\r\n|\r\n");
    EXPECT_TRUE(q.empty());
}
