// Follows the chunked transfer coding of a message body (a request's, or an
// origin's answer's), byte by byte, to find where the body ends. It only
// frames: it stores no bytes and does not decode anything, because the body
// is handed on unchanged (framing included) and only where the next message
// begins matters.
//
//     body    = *( size ext CRLF data CRLF ) 1*"0" ext CRLF *( trailer CRLF ) CRLF
//     size    = 1*16HEXDIG (either case)
//     ext     = *( BWS ";" BWS token [ BWS "=" BWS ( token / quoted-string ) ] )
//     trailer = token ":" *( any byte but CR, LF and NUL )
//     BWS     = *( SP / HTAB )
//
// Input arrives in arbitrary pieces; the state carries over between feed()
// calls, so a body split at any byte offset is followed exactly as a whole.
// Anything outside this grammar makes the decoder malformed for good: the
// caller then cannot tell where the message ends, and stops reading the
// connection as a sequence of messages.
#pragma once

#include <cstddef>
#include <cstdint>

class chunked_decoder {
public:
    // Longest size line (digits and extension) and longest trailer line, CRLF
    // not counted. Nothing is stored, so the bound is only there to reject
    // framing that no real sender uses.
    static constexpr size_t max_line_length = 8192;
    // Most hex digits of a chunk size: 64 bits.
    static constexpr uint8_t max_size_digits = 16;

    // Back to the start of a body.
    void reset();

    // Takes bytes of the body that follows. Returns how many of them belong
    // to the body: all of them while it goes on, fewer once it has ended
    // (done(), the rest is the next request) or turned out malformed
    // (malformed(), the byte at the returned offset is the first bad one).
    // Once done or malformed it takes nothing more.
    size_t feed(const char* data, size_t len);

    // Chunk data bytes that follow before the next framing byte, which a
    // caller may pass on without feeding them; skip_data(n) counts n of them
    // (n at most data_left()).
    uint64_t data_left() const { return at == state::data ? remaining : 0; }
    void skip_data(uint64_t n)
    {
        remaining -= n;
        if (remaining == 0)
            at = state::data_cr;
    }

    bool done() const { return at == state::done; }
    bool malformed() const { return at == state::malformed; }

private:
    enum class state : uint8_t {
        size_first,  // first hex digit of a chunk size
        size,        // more hex digits, ";", blanks or CR
        size_blank,  // blanks after the digits: only ";" may follow
        ext_start,   // after ";": blanks, then the first byte of a name
        ext_name,    // more of the name, blanks, "=", ";" or CR
        name_blank,  // blanks after a name: "=" or ";" may follow
        value_start, // after "=": blanks, then a token or a quote
        ext_token,   // more of a token value, blanks, ";" or CR
        quoted,      // inside a quoted value
        quoted_pair, // the byte after a backslash in a quoted value
        value_end,   // after a value: ";" or CR
        value_blank, // blanks after a value: only ";" may follow
        size_lf,     // LF that ends the size line
        data,        // `remaining` bytes of chunk data
        data_cr,     // CR after the chunk data
        data_lf,     // LF after the chunk data
        trailer_first,  // first byte of a trailer line, or CR of the final CRLF
        trailer_name,   // more of a trailer's field name, up to its colon
        trailer,     // rest of a trailer line up to CR
        trailer_lf,  // LF that ends a trailer line
        final_lf,    // LF of the final CRLF
        done,
        malformed,
    };

    // One framing byte (any state but data, done and malformed).
    void step(char c);
    // One byte of a chunk extension (the ext_* to value_blank states).
    void step_extension(char c);
    // Counts one more byte of the current size or trailer line.
    void grow_line();

    uint64_t remaining = 0;  // chunk size while reading it; then bytes of data left
    size_t line_length = 0;  // bytes of the current size or trailer line so far
    state at = state::size_first;
    uint8_t digits = 0;      // hex digits of the current size so far
};
