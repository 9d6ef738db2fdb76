// Requests in random chunkings. Flags (byte 0, see driver.h): bit 0 relaying
// as the proxy does; bit 2 a small max_request_length; bit 3 holding (not
// ready for a request after each head, resumed in on_send).
#include "fuzz/driver.h"
#include "http/http_connection.h"

#include <tuple>

namespace {

struct probe : http_connection {
    bool relay = false, hold = false, ready = true;
    std::string log, data;  // handler calls; every byte on_data saw
    int64_t framed = 0;     // body bytes of the current request

    void on_headers() override
    {
        log += "H " + method + " " + url + " " + version + "\n";
        keep_alive = keep_alive && !(relay && method == "CONNECT");  // a tunnel, as the proxy makes one
        ready = !hold;
        http_connection::on_headers();
    }
    void on_data(char* bytes, int len) override
    {
        log += log.ends_with('D') ? "" : "D";  // one per run: the chunking splits the calls
        data.append(bytes, size_t(len));
        framed += completed || websocket ? 0 : len;
        FUZZ_CHECK(len > 0 && (chunked || framed <= content_length), "body ran past its Content-Length");
        if (!relay)
            http_connection::on_data(bytes, len);
    }
    void on_request() override
    {
        log += completed ? "" : "R\n";  // later calls follow each raw chunk
        FUZZ_CHECK(completed || chunked || framed == content_length, "body shorter than its Content-Length");
        framed = 0;
        http_connection::on_request();
    }
    bool relays_body() const override { return relay; }
    bool ready_for_request() const override { return ready; }
    bool on_send(char* buf, int cap, int* len) override
    {
        if (hold && !held.empty()) {  // ready again: the held requests go on
            ready = true;
            resume_requests();
        }
        return http_connection::on_send(buf, cap, len);
    }
};

std::tuple<std::string, std::string, std::string> deliver(const std::string& input, bool whole)
{
    probe c;
    c.relay = input[0] & 1;
    c.hold = input[0] & 8;
    c.max_request_length = input[0] & 4 ? 200 : c.max_request_length;
    std::string out = fuzz::run(c, input, whole);
    size_t end = c.head.find("\r\n\r\n");  // one at offset 0 never counts
    FUZZ_CHECK(c.headers_received || end == std::string::npos || end == 0, "a complete head was left unparsed");
    FUZZ_CHECK(c.held.empty(), "bytes stayed held after the connection was ready");
    return {out, c.log, c.data};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    [[maybe_unused]] static bool quiet = silence_stdout();
    std::string input(reinterpret_cast<const char*>(data), size);
    if (size >= 5 && deliver(input, false) != deliver(input, true))
        FUZZ_CHECK(input[0] & 4, "handler calls or answers depend on the chunking or the cap");
    return 0;
}
