// What a request head says about its own message - where the body ends,
// which connection options it names, whether the client asks to switch
// protocols, whether the head can be read alike by every recipient -
// established by one strict reading of all its lines. Every place that acts
// on these facts (the body framing, the keep-alive decision, the proxy's
// refusals, the hop-by-hop fields it drops, the upgrade, the credentials)
// uses this reading, never a lookup of its own: two readers that disagree on
// where a body ends, or on which lines are fields at all, are how requests
// get smuggled past a proxy. Fields that decide none of these (the
// User-Agent and X-Forwarded-For of the log line, the fields of the HTTP
// layer's own WebSocket handshake) are looked up with
// http_connection::get_header.
//
//     request-line = method SP request-target SP "HTTP/1." DIGIT
//     method       = token
//     target       = 1*( %x21-7E / %x80-FF )
//     field-line   = field-name ":" OWS field-value OWS
//     field-name   = token
//     token        = 1*( ALPHA / DIGIT / "!#$%&'*+-.^_`|~" )
//
// Field names match exactly, ASCII letters in any case; values are read
// without the optional whitespace around them. Several Transfer-Encoding
// lines form one list; several Content-Length values (on one line or many)
// count as one when they are equal. Field values are not checked here: the
// proxy forwards CR, LF and NUL inside them as spaces.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// What the header fields of a message (a request or an answer) say: the
// field lines of `head` (everything after its first line) read once.
struct field_facts {
    enum class fault : uint8_t {
        none,
        // Lines that recipients may read differently: a line without a colon
        // or whose name is not a token (a blank, NUL, CR, "@" or quote in
        // it, a blank before the colon, a folded line that begins with a
        // blank); for a request also a request line outside the grammar
        // above, or more than one Host field.
        malformed,
        // A Content-Length that is not plain digits (or too large to count).
        bad_length,
        // Transfer-Encoding together with Content-Length, Content-Length
        // values that differ, or a Transfer-Encoding whose last coding is not
        // chunked (the body would run to the close).
        ambiguous,
    };

    fault problem = fault::none;
    bool chunked = false;        // framed by the chunked coding
    int64_t content_length = 0;  // 0 when absent, chunked or faulty
    bool has_length = false;     // a sound Content-Length frames the body
    // Set when the sender asks to switch protocols: an Upgrade field, and
    // "upgrade" among the Connection options. Holds that option as the
    // sender spelled it.
    std::string upgrade_option;
    // Every option of every Connection field, lower-cased, each followed by
    // a comma: ",keep-alive," for "Connection: Keep-Alive". Empty: none.
    std::string connection_options;
    // The value of the Host field ("" when absent, or when there are
    // several).
    std::string host;
    int32_t hosts = 0;  // Host fields
    // The value of the Proxy-Authorization field when there is exactly one.
    std::string proxy_authorization;
    // "Expect: 100-continue": the sender waits for an interim answer before
    // it sends the body.
    bool expects_continue = false;

    bool upgrade() const { return !upgrade_option.empty(); }
    // Whether the Connection fields name `option` (in any letter case).
    bool names_option(std::string_view option) const;

    // Reads the field lines of head: its lines after the first, each ending
    // in "\r\n" (a last line without one is left out), without the blank
    // line.
    static field_facts read_fields(std::string_view head);
};

// A request head read by the grammar above, its fields by field_facts.
struct request_facts : field_facts {
    bool has_host = false;  // exactly one Host field

    // Reads head: the request line and the header lines, each ending in
    // "\r\n" (a last line without one is left out), without the blank line.
    static request_facts read(std::string_view head);
};

// Calls fn(line) for every header line of head (the lines after the request
// line), each without its "\r\n"; a last line without one is left out. A
// head that begins with "\r\n" has no request line and no header lines.
template <typename F>
void for_each_header_line(std::string_view head, F fn)
{
    size_t end = head.find("\r\n");
    if (end == std::string_view::npos || end == 0)
        return;
    for (;;) {
        size_t start = end + 2;
        end = head.find("\r\n", start);
        if (end == std::string_view::npos)
            return;
        fn(head.substr(start, end - start));
    }
}
