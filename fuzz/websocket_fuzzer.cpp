// A WebSocket handshake followed by arbitrary frame bytes, fed to an
// http_connection in arbitrary chunkings. The connection keeps keep_alive in
// on_upgrade, so the frames are read, and echoes every message.
//
// Flags (byte 0, see driver.h for the rest of the layout):
//     bit 0   small frame and message limits, so both are reached
//
// Invariants checked besides the sanitizers':
//  - on_send stays within its cap (driver.h);
//  - the output is the 101 answer followed by well-formed server frames
//    (FIN set, text or pong, unmasked, shortest length form), and the text
//    frames carry exactly the messages on_message saw, in order;
//  - on_message never sees a message over max_message_length;
//  - a live connection holds at most one incomplete frame;
//  - messages and output do not depend on how the stream was cut into
//    chunks (compared with a delivery in one chunk).
#include "fuzz/check.h"
#include "fuzz/driver.h"
#include "http/http_connection.h"

#include <cstdint>
#include <string>

namespace {

const uint8_t small_limits = 1;

const char handshake[] =
    "GET /chat HTTP/1.1\r\n"
    "Host: server.example.com\r\n"
    "Upgrade: websocket\r\n"
    "Connection: Upgrade\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
    "Sec-WebSocket-Version: 13\r\n"
    "\r\n";

class probe : public http_connection {
public:
    bool upgraded = false;
    std::string messages;  // each message seen, behind its length

    void on_upgrade() override { upgraded = true; }  // stays live

    void on_message() override
    {
        FUZZ_CHECK(message.size() <= size_t(max_message_length), "message over max_message_length");
        messages += std::to_string(message.size()) + ":" + message;
        http_connection::on_message();
    }
};

// The text frames' payloads in the same form as probe::messages; aborts on a
// malformed answer or frame.
std::string check_output(const std::string& out)
{
    static const std::string head = "HTTP/1.1 101 Switching Protocols\r\n";
    FUZZ_CHECK(out.compare(0, head.size(), head) == 0, "no 101 answer first");
    size_t at = out.find("\r\n\r\n");
    FUZZ_CHECK(at != std::string::npos, "101 answer without its end");
    at += 4;
    std::string texts;
    while (at < out.size()) {
        const unsigned char* f = reinterpret_cast<const unsigned char*>(out.data()) + at;
        size_t available = out.size() - at;
        FUZZ_CHECK(available >= 2, "truncated frame header");
        FUZZ_CHECK(f[0] == 0x81 || f[0] == 0x8A, "frame neither a final text frame nor a pong");
        FUZZ_CHECK(!(f[1] & 0x80), "server frame masked");
        uint64_t length = f[1];
        size_t header = 2;
        if (length == 126) {
            FUZZ_CHECK(available >= 4, "truncated frame header");
            length = uint64_t(f[2]) << 8 | f[3];
            FUZZ_CHECK(length > 125, "16-bit length form for a short payload");
            header = 4;
        } else if (length == 127) {
            FUZZ_CHECK(available >= 10, "truncated frame header");
            length = 0;
            for (int i = 2; i < 10; i++)
                length = length << 8 | f[i];
            FUZZ_CHECK(length > 65535, "64-bit length form for a short payload");
            header = 10;
        }
        FUZZ_CHECK(length <= available - header, "truncated frame payload");
        if (f[0] == 0x81)
            texts += std::to_string(length) + ":" + out.substr(at + header, size_t(length));
        at += header + size_t(length);
    }
    return texts;
}

struct outcome {
    std::string output, messages;
};

outcome deliver(const fuzz::stream_input& in, bool whole)
{
    probe c;
    if (in.flags & small_limits) {
        c.max_frame_length = 300;
        c.max_message_length = 1000;
    }
    bool ended = false;
    outcome o;
    o.output = fuzz::run(c, in, whole, &ended);
    FUZZ_CHECK(c.upgraded && c.websocket, "the handshake did not upgrade");
    if (c.keep_alive)
        FUZZ_CHECK(c.body.size() < 14 + size_t(c.max_frame_length), "live connection holds more than one frame");
    FUZZ_CHECK(check_output(o.output) == c.messages, "echoes differ from the messages");
    o.messages = std::move(c.messages);
    return o;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    silence_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::stream_input in;
    if (!in.parse(data, size))
        return 0;
    in.bytes.insert(0, handshake);
    outcome cut = deliver(in, false);
    outcome whole = deliver(in, true);
    FUZZ_CHECK(cut.messages == whole.messages, "messages depend on the chunking");
    FUZZ_CHECK(cut.output == whole.output, "output depends on the chunking");
    return 0;
}
