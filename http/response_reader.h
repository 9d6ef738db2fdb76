// Follows an origin's answers on one connection to tell where each ends,
// while their bytes pass on unchanged.
//
//     answer      = *interim final
//     interim     = head of a 1xx status other than 101 (no body), at most
//                   max_interim of them
//     final       = head [ body ]
//     head        = "HTTP/1." DIGIT SP 3DIGIT [ SP reason ] EOL *( field-line EOL ) EOL
//     EOL         = CRLF / LF    (a bare LF ends a line, as clients read it)
//
// The body of a final answer, by the first rule that applies (RFC 9112 6.3):
// none for an answer to HEAD, for 1xx, 204 and 304; a byte stream after 101
// to a request that asked to switch protocols (a tunnel); chunked when the
// last transfer coding is chunked (in HTTP/1.1: an HTTP/1.0 answer with a
// transfer coding has faulty framing and runs to the close); Content-Length
// bytes; otherwise up to the end of the connection. The fields are read by field_facts, the same strict
// reading as a request's: a field name that is not a token, a
// Content-Length that is not plain digits, CR, LF or NUL inside a line (the
// head passes on unchanged, and a client could take them for line ends) or
// a head over max_head makes the answer unreadable (failed); framing that
// recipients could read in two ways (both framings, unequal lengths, a last
// coding other than chunked) runs to the end of the connection, and nothing
// may follow it there.
//
// Interim answers go on to a client that can take them; one that speaks
// HTTP/1.0 never receives any (it knows no 1xx status), so they are read and
// dropped for it. An origin that sends more than max_interim of them before
// its final answer has its answer fail (an origin streaming interim heads
// would otherwise hold its client and cost the proxy for ever).
//
// Bytes arrive in pieces of any size; a head is held until it is complete
// and sound, then handed on whole, so a client never receives part of a
// head that turns out unreadable. Finding a head's end costs time linear in
// its bytes, whatever the size of the pieces. Body bytes are handed on as
// they come, or skipped unread by the caller (spliced) while raw_run()
// allows.
#pragma once

#include "base/byte_queue.h"
#include "http/chunked_decoder.h"

#include <cstddef>
#include <cstdint>
#include <string>

class response_reader {
public:
    // Most bytes of one head, its blank line included.
    static constexpr size_t max_head = 64 * 1024;
    // Most interim answers before the final one.
    static constexpr int max_interim = 16;

    enum class state : uint8_t {
        head,         // reading a head (the first, or one after an interim)
        sized,        // Content-Length body: `left` bytes to go
        chunked,      // chunked body
        until_close,  // body up to the end of the connection
        tunnel,       // after 101: bytes both ways, never read
        done,         // the answer has ended; nothing after it is part of it
        failed,       // unreadable: no byte from here on is passed on
    };

    // Why an answer failed.
    enum class failure : uint8_t {
        none,
        closed,      // the connection ended before the answer did (finish())
        unreadable,  // a head that is not sound, or too long
        too_many_interim,
    };

    // A new request has gone out: its answer comes next. head_request: the
    // request was HEAD (no body whatever the fields say); upgrade: it asked
    // to switch protocols (a 101 opens a tunnel; otherwise 101 is
    // unreadable); interim: interim answers are passed on (false: read and
    // dropped, for an HTTP/1.0 client).
    void expect(bool head_request, bool upgrade, bool interim = true);
    // No answer is read: every byte passes (a CONNECT tunnel).
    void pass_through() { where = state::tunnel; }

    // Takes bytes the origin sent, up to the end of the answer: a head is
    // appended to `out` once it is complete and sound, body bytes as they
    // come. Returns how many of `data` it took; fewer than len only once the
    // answer has ended (done) or turned out unreadable (failed), and the rest
    // belongs to no answer.
    size_t feed(const char* data, size_t len, base::byte_queue& out);

    // Body bytes the caller may pass on without feeding them (splicing them
    // straight to the client), and the call that counts them once passed.
    // Nonzero only in the middle of a body whose size is known (a chunk's
    // data included), after 101 and for a body running to the close.
    uint64_t raw_run() const;
    void skip(uint64_t n);

    // The origin has closed its sending side: a body running to the close
    // is complete; anything else unfinished fails (a truncated answer).
    void finish();

    state at() const { return where; }
    bool done() const { return where == state::done; }
    bool failed() const { return where == state::failed; }
    bool tunnel() const { return where == state::tunnel; }
    failure why() const { return cause; }
    // Some byte of the answer has arrived since expect(), passed on or not.
    bool heard() const { return any; }
    // Bytes of a head held until it is complete.
    size_t held() const { return pending.size(); }
    // Some byte of the answer (an interim head included) has been passed on.
    bool started() const { return emitted; }
    // The final head has been passed on, and its status.
    bool final_head() const { return final_seen; }
    int status() const { return code; }
    // After done(): the connection may carry another exchange: the answer
    // was framed exactly and the origin keeps the connection (HTTP/1.1
    // without "close", or HTTP/1.0 with "keep-alive").
    bool reusable() const { return where == state::done && keeps && !to_close; }
    // The answer's end is the end of the connection (no framing, or framing
    // a recipient could read otherwise): nothing may follow it.
    bool ends_connection() const { return to_close; }

private:
    // The head in `pending` is complete (ends in CRLF CRLF): reads it and
    // sets what follows. False when it is unreadable.
    bool read_head(base::byte_queue& out);

    // One past the blank line that ends the head, counted in the len new
    // bytes at p that follow `pending`; 0 when they do not end it.
    size_t head_end(const char* p, size_t len) const;
    void fail(failure why)
    {
        where = state::failed;
        cause = why;
        std::string().swap(pending);  // nothing of a failed answer is kept
    }

    state where = state::head;
    failure cause = failure::none;
    bool head_request = false;
    bool upgrade = false;
    bool interim_on = true;
    bool any = false;
    int interims = 0;
    bool emitted = false;
    bool final_seen = false;
    bool keeps = false;
    bool to_close = false;
    int code = 0;
    uint64_t left = 0;       // sized: body bytes to go
    std::string pending;     // head bytes so far
    chunked_decoder decoder; // chunked: the body's framing
};
