// The connection's own part of receiving and sending: the limits, holding,
// passing through, when it ends, the default answers and the description
// line.
#include "tests/http/drive.h"

#include <arpa/inet.h>

// A bare connection drops chunks once a request is over max_request_length;
// relays_body() lifts that limit for body and tunnel bytes only, never for
// the head. A head, blank line included, of max_head_length bytes fits; one
// byte more is refused at once and every later byte dropped. Each raw tunnel
// chunk is followed by an on_request call.
TEST(http_connection, length_limits)
{
    const std::string warning = "Warning! Request exceeds max length of 20.\n", tunnel(50, 't');
    struct row { bool relay, head_limit; std::string first, second, printed, log, data; };
    row cases[] = {
        {false, false, "POST / HTTP/1.1\r\nContent-Length: 100\r\n\r\n", "abc", warning, "H[POST /]", ""},
        {true, false, "CONNECT h:443 HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc", tunnel, "", "H[CONNECT h:443]DRD", "abc" + tunnel},
        {true, false, std::string(21, 'h'), "\r\n\r\n", warning, "", ""},
        {false, true, "GET /ab HTTP/1.1\r\n", "\r\n", "", "H[GET /ab]R", ""},
        {false, true, "GET /abc HTTP/1.1\r\n", "\r\nGET / HTTP/1.1\r\n\r\n", warning, "L", ""},
    };
    for (auto& k : cases) {
        recorder c;
        c.relay = k.relay;
        (k.head_limit ? c.max_head_length : c.max_request_length) = 20;
        EXPECT_EQ(printed([&] { run(c, k.first + k.second, {k.first.size(), 0}); }), k.printed) << k.first;
        EXPECT_EQ(c.log, k.log);
        EXPECT_EQ(c.data, k.data);
        EXPECT_EQ(c.raw, k.log.ends_with("RD") ? 1 : 0);
    }
}

// A subclass that is not ready for the next request keeps the bytes behind
// the current one unparsed until it resumes: guards against parsing (or
// losing, or reordering) pipelined bytes while held. Once the protocol has
// switched, the held bytes go on raw, ready or not.
TEST(http_connection, pipelined_requests_wait_until_the_subclass_is_ready)
{
    recorder c;
    c.hold = true;
    feed(c, "POST /1 HTTP/1.1\r\nContent-Length: 3\r\n\r\nabcGET /2 HTTP/1.1\r\n\r\nGET /3 HTTP/1.1\r\n");
    EXPECT_EQ(c.log, "H[POST /1]DR");
    EXPECT_EQ(c.data, "abc");
    feed(c, "\r\n");      // arrives behind what is held
    c.resume_requests();  // still not ready: nothing happens
    EXPECT_EQ(c.log, "H[POST /1]DR");
    for (const char* log : {"H[POST /1]DRH[GET /2]R", "H[POST /1]DRH[GET /2]RH[GET /3]R"}) {
        c.ready = true;
        c.resume_requests();
        EXPECT_EQ(c.log, log);
    }
    EXPECT_TRUE(c.held().empty());
    feed(c, "after 101");
    c.pass_through();
    EXPECT_EQ(c.data + "|" + std::to_string(c.raw), "abcafter 101|1");
}

// on_send keeps the connection open until an answer has gone, again for the
// next request after a kept-alive one, and ends it after the last; write()
// adds the length only where the end of the connection does not delimit the
// body, and leaves the body out for HEAD. The default answer echoes the head.
TEST(http_connection, default_answers_and_the_end_of_the_connection)
{
    http_connection c;
    bool more = false;
    EXPECT_EQ(take(c, &more), "");
    EXPECT_TRUE(more);  // nothing answered yet
    std::string get = "GET / HTTP/1.1\r\n\r\n", head = "HEAD / HTTP/1.1\r\n\r\n", last = "GET / HTTP/1.0\r\n\r\n";
    std::string out;
    printed([&] { out = run(c, get, {}, connection::buffer_size, &more); });
    EXPECT_TRUE(more);  // kept alive
    printed([&] { out += run(c, head + last, {}, connection::buffer_size, &more); });
    auto answer = [](const std::string& request, bool length, bool with_body) {
        std::string echo = request + "0 bytes of content";
        return "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n" +
               (length ? "Content-Length: " + std::to_string(echo.size()) + "\r\n" : "") + "\r\n" +
               (with_body ? echo : "");
    };
    EXPECT_EQ(out, answer(get, true, true) + answer(head, true, false) + answer(last, false, true));
    EXPECT_FALSE(more);
}

// The description line trusts X-Forwarded-For only from 127.0.0.1, its
// fields looked up in any case; header lookups at the edges of a head.
TEST(http_connection, info_line_and_header_lookups)
{
    http_connection c;
    auto from = [](uint32_t address) {
        sockaddr_in four{AF_INET, htons(51234), {htonl(address)}, {}};
        return socket_address(reinterpret_cast<const sockaddr*>(&four), sizeof four);
    };
    c.peer = from(0x0A000001);  // 10.0.0.1: only 127.0.0.1 is trusted
    std::string text = "GET /index.html HTTP/1.1\r\nUser-Agent: test-agent\r\nX-Forwarded-For: 10.0.0.7\r\n\r\n";
    EXPECT_EQ(printed([&] { feed(c, text); }), "10.0.0.1:51234 GET /index.html HTTP/1.1 [test-agent]\n");
    c.peer = from(0x7F000001);  // a local front end is trusted
    EXPECT_EQ(printed([&] { feed(c, "GET /i HTTP/1.0\r\nx-forwarded-for: 10.0.0.7, 10.0.0.8\r\n\r\n"); }),
              "10.0.0.7, 10.0.0.8:51234 GET /i HTTP/1.0 []\n");

    std::string h = "GET / HTTP/1.1\r\nLast: end";
    EXPECT_EQ(http_connection::get_header("last", h), "end");  // no line end needed
    EXPECT_EQ(http_connection::get_header("GET", h), "");     // the request line is no field
}

// A connection parses at most max_heads_per_turn heads in one turn of the
// server, however many it has received: the rest wait, unread, and the
// connection wakes itself to go on in the next turn. A head must be whole
// within max_head_seconds of its first byte, however often bytes of it come.
TEST(http_connection, heads_are_bounded_per_turn_and_in_time)
{
    recorder c;
    std::string many;
    for (int i = 0; i < 3 * http_connection::max_heads_per_turn; i++)
        many += "GET /" + std::to_string(i) + " HTTP/1.1\r\n\r\n";
    feed(c, many);
    size_t parsed = 0;
    for (size_t at = c.log.find("H["); at != std::string::npos; at = c.log.find("H[", at + 1))
        parsed++;
    EXPECT_EQ(parsed, size_t(http_connection::max_heads_per_turn));
    EXPECT_FALSE(c.held().empty());
    EXPECT_FALSE(c.wants_input());  // what waits is read first
    std::string log = c.log;
    c.resume_requests();  // the same turn: nothing more
    EXPECT_EQ(c.log, log);

    recorder slow;
    feed(slow, "GET / HTTP/1.1\r\nX: ");
    int64_t start = slow.last_active, limit = int64_t(http_connection::max_head_seconds) * 1000;
    for (int64_t t = start; t <= start + limit; t += 5000) {
        slow.last_active = t;  // a byte now and then
        EXPECT_FALSE(slow.timed_out(t)) << t - start;
    }
    EXPECT_EQ(slow.deadline(), start + limit + 1);  // the head's limit, not the idle one
    slow.last_active = start + limit + 1;
    EXPECT_TRUE(slow.timed_out(start + limit + 1));
}
