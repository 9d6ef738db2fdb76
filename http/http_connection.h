// The server side of one HTTP/1.x client connection. It holds three parts,
// each with its own state and contract:
//
//  - request_reader (request_reader.h): heads, request lines, facts, body
//    framing, held bytes, and the reader's mode;
//  - response_queue (response_queue.h): the output waiting to be sent;
//  - websocket_session (websocket_session.h): frames and messages once the
//    connection has upgraded; none before.
//
// Receiving: on_recv is one switch over the reader's mode, and calls the
// handlers in a fixed order for every request:
//
//     on_headers (or the WebSocket handshake instead)
//     on_data    for every piece of the body, exactly the framed body bytes
//     on_request once the body is complete
//
// on_data sees the body as it arrived, framing included. Bytes behind the
// body are the next request. After the last request (last_request()), the
// connection parses nothing more: every later chunk goes to on_data,
// followed by on_request (a tunnel relies on this).
//
// Sending: write() queues one answer per request, and on_send hands the
// queue to the server. Once the queue is empty, on_send's result finishes
// the connection after an answer to the last request, or once a WebSocket
// session has given up; otherwise the connection stays open.
//
// The defaults of the handlers make a bare http_connection a small diagnostic
// server; subclasses (the proxy) override them.
#pragma once

#include "http/request_reader.h"
#include "http/response_queue.h"
#include "http/websocket_session.h"
#include "server/connection.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

class http_connection : public connection, public websocket_listener {
public:
    static constexpr int32_t default_max_request_length = 104857600;
    // Request heads parsed for one connection in one turn of the server at
    // most: a client that pipelines thousands of small requests gets the
    // same slice of a turn as any other, and the rest waits in held() until
    // the next turn.
    static constexpr int32_t max_heads_per_turn = 16;
    // Seconds a request head may take from its first byte to its blank line:
    // however little a client sends at a time, a head it never finishes
    // holds its memory no longer than this (timed_out(); the connection is
    // then ended without an answer, as an idle one is).
    static constexpr int32_t max_head_seconds = 30;

    // Limit on the counted bytes of the current request, back to the default
    // for every request; 0 or less: no limit. The head always counts; body
    // and raw bytes only while relays_body() is false; WebSocket frames have
    // limits of their own. A chunk that arrives once the count is over is
    // dropped with a warning.
    int32_t max_request_length = default_max_request_length;
    // Most bytes a request head may take, terminator included; 0: no limit of
    // its own (it counts towards max_request_length). A longer head is refused
    // once: the warning names this limit, on_head_too_long() runs, and every
    // later byte of the connection is dropped unread.
    int32_t max_head_length = 0;
    std::string body;  // the default on_data's store: the current request's body
    // The output. Pieces other than answers and frames (files, thread
    // results) are queued here directly.
    response_queue responses;

    http_connection();
    ~http_connection() override;

    void on_recv(char* data, int len) override;
    // Goes on with held requests first (see ready_for_request()).
    handover on_send(char* buf, int cap) override;
    // A head that has taken longer than max_head_seconds, or the idle
    // time-out (connection::timed_out).
    bool timed_out(int64_t now) const override;
    int64_t deadline() const override;
    // Not while bytes are held: they are parsed first.
    bool wants_input() const override;

    // A request head has been parsed. Default: prints info(true).
    virtual void on_headers();
    // Body bytes (and, once the connection parses no more requests, every
    // byte). Default: appends to `body`, or hands them to the WebSocket
    // session.
    virtual void on_data(char* data, int len);
    // After a successful WebSocket handshake. Default: the session gives up
    // at once, so the connection ends once the answer is sent.
    virtual void on_upgrade();
    // A complete WebSocket message is in websocket()->message. Default: echo
    // it. (Pings are answered with pongs, and a session that gives up lets
    // the connection end soon: on_ping, on_give_up.)
    void on_message() override;
    void on_ping(const std::string& payload) override;
    void on_give_up() override;
    // The request is complete. Default: a diagnostic answer.
    virtual void on_request();
    // The head passed max_head_length (request_bytes() tells how many of its
    // bytes were read). Default: nothing (the connection reads no further
    // request).
    virtual void on_head_too_long();
    // The chunked body of the current request broke the coding's grammar
    // (chunked_decoder.h): the bytes up to the bad one have gone to on_data,
    // nothing from it on will, on_request is not called for this request
    // and no further request is read. Default: nothing.
    virtual void on_framing_broken();
    // Whether a request asking for "Upgrade: websocket" is answered by this
    // class's own WebSocket handshake (the default) or goes to on_headers
    // like any other request (a proxy passes upgrades on to the origin).
    virtual bool serves_websocket() const;
    // True when the subclass passes body and tunnel bytes on instead of
    // storing them: those bytes then do not count against
    // max_request_length. The head is always limited.
    virtual bool relays_body() const;
    // False while the subclass cannot take the next request yet (the proxy,
    // while the previous request's origin is still being reached): bytes of
    // a new request are then kept in held(), unparsed, until
    // resume_requests() is called once this is true again. Bytes are held
    // too once the connection has had max_heads_per_turn heads in this turn
    // (it is then woken, to go on in the next). A subclass that overrides
    // wants_input should stop reading while held() is not empty.
    virtual bool ready_for_request() const;
    // Parses the held bytes, if any, as far as ready_for_request() and the
    // turn's slice allow.
    void resume_requests();
    // Held bytes that will never be parsed (no answer can follow any more)
    // are dropped.
    void drop_held() { reader.drop_held(); }
    // The protocol has switched after the last request (an origin's 101):
    // from now on every byte, the held ones first, is raw (on_data, then
    // on_request per chunk) and no request is parsed any more.
    void pass_through();
    // No request is parsed after the current one: once it is complete,
    // every later byte is raw (a CONNECT tunnel's, or bytes a closing
    // connection drops). See request_reader::last().
    void end_requests() { reader.end_requests(); }

    // The current request, as the reader has read it (request_reader.h).
    const std::string& head() const { return reader.head(); }
    const std::string& method() const { return reader.method(); }
    const std::string& url() const { return reader.url(); }
    const std::string& version() const { return reader.version(); }  // e.g. "HTTP/1.1"
    const request_facts& facts() const { return reader.facts(); }
    bool keep_alive() const { return reader.keep_alive(); }
    // Bytes of the current request read so far that count against
    // max_request_length (its head, at least).
    int64_t request_bytes() const { return received; }
    bool last_request() const { return reader.last(); }
    bool chunked() const { return reader.facts().chunked; }  // the body is framed by the chunked coding
    // The announced length; 0 when absent, invalid or chunked.
    int64_t content_length() const { return reader.facts().content_length; }
    std::string_view held() const { return reader.held(); }
    request_reader::mode reading() const { return reader.at(); }
    // The url before its first '?' (all of it when there is none, or when
    // it begins with one), and what follows that '?'.
    std::string path() const;
    std::string query() const;
    std::string cookie() const { return get_header("cookie", reader.head()); }

    // Value of header `name` in `text` ("" when absent): the first line that
    // begins with `name` in any letter case, read from two bytes after the
    // name (taken to be ": ") up to the line's end. Prefix matches count
    // ("cookie" finds "Cookie2: y" as " y"), and "Name:value" without the
    // space loses its first byte.
    static std::string get_header(const std::string& name, const std::string& text);

    // Queues the answer to the current request (response_queue::write):
    // with a Content-Length unless the connection ends after it (its end
    // then delimits the body) or the head frames the body itself; without
    // the body for HEAD.
    void write(std::string headers, const std::string& body);

    // The request description line, without a newline:
    // "address:port METHOD url VERSION [agent]".
    std::string info(bool with_agent) const;

    // Queues one unfragmented, unmasked WebSocket frame
    // (websocket_session::frame), on any connection.
    void send_message(const std::string& payload, int opcode);
    // The WebSocket session once upgraded; null before.
    websocket_session* websocket() const { return session.get(); }

private:
    request_reader reader;
    std::unique_ptr<websocket_session> session;
    int64_t received = 0;  // bytes of the current request counted against max_request_length
    int64_t head_started = 0;  // when the current head's first byte was taken
    uint64_t slice_turn = 0;   // the turn heads_in_turn counts in
    int32_t heads_in_turn = 0;

    // Takes what it can of len bytes in the reader's current mode, calling
    // the handlers, and returns how many: fewer than len only when the next
    // request must wait (ready_for_request(), the turn's slice). The
    // handlers it calls never hold or drop bytes (held bytes are read in
    // place).
    size_t take(char* data, size_t len);
    // Whether another head may be parsed in this turn.
    bool head_slice_left();
    // A head has begun and not ended.
    bool head_pending() const;
    // The head has been read: the handshake or on_headers.
    void start_request();
    // Hands body or raw bytes to on_data, counting them.
    void pass_on(char* data, int len);
    // on_request, then the next request, or raw bytes after the last.
    void complete_request();
    void handshake();
    // Whether on_send ends the connection once the answer has gone.
    bool closes_after_answer() const { return session ? !session->live() : reader.last(); }
};
