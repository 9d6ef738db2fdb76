// A WebSocket handshake followed by random frame bytes in random chunkings;
// the connection stays live and echoes every message. Flag bit 0 (byte 0,
// see driver.h): small frame and message limits, so both are reached. The
// messages and the output must not depend on the chunking or the cap.
#include "fuzz/driver.h"

namespace {

struct probe : http_connection {
    std::string messages;  // each behind its length
    bool small = false;    // small frame and message limits

    void on_upgrade() override
    {
        if (small) {
            websocket()->max_frame_length = 300;
            websocket()->max_message_length = 1000;
        }
    }
    void on_message() override
    {
        const std::string& message = websocket()->message;
        FUZZ_CHECK(message.size() <= size_t(websocket()->max_message_length), "message over max_message_length");
        messages += std::to_string(message.size()) + ":" + message;
        http_connection::on_message();
    }
};

std::string deliver(const std::string& input, bool whole)
{
    probe c;
    c.small = input[0] & 1;
    std::string out = fuzz::run(c, input, whole);
    websocket_session* ws = c.websocket();
    FUZZ_CHECK(ws && out.starts_with("HTTP/1.1 101 Switching Protocols\r\n"), "the handshake did not upgrade");
    FUZZ_CHECK(!ws->live() || ws->unread() < 14 + size_t(ws->max_frame_length), "live connection holds more than one frame");
    return c.messages + "\n" + out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    [[maybe_unused]] static bool quiet = silence_stdout();
    std::string input(reinterpret_cast<const char*>(data), size);
    if (size < 5)
        return 0;
    input.insert(5, websocket_upgrade);
    FUZZ_CHECK(deliver(input, false) == deliver(input, true), "messages or output depend on the chunking or the cap");
    return 0;
}
