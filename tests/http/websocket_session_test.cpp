// The WebSocket session: the handshake, reading frames and writing them, and
// the channel clean-up.
#include "tests/http/drive.h"

// A client frame with a 7- or 16-bit length, masked unless told otherwise.
static std::string frame(int first, const std::string& payload, bool mask = true)
{
    size_t n = payload.size();
    char m = mask ? char(0x80) : 0;
    std::string f = n <= 125 ? std::string{char(first), char(m | char(n))}
                             : std::string{char(first), char(m | 126), char(n >> 8), char(n)};
    const char key[4] = {0x12, 0x34, 0x56, 0x78};
    f.append(key, mask ? 4 : 0);
    for (size_t i = 0; i < n; i++)
        f += char(payload[i] ^ (mask ? key[i % 4] : 0));
    return f;
}

const std::string answer =
    "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\nContent-Length: 0\r\n\r\n";

// Once upgraded, stays live, so frames are read; the message limit is 250.
struct live_session : http_connection {
    void on_upgrade() override { websocket()->max_message_length = 250; }
};

// The default on_upgrade sends the 101 answer with the accept key of RFC
// 6455's example, then ends the connection at once, reading no frame; a
// wrong version or a missing key gets a 400 answer and no upgrade.
TEST(websocket_session, handshake_answers)
{
    auto c = std::make_unique<http_connection>();
    EXPECT_EQ(printed([&] { feed(*c, websocket_upgrade + frame(0x81, "ignored")); }), "");  // no on_headers
    bool more = true;
    EXPECT_EQ(take(*c, &more) + take(*c, &more), answer);
    EXPECT_FALSE(more);
    EXPECT_EQ(c->timeout, 0);

    for (std::string bad : {"Sec-WebSocket-Key: a\r\nSec-WebSocket-Version: 8\r\n", "Sec-WebSocket-Version: 13\r\n"}) {
        c = std::make_unique<http_connection>();
        EXPECT_EQ(printed([&] { feed(*c, "GET / HTTP/1.1\r\nUpgrade: websocket\r\n" + bad + "\r\n"); }),
                  "Warning! Double write() detected!\n");  // the 400 answer comes first
        EXPECT_EQ(take(*c), "HTTP/1.1 400 Bad Request\r\nSec-WebSocket-Version: 13\r\nContent-Length: 0\r\n\r\n");
        EXPECT_FALSE(c->websocket());
    }
}

// Masked, fragmented (a ping between the fragments), 16-bit length, pong,
// close, unmasked and oversized frames, and messages up to and past the
// message limit (250 here), each cut in two at every byte: the same answers
// and warnings, and only the frames before a failure count.
TEST(websocket_session, frames_read_alike_in_any_chunking)
{
    const std::string m(150, 'm'), n(100, 'n');
    struct row { std::string in, out, printed; bool live; };
    row cases[] = {
        {frame(0x81, "Hello"), "\x81\x05Hello", "", true},
        {frame(0x01, "ab") + frame(0x89, "abc") + frame(0x00, "cd") + frame(0x80, "ef"), "\x8A\x03" "abc\x81\x06" "abcdef", "", true},
        {frame(0x81, std::string(200, 'w')), std::string("\x81\x7E\x00\xC8", 4) + std::string(200, 'w'), "", true},
        {frame(0x8A, "p") + frame(0x81, "x"), "\x81\x01x", "Warning! Unhandled opcode: 10\n", true},
        {frame(0x81, "x") + frame(0x88, "") + frame(0x81, "late"), "\x81\x01x", "", false},
        {frame(0x81, "four", false), "", "Warning! Incoming frame has no mask.\n", false},
        {std::string("\x82\xFF\0\0\0\0\0\x10\0\x01" "abcd", 14), "", "Warning! Frame exceeds max length of 1048576.\n", false},
        {frame(0x01, m) + frame(0x80, n), std::string("\x81\x7E\x00\xFA", 4) + m + n, "", true},
        {frame(0x81, "x") + frame(0x01, m) + frame(0x80, n + "!") + frame(0x81, "late"), "\x81\x01x",
         "Warning! Message exceeds max length of 250.\n", false},
    };
    for (auto& k : cases)
        for (size_t cut = 0; cut <= k.in.size(); cut++) {
            live_session c;
            feed(c, websocket_upgrade);
            ASSERT_EQ(take(c), answer);
            std::string out;
            bool more = true;
            std::string said = printed([&] { out = run(c, k.in, {cut, 0}, connection::buffer_size, &more); });
            EXPECT_EQ(said, k.printed) << cut;
            EXPECT_EQ(out, k.out) << cut;
            EXPECT_EQ(more, k.live) << cut;
            EXPECT_EQ(c.timeout, k.live ? 100 : 0) << cut;
        }
}

// The largest payload takes the 64-bit length form; a larger one is refused.
TEST(websocket_session, outgoing_length_forms)
{
    const size_t most = websocket_session::max_send_payload;
    std::string f;
    EXPECT_TRUE(websocket_session::frame(std::string(most, 'z'), 2, &f));
    EXPECT_EQ(f, std::string("\x82\x7F\0\0\0\0\0\x0F\xFF\xFF", 10) + std::string(most, 'z'));
    EXPECT_EQ(printed([&] { EXPECT_FALSE(websocket_session::frame(std::string(most + 1, 'z'), 2, &f)); }),
              "send_message() error! Message too long: 1048576\n");
}

// A dying session leaves its connection's channels (an emptied one is
// removed and freed) and reports subscriptions the registry does not match.
TEST(websocket_session, leaves_its_channels)
{
    auto& registry = websocket_session::channels();
    http_connection other, c;
    c.socket = 7;
    auto* session = new websocket_session(&c, c.socket, c, true);
    for (const char* name : {"shared", "alone", "foreign"})
        registry.set(name, new base::arraylist<http_connection*>());
    registry.get("shared")->add(&c);  // first: the one behind it moves up
    registry.get("shared")->add(&other);
    registry.get("alone")->add(&c);
    registry.get("foreign")->add(&other);
    for (const char* name : {"shared", "missing", "alone", "foreign"})
        session->subscriptions.set(name, true);

    EXPECT_EQ(printed([&] { delete session; }),
              "Error! Channel not found: missing\nError! Subscription for 7 to foreign not found!\n");
    EXPECT_FALSE(registry.contains("alone"));
    ASSERT_EQ(registry.get("shared")->size, 1u);
    EXPECT_EQ(registry.get("shared")->get(0), &other);
    delete registry.unset("shared");
    delete registry.unset("foreign");
}
