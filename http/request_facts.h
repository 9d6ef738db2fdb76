// What a request head says about its own message - where the body ends,
// whether the client asks to switch protocols, whether the head can be read
// alike by every recipient - established by one strict reading of all its
// lines. Every place that acts on these facts (the body framing, the proxy's
// refusals, the upgrade) uses this reading, never a lookup of its own: two
// readers that disagree on where a body ends are how requests get smuggled
// past a proxy.
//
// Field names match exactly, ASCII letters in any case; values are read
// without the optional whitespace around them. Several Transfer-Encoding
// lines form one list; several Content-Length values (on one line or many)
// count as one when they are equal.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct request_facts {
    enum class fault : uint8_t {
        none,
        // Lines that recipients may read differently: a request line without
        // two spaces or with CR, LF or NUL in it, whitespace inside a field
        // name or between the name and its colon, a folded line (one that
        // begins with a space or tab).
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
    // Set when the client asks to switch protocols: an Upgrade field, and
    // "upgrade" among the Connection options. Holds that option as the client
    // spelled it.
    std::string upgrade_option;

    bool upgrade() const { return !upgrade_option.empty(); }

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
