// Requests in random chunkings. Flags (byte 0, see driver.h): bit 0 relaying
// as the proxy does; bit 2 a small max_request_length; bit 3 holding (not
// ready for a request after each head, resumed in on_send).
//
// Invariants: the handler calls and answers do not depend on the chunking;
// and, delivered whole, every request's head and body end where an
// independent strict reader (reference_reader.h) says they do, and heads are
// refused exactly when that reader refuses them.
#include "fuzz/driver.h"
#include "fuzz/reference_reader.h"

#include <tuple>
#include <vector>

namespace {

// What the connection made of one request.
struct request_seen {
    std::string head;
    request_facts facts;
    std::string body;        // the framed body bytes on_data saw
    bool completed = false;  // on_request ran for it
    bool last = false;       // nothing after it was parsed as a request
};

// The unit tests' recorder, answering as a bare connection does and keeping
// what it saw of each request.
struct probe : recorder {
    std::vector<request_seen> seen;  // by on_headers (the WebSocket handshake's requests are missing)
    int64_t framed = 0;              // body bytes of the current request

    void on_headers() override
    {
        recorder::on_headers();
        log += version();
        seen.push_back({head(), facts(), "", false, false});
        http_connection::on_headers();
    }
    void on_data(char* bytes, int len) override
    {
        recorder::on_data(bytes, len);
        bool request_body = reading() != request_reader::mode::raw && !websocket();
        if (request_body && !seen.empty())
            seen.back().body.append(bytes, size_t(len));
        framed += request_body ? len : 0;
        FUZZ_CHECK(len > 0 && (chunked() || !request_body || framed <= content_length()),
                   "body ran past its Content-Length");
        if (!relay)
            http_connection::on_data(bytes, len);
    }
    void on_request() override
    {
        recorder::on_request();
        bool raw = reading() == request_reader::mode::raw;
        FUZZ_CHECK(raw || chunked() || framed == content_length(), "body shorter than its Content-Length");
        framed = 0;
        if (!raw && !seen.empty()) {
            seen.back().completed = true;
            seen.back().last = last_request();
        }
        http_connection::on_request();
    }
    bool on_send(char* buf, int cap, int* len) override
    {
        if (hold && !held().empty()) {  // ready again: the held requests go on
            ready = true;
            resume_requests();
        }
        return http_connection::on_send(buf, cap, len);
    }
};

// Walks the client's bytes with the reference reader and checks each request
// the connection saw against it.
void compare_with_reference(const std::string& stream, const std::vector<request_seen>& seen)
{
    size_t at = 0;
    for (size_t i = 0;; i++) {
        size_t end = stream.find("\r\n\r\n", at);
        if (end == std::string::npos || end == at) {  // a terminator at the start never counts
            FUZZ_CHECK(i == seen.size(), "a request parsed where the reference finds no complete head");
            return;
        }
        FUZZ_CHECK(i < seen.size(), "a complete head was left unparsed");
        const request_seen& r = seen[i];
        FUZZ_CHECK(r.head == stream.substr(at, end + 2 - at), "heads split at different bytes");
        reference::framing f = reference::read_head(r.head);
        FUZZ_CHECK(f.refused == (r.facts.problem != request_facts::fault::none), "heads refused differently");
        if (f.refused) {
            FUZZ_CHECK(r.body.empty() && r.last, "requests parsed after a refused head");
            return;
        }
        FUZZ_CHECK(f.chunked == r.facts.chunked && f.length == r.facts.content_length, "framing read differently");
        std::string after = stream.substr(end + 4);
        size_t length = after.size();
        bool ends = false, bad = false;
        if (f.chunked) {
            reference::body_end e = reference::chunked_end(after, &length);
            ends = e != reference::body_end::unfinished;
            bad = e == reference::body_end::bad;
            if (!ends)
                length = after.size();
        } else if (uint64_t(f.length) <= after.size()) {
            length = size_t(f.length);
            ends = true;
        }
        FUZZ_CHECK(r.body == after.substr(0, length), "bodies end at different bytes");
        FUZZ_CHECK(r.completed == ends && (!bad || r.last), "bodies complete differently");
        if (!ends || r.last)
            return;
        at = end + 4 + length;
    }
}

std::tuple<std::string, std::string, std::string> deliver(const std::string& input, bool whole)
{
    probe c;
    c.relay = input[0] & 1;
    c.hold = input[0] & 8;
    c.max_request_length = input[0] & 4 ? 200 : c.max_request_length;
    std::string out = fuzz::run(c, input, whole);
    FUZZ_CHECK(c.held().empty(), "bytes stayed held after the connection was ready");
    // The connection's own WebSocket handshake takes its upgrade requests
    // out of the sequence of requests.
    std::string stream = input.substr(5);
    if (whole && !(input[0] & 4) && stream.find("websocket") == std::string::npos)
        compare_with_reference(stream, c.seen);
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
