// WebSocket handshake, frame reading and writing, and the channel clean-up.
#include "http/http_connection.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

std::string take(http_connection& c, bool* more = nullptr)
{
    int len = 0;
    bool r = c.on_send(c.send_buffer, connection::buffer_size, &len);
    if (more)
        *more = r;
    return std::string(c.send_buffer, size_t(len));
}

void feed(http_connection& c, std::string bytes) { c.on_recv(bytes.data(), int(bytes.size())); }

// What printing `run` does to stdout.
template <typename F>
std::string printed(F run)
{
    testing::internal::CaptureStdout();
    run();
    return testing::internal::GetCapturedStdout();
}

// A client frame, masked unless told otherwise.
std::string frame(int first, const std::string& payload, bool mask = true)
{
    std::string f(1, char(first));
    size_t n = payload.size();
    char m = mask ? char(0x80) : 0;
    if (n <= 125)
        f += char(m | char(n));
    else if (n < 65536)
        f += std::string{char(m | 126), char(n >> 8), char(n)};
    else {
        f += char(m | 127);
        for (int shift = 56; shift >= 0; shift -= 8)
            f += char(uint64_t(n) >> shift);
    }
    if (!mask)
        return f + payload;
    const char key[4] = {0x12, 0x34, 0x56, 0x78};
    f.append(key, 4);
    for (size_t i = 0; i < n; i++)
        f += char(payload[i] ^ key[i % 4]);
    return f;
}

const std::string upgrade =
    "GET /chat HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
const std::string answer =
    "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\nContent-Length: 0\r\n\r\n";

// Keeps the upgraded connection live, so frames are read.
struct live : http_connection {
    void on_upgrade() override {}
};

std::unique_ptr<live> upgraded()
{
    auto c = std::make_unique<live>();
    feed(*c, upgrade);
    EXPECT_EQ(take(*c), answer);
    return c;
}

TEST(websocket, handshake_answers)
{
    auto c = std::make_unique<http_connection>();
    EXPECT_EQ(printed([&] { feed(*c, upgrade + frame(0x81, "ignored")); }), "");  // no on_headers
    EXPECT_TRUE(c->websocket);
    EXPECT_EQ(c->timeout, 0);  // the default on_upgrade finishes at once
    bool more = true;
    EXPECT_EQ(take(*c, &more), answer);
    EXPECT_EQ(take(*c, &more), "");
    EXPECT_FALSE(more);

    for (std::string bad : {"Sec-WebSocket-Key: abc\r\nSec-WebSocket-Version: 8\r\n", "Sec-WebSocket-Version: 13\r\n"}) {
        auto b = std::make_unique<http_connection>();
        EXPECT_EQ(printed([&] { feed(*b, "GET / HTTP/1.1\r\nUpgrade: websocket\r\n" + bad + "\r\n"); }),
                  "Warning! Double write() detected!\n");
        EXPECT_FALSE(b->websocket);
        EXPECT_EQ(take(*b), "HTTP/1.1 400 Bad Request\r\nSec-WebSocket-Version: 13\r\nContent-Length: 0\r\n\r\n");
    }
}

TEST(websocket, reading_frames)
{
    auto c = upgraded();
    feed(*c, frame(0x81, "Hello"));
    EXPECT_EQ(take(*c), "\x81\x05Hello");
    // Fragments with a ping between them, in one chunk.
    feed(*c, frame(0x01, "ab") + frame(0x89, "abc") + frame(0x00, "cd") + frame(0x80, "ef"));
    EXPECT_EQ(take(*c), "\x8A\x03" "abc");
    EXPECT_EQ(take(*c), "\x81\x06" "abcdef");
    EXPECT_EQ(printed([&] { feed(*c, frame(0x8A, "p")); }), "Warning! Unhandled opcode: 10\n");
    feed(*c, frame(0x88, ""));
    EXPECT_FALSE(c->keep_alive);
    EXPECT_EQ(c->timeout, 0);
    bool more = true;
    EXPECT_EQ(take(*c, &more), "");
    EXPECT_FALSE(more);

    c = upgraded();
    EXPECT_EQ(printed([&] { feed(*c, frame(0x81, "four", false)); }), "Warning! Incoming frame has no mask.\n");
    EXPECT_FALSE(c->keep_alive);
    // Refused from its header alone: 1,048,577 bytes announced, none sent.
    c = upgraded();
    EXPECT_EQ(printed([&] { feed(*c, frame(0x82, std::string(1048577, 'x')).substr(0, 14)); }),
              "Warning! Frame exceeds max length of 1048576.\n");
    EXPECT_FALSE(c->keep_alive);

    std::string f = frame(0x81, std::string(200, 'w'));  // 16-bit length form
    for (size_t cut = 1; cut < f.size(); cut++) {
        c = upgraded();
        feed(*c, f.substr(0, cut));
        EXPECT_TRUE(c->responses.empty()) << cut;
        feed(*c, f.substr(cut));
        EXPECT_EQ(take(*c), std::string("\x81\x7E\x00\xC8", 4) + std::string(200, 'w')) << cut;
    }
}

TEST(websocket, outgoing_length_forms)
{
    auto c = std::make_unique<http_connection>();
    c->send_message(std::string(126, 'a'), 1);
    EXPECT_EQ(take(*c).substr(0, 4), std::string("\x81\x7E\x00\x7E", 4));
    c->send_message(std::string(70000, 'a'), 2);
    EXPECT_EQ(take(*c).substr(0, 10), std::string("\x82\x7F\x00\x00\x00\x00\x00\x01\x11\x70", 10));
    // The largest frame is bigger than the send buffer: two calls, in order.
    c->send_message(std::string(1048575, 'z'), 2);
    std::string first = take(*c);
    EXPECT_EQ(first.size(), 1048576u);
    EXPECT_EQ(first.substr(0, 10), std::string("\x82\x7F\x00\x00\x00\x00\x00\x0F\xFF\xFF", 10));
    EXPECT_EQ(take(*c), std::string(9, 'z'));
    EXPECT_EQ(printed([&] { c->send_message(std::string(1048576, 'z'), 2); }),
              "send_message() error! Message too long: 1048576\n");
    EXPECT_TRUE(c->responses.empty());
}

TEST(channels, leaving_on_destruction)
{
    auto& registry = http_connection::channels();
    auto* other = new http_connection();
    auto* c = new http_connection();
    c->socket = 7;
    c->websocket = true;
    const char* names[] = {"shared", "alone", "foreign"};
    for (const char* name : names)
        registry.set(name, new base::arraylist<http_connection*>());
    registry.get("shared")->add(other);
    registry.get("shared")->add(c);
    registry.get("alone")->add(c);
    registry.get("foreign")->add(other);
    for (const char* name : {"shared", "missing", "alone", "foreign"})
        c->subscriptions.set(name, true);

    EXPECT_EQ(printed([&] { delete c; }),
              "Error! Channel not found: missing\nError! Subscription for 7 to foreign not found!\n");
    EXPECT_FALSE(registry.contains("alone"));  // emptied: removed and freed
    ASSERT_EQ(registry.get("shared")->size, 1u);
    EXPECT_EQ(registry.get("shared")->get(0), other);

    other->subscriptions.set("shared", true);  // never upgraded: not looked at
    EXPECT_EQ(printed([&] { delete other; }), "");
    EXPECT_EQ(registry.get("shared")->size, 1u);
    delete registry.unset("shared");
    delete registry.unset("foreign");
}

}  // namespace
