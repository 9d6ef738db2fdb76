// Request heads and bodies fed to an http_connection in arbitrary chunkings.
//
// Flags (byte 0, see driver.h for the rest of the layout):
//     bit 0   a relaying connection (relays_body() true, CONNECT makes a
//             tunnel, body bytes are passed on instead of stored), as the
//             proxy is; otherwise the bare diagnostic server
//     bit 1   the peer is 127.0.0.1, so the description line trusts
//             X-Forwarded-For
//     bit 2   a small max_request_length, so the length guard is reached
//     bit 3   holding: as the proxy does while an origin is being reached,
//             the connection is not ready for another request after each
//             head, and takes the held bytes up again in on_send
//
// Invariants checked besides the sanitizers':
//  - on_send stays within its cap (driver.h);
//  - a Content-Length body reaches on_data exactly, never more;
//  - a chunked body reaches on_data exactly as a fresh decoder frames it in
//    one piece, and a body the decoder does not finish ends keep-alive;
//  - no complete head is left unparsed, and nothing stays held once the
//    connection is ready again;
//  - the handler calls, the bytes they see and the answers do not depend on
//    how the stream was cut into chunks (compared with a delivery in one
//    chunk). The length guard is the one documented exception, so the check
//    is off while bit 2 is set.
#include "fuzz/check.h"
#include "fuzz/driver.h"
#include "http/chunked_decoder.h"
#include "http/http_connection.h"

#include <arpa/inet.h>
#include <cstdint>
#include <string>

namespace {

const uint8_t relaying = 1;
const uint8_t local_peer = 2;
const uint8_t small_limit = 4;
const uint8_t holding = 8;

class probe : public http_connection {
public:
    bool relay = false;
    bool hold = false;
    bool ready = true;
    std::string log;     // "H method url version", "R" and "D" for a run of on_data
    std::string data;    // every byte on_data saw
    std::string framed;  // body bytes of the current request

    void on_headers() override
    {
        FUZZ_CHECK(framed.empty(), "body bytes before the head was parsed");
        log += "H " + method + " " + url + " " + version + "\n";
        // A tunnel, as the proxy makes one: the rest of the stream is raw.
        if (relay && method == "CONNECT")
            keep_alive = false;
        if (hold)
            ready = false;
        http_connection::on_headers();
    }

    void on_data(char* bytes, int len) override
    {
        FUZZ_CHECK(len > 0, "on_data without bytes");
        if (log.empty() || log.back() != 'D')
            log += "D";
        data.append(bytes, size_t(len));
        if (!completed && !websocket) {
            framed.append(bytes, size_t(len));
            if (!chunked)
                FUZZ_CHECK(body_received <= content_length, "body ran past its Content-Length");
        }
        if (!relay)
            http_connection::on_data(bytes, len);
    }

    void on_request() override
    {
        // Once the connection parses no more requests, on_request follows
        // every chunk; only the first call ends a request.
        if (!completed) {
            log += "R\n";
            if (chunked) {
                chunked_decoder whole;
                size_t used = whole.feed(framed.data(), framed.size());
                FUZZ_CHECK(used == framed.size(), "chunked body framed differently in one piece");
                FUZZ_CHECK(whole.done() || !keep_alive, "unfinished chunked body kept the connection alive");
            } else
                FUZZ_CHECK(int64_t(framed.size()) == content_length, "body shorter than its Content-Length");
            framed.clear();
        }
        http_connection::on_request();
    }

    bool relays_body() const override { return relay; }
    bool ready_for_request() const override { return ready; }

    bool on_send(char* buf, int cap, int* len) override
    {
        // Ready again: every held request goes on, each of which may hold
        // the rest once more.
        while (hold && !held.empty()) {
            size_t before = held.size();
            ready = true;
            resume_requests();
            if (held.size() >= before)
                break;
        }
        return http_connection::on_send(buf, cap, len);
    }
};

struct outcome {
    std::string output, log, data;
    bool ended = false;  // the connection finished before the stream did
};

outcome deliver(const fuzz::stream_input& in, bool whole)
{
    probe c;
    c.relay = in.flags & relaying;
    c.hold = in.flags & holding;
    if (in.flags & local_peer) {
        c.peer_address = htonl(0x7F000001);
        c.peer_port = 40000;
    }
    if (in.flags & small_limit)
        c.max_request_length = 200;
    outcome o;
    o.output = fuzz::run(c, in, whole, &o.ended);
    if (!c.headers_received) {
        size_t at = c.head.find("\r\n\r\n");
        FUZZ_CHECK(at == std::string::npos || at == 0, "a complete head was left unparsed");
    }
    FUZZ_CHECK(c.held.empty(), "bytes stayed held after the connection was ready");
    o.log = std::move(c.log);
    o.data = std::move(c.data);
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
    outcome cut = deliver(in, false);
    if (in.flags & small_limit)
        return 0;
    outcome whole = deliver(in, true);
    FUZZ_CHECK(cut.output == whole.output, "answers depend on the chunking");
    // A connection that ended early was fed only a prefix of the stream.
    if (cut.ended) {
        FUZZ_CHECK(whole.log.compare(0, cut.log.size(), cut.log) == 0, "handler calls depend on the chunking");
        FUZZ_CHECK(whole.data.compare(0, cut.data.size(), cut.data) == 0, "body bytes depend on the chunking");
    } else {
        FUZZ_CHECK(cut.log == whole.log, "handler calls depend on the chunking");
        FUZZ_CHECK(cut.data == whole.data, "body bytes depend on the chunking");
    }
    return 0;
}
