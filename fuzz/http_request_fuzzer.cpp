// Requests in random chunkings. Flags (byte 0, see driver.h): bit 0 relaying
// as the proxy does; bit 2 a small max_request_length; bit 3 holding (not
// ready for a request after each head, resumed in on_send).
//
// The connection parses at most max_heads_per_turn heads in one turn of the
// server and holds the rest; the driver knows no turns, so the probe starts
// a new one whenever it is asked for output with bytes held, as the server
// serves a connection that woke itself in its next turn. Every pipelined
// request is thus parsed in the end, in every chunking.
//
// Invariants: the handler calls and answers do not depend on the chunking;
// nothing reaches a handler once a chunked body has broken its grammar;
// delivered whole, every request's head and body end where an independent
// strict reader (reference_reader.h) says they do, heads are refused exactly
// when that reader refuses them, and a body that breaks the grammar ends the
// requests on the connection at the byte where that reader finds it broken.
// And the head the proxy would forward for every head it accepts is made of
// token-named field lines only, ends where the proxy ends it, names the
// target's origin in its one Host field, carries no Proxy- field, and is
// framed alike by the proxy's reading and the reference one, just as the
// client's head was: no forwarded line escapes the framing rules.
#include "fuzz/driver.h"
#include "fuzz/reference_reader.h"
#include "proxy/origin_form.h"
#include "proxy/split_url.h"

#include "base/text.h"
#include "server/byte_mover.h"
#include "server/connection_registry.h"
#include "server/connector.h"
#include "server/server_hooks.h"
#include "server/sockets.h"
#include "server/turn_scheduler.h"

#include <tuple>
#include <vector>

namespace {

// Starts a new turn of the server (connection::turn()), as its loop does:
// the scheduler's input half, which with no poll results (there are no
// sockets here) serves no connection.
void next_turn()
{
    struct no_server final : server_hooks {
        connection* create_connection(uint32_t) override { return nullptr; }
        bool on_accept(connection*) override { return false; }
        void on_remove(connection*) override {}
        int recv(connection*, char*, int) override { return -1; }
        int send(connection*, const char*, int) override { return -1; }
    };
    static no_server hooks;
    static const int64_t now = 0;
    static sockets polled;
    static connection_registry registry(polled);
    static byte_mover mover(hooks, polled, now);
    static connector connects(registry, polled, now);
    static turn_scheduler turns(hooks, registry, mover, connects, polled, now);
    uint64_t before = connection::turn();
    turns.input_half();
    FUZZ_CHECK(connection::turn() != before, "a new turn of the server did not change connection::turn()");
}

// What the connection made of one request.
struct request_seen {
    std::string head, method, url, version;
    request_facts facts;
    std::string body;        // the framed body bytes on_data saw
    bool completed = false;  // on_request ran for it
    bool last = false;       // nothing after it was parsed as a request
    bool broken = false;     // on_framing_broken ran for it
};

// The unit tests' recorder, answering as a bare connection does and keeping
// what it saw of each request.
struct probe : recorder {
    std::vector<request_seen> seen;  // by on_headers (the WebSocket handshake's requests are missing)
    int64_t framed = 0;              // body bytes of the current request
    bool broken = false;             // on_framing_broken has run: no handler may run again
    uint64_t counted_turn = 0;       // the turn heads_in_turn counts in
    int heads_in_turn = 0;

    void on_headers() override
    {
        FUZZ_CHECK(!broken, "a head parsed after the framing broke");
        if (counted_turn != connection::turn()) {
            counted_turn = connection::turn();
            heads_in_turn = 0;
        }
        FUZZ_CHECK(++heads_in_turn <= max_heads_per_turn, "more heads parsed in one turn than its slice");
        recorder::on_headers();
        log += version();
        seen.push_back({head(), method(), url(), version(), facts(), "", false, false, false});
        http_connection::on_headers();
    }
    void on_data(char* bytes, int len) override
    {
        FUZZ_CHECK(!broken, "bytes passed on after the framing broke");
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
        FUZZ_CHECK(!broken, "a request completed after the framing broke");
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
    void on_framing_broken() override
    {
        FUZZ_CHECK(!broken && chunked() && reading() != request_reader::mode::raw && !websocket(),
                   "framing broke outside a chunked body");
        broken = true;
        log += "B";
        if (!seen.empty())
            seen.back().broken = true;
        http_connection::on_framing_broken();
    }
    handover on_send(char* buf, int cap) override
    {
        if (!held().empty())
            next_turn();
        if (hold && !held().empty()) {  // ready again: the held requests go on
            ready = true;
            resume_requests();
        }
        return http_connection::on_send(buf, cap);
    }
};

// Walks the client's bytes with the reference reader and checks each request
// the connection saw against it.
void compare_with_reference(const std::string& stream, const std::vector<request_seen>& seen)
{
    size_t at = 0;
    for (size_t i = 0;; i++) {
        while (stream.compare(at, 2, "\r\n") == 0)  // empty lines before a request are skipped
            at += 2;
        size_t end = stream.find("\r\n\r\n", at);
        if (end == std::string::npos) {
            FUZZ_CHECK(i == seen.size(), "a request parsed where the reference finds no complete head");
            return;
        }
        FUZZ_CHECK(i < seen.size(), "a complete head was left unparsed");
        const request_seen& r = seen[i];
        FUZZ_CHECK(r.head == stream.substr(at, end + 2 - at), "heads split at different bytes");
        reference::framing f = reference::read_head(r.head);
        FUZZ_CHECK(f.refused == (r.facts.problem != request_facts::fault::none), "heads refused differently");
        if (f.refused) {
            FUZZ_CHECK(r.body.empty() && r.last && i + 1 == seen.size(), "requests parsed after a refused head");
            return;
        }
        FUZZ_CHECK(f.chunked == r.facts.chunked && f.length == r.facts.content_length, "framing read differently");
        std::string after = stream.substr(end + 4);
        size_t length = after.size();
        bool ends = false, bad = false;
        if (f.chunked) {
            reference::body_end e = reference::chunked_end(after, &length);
            ends = e == reference::body_end::complete;
            bad = e == reference::body_end::bad;
            if (e == reference::body_end::unfinished)
                length = after.size();
        } else if (uint64_t(f.length) <= after.size()) {
            length = size_t(f.length);
            ends = true;
        }
        // A broken body: what came before its bad byte was passed on, and
        // nothing else of the connection ever is.
        FUZZ_CHECK(r.body == after.substr(0, length), "bodies end at different bytes");
        FUZZ_CHECK(r.broken == bad, "bodies found broken differently");
        FUZZ_CHECK(r.completed == ends, "bodies complete differently");
        if (!ends || r.last) {
            FUZZ_CHECK(i + 1 == seen.size(), "a request parsed after the last one");
            return;
        }
        at = end + 4 + length;
    }
}

// The head the proxy would send the origin for an accepted head
// (origin_form::forwarded_head, without the blank line), checked line by line
// and read again by both readers. A head whose own target names no
// origin is forwarded to the origin its Host field names, or to a fixed one,
// so that every accepted head is checked, with and without a Host that
// agrees with the target.
void check_forwarded(const request_seen& r)
{
    if (r.facts.problem != request_facts::fault::none || r.method == "CONNECT")
        return;
    split_url target(r.url, false);
    if (!target.valid()) {
        // Only a Host value that is an authority and nothing more: bytes
        // after it would land in the request line, which the real target's
        // path never brings there.
        target = split_url("http://" + r.facts.host + "/", false);
        if (!target.valid() || target.path != "/")
            target = split_url("http://origin.example/", false);
    }
    std::string out = origin_form::forwarded_head(r.method, target, r.version, r.head, r.facts);
    FUZZ_CHECK(out.ends_with("\r\n\r\n"), "a forwarded head does not end with a blank line");
    out.resize(out.size() - 2);

    FUZZ_CHECK(out.find("\r\n\r\n") == std::string::npos, "a forwarded head ends early");
    size_t line_end = out.find("\r\n");
    for (size_t at = line_end + 2; at < out.size(); at = line_end + 2) {
        line_end = out.find("\r\n", at);
        std::string_view line = std::string_view(out).substr(at, line_end - at);
        FUZZ_CHECK(line.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos,
                   "a forwarded line holds CR, LF or NUL");
        size_t colon = line.find(':');
        FUZZ_CHECK(colon != std::string_view::npos && base::is_token(line.substr(0, colon)),
                   "a forwarded line is not a token-named field");
        FUZZ_CHECK(!base::starts_with_nocase(line, "proxy"), "a Proxy- field forwarded");
    }

    request_facts again = request_facts::read(out);
    FUZZ_CHECK(again.problem == request_facts::fault::none, "the proxy refuses the head it forwards");
    FUZZ_CHECK(again.chunked == r.facts.chunked && again.content_length == r.facts.content_length,
               "the forwarded head is framed differently");
    std::string host;
    int32_t port;
    FUZZ_CHECK(again.has_host && split_url::read_authority(again.host, target.scheme, &host, &port) &&
                   host == target.host && port == target.port,
               "the forwarded Host does not name the target's origin");
    reference::framing f = reference::read_head(out);
    FUZZ_CHECK(!f.refused && f.chunked == r.facts.chunked && f.length == r.facts.content_length,
               "the reference frames the forwarded head differently");
}

std::tuple<std::string, std::string, std::string> deliver(const std::string& input, bool whole)
{
    probe c;
    c.relay = input[0] & 1;
    c.hold = input[0] & 8;
    c.max_request_length = input[0] & 4 ? 200 : c.max_request_length;
    std::string out = fuzz::run(c, input, whole);
    FUZZ_CHECK(c.held().empty(), "bytes stayed held after the connection was ready");
    if (!whole)
        return {out, c.log, c.data};
    for (const request_seen& r : c.seen)
        check_forwarded(r);
    // The connection's own WebSocket handshake takes its upgrade requests
    // out of the sequence of requests.
    std::string stream = input.substr(5);
    if (!(input[0] & 4) && stream.find("websocket") == std::string::npos)
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
