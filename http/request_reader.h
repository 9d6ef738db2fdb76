// Reads the requests of one client connection out of the bytes it sends:
// collects each head up to its blank line, reads the request line and the
// head's facts (request_facts.h), follows the body to the end its framing
// gives, and keeps the bytes of requests the connection cannot take up yet.
// It calls no handler: http_connection::on_recv drives it with one switch
// over its mode, calls the handlers between its steps, and keeps the
// request length guard.
//
//     head --head complete--> body --next_request()--> head
//      |                       |---pass_through()----> raw (after the last request)
//      |                       |---upgrade()---------> websocket
//      |                       \---broken chunking---> refused
//      |---over the head limit----------------------> refused
//      \---pass_through()---------------------------> raw
//
// Every byte is taken in the mode current when it arrives, so a chunk that
// holds the end of one request and the start of the next is split where
// the first ends. Nothing leads back from raw, refused or websocket.
//
// Held bytes are no mode of their own: while the connection cannot take up
// a request, the bytes of the next one wait unread in held() (the reader
// stays in head mode) until the connection feeds them again.
#pragma once

#include "http/chunked_decoder.h"
#include "http/request_facts.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class request_reader {
public:
    enum class mode : uint8_t {
        head,       // collecting a head; empty lines before it are skipped
        body,       // the head has been read; the body's bytes follow
        raw,        // no request is read any more: every byte goes on as it comes
        refused,    // every byte is dropped unread: where a request begins is unknown
        websocket,  // upgraded: every byte belongs to the WebSocket session
    };

    mode at() const { return now; }

    // The current request, once its head is complete (body mode, and raw
    // after the last request). Before that, head() holds the head's bytes
    // so far; between requests everything is empty.
    //
    // The head: request line and header lines, each ending in "\r\n",
    // without the blank line.
    const std::string& head() const { return text; }
    // The request line's parts as its first two spaces divide it, byte for
    // byte. Whether the line is sound is for facts() to say; what an unsound
    // one yields is in read_request_line().
    const std::string& method() const { return line.method; }
    const std::string& url() const { return line.url; }
    const std::string& version() const { return line.version; }
    const request_facts& facts() const { return fields; }
    // HTTP keep-alive as the version asks for it: HTTP/1.1, or HTTP/1.0 with
    // the keep-alive option. A reading of the head and nothing more; the
    // close option is the subclass's to act on (facts().names_option).
    bool keep_alive() const { return keeps; }
    // No request is read after the current one: once it is complete, every
    // later byte is raw. Set by a head that does not keep the connection
    // alive or is faulty (where its body ends is unknown), by a broken
    // chunked body, and by end_requests().
    bool last() const { return ends; }

    // Head mode. Takes the head's bytes from data and returns how many
    // belong to it: all of them until the head is complete; then the head
    // is read and the mode is body, and the rest is the body's. A head
    // longer than max_length (terminator included; 0: no limit) turns the
    // reader refused instead, and its memory goes back at once.
    size_t take_head(const char* data, size_t len, size_t max_length);

    // Body mode. Takes body bytes and returns how many belong to the body:
    // all of them while it goes on, fewer once it has ended (the rest is the
    // next request). Bytes that break the chunked coding's grammar turn the
    // reader refused at once and last(); the bytes before the bad one are
    // still returned as the body's.
    size_t take_body(const char* data, size_t len);
    // The body has ended: Content-Length bytes taken, or the chunked coding
    // complete.
    bool body_ended() const { return fields.chunked ? decoder.done() : body_taken >= fields.content_length; }

    // The current request has been handled and was not the last: back to
    // head mode for the next, everything about this one cleared.
    void next_request();
    // See last(). Any mode; it matters only once the current request ends.
    void end_requests() { ends = true; }
    // From head or body mode: every later byte is raw, and no request
    // follows. A refused or upgraded reader stays as it is.
    void pass_through();
    // Body mode, after a successful handshake: every later byte is frames.
    void upgrade() { now = mode::websocket; }

    // The bytes waiting behind a request the connection could not take up
    // yet, unread; new bytes go behind them. The view stays valid until the
    // next hold(), consume_held() or drop_held(): the bytes may be read in
    // place, and consume_held() then drops the n taken from the front.
    // Taking them a request at a time costs time linear in their number,
    // not in the number times the size of what is held.
    std::string_view held() const { return std::string_view(waiting).substr(waiting_from); }
    void hold(const char* data, size_t len);
    void consume_held(size_t n);
    void drop_held();

private:
    // The head in `text` is complete: reads it and turns to body mode.
    void read_head();
    // How many of data's bytes make up the rest of the head, terminator
    // included, given the head so far in `text`; 0 when it does not end in
    // them.
    size_t terminator_end(const char* data, size_t len) const;
    void read_request_line();

    struct request_line {
        std::string method, url, version;
    };

    std::string text;         // head()
    request_line line;        // method(), url(), version()
    request_facts fields;     // facts()
    std::string waiting;      // held() from waiting_from on; what comes before was taken
    size_t waiting_from = 0;
    chunked_decoder decoder;  // follows the body while facts().chunked
    int64_t body_taken = 0;   // body bytes taken, framing included
    mode now = mode::head;
    bool keeps = true;  // keep_alive()
    bool ends = false;  // last()
};
